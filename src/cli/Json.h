#pragma once
// A small JSON object writer for the --json event lines.
#include <string>
#include <vector>

class CJsonObject {
public:
    CJsonObject& Add(const std::string& key, const std::string& value);
    CJsonObject& Add(const std::string& key, const char* value) { return Add(key, std::string(value)); }
    CJsonObject& Add(const std::string& key, long long value);
    CJsonObject& Add(const std::string& key, int value) { return Add(key, static_cast<long long>(value)); }
    CJsonObject& Add(const std::string& key, bool value);
    // value is already JSON (an object or an array).
    CJsonObject& AddRaw(const std::string& key, const std::string& json);
    std::string Text() const { return "{" + m_body + "}"; }

private:
    void Key(const std::string& key);
    std::string m_body;
};

// A JSON string literal, quotes included; bytes outside printable ASCII are
// escaped so that any text a target sends stays valid JSON.
std::string JsonString(const std::string& text);
std::string JsonArray(const std::vector<std::string>& jsonValues);
