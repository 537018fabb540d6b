#pragma once
// JSON for velunda-cli's event stream and info results, written with
// nlohmann-json. Texts that are valid UTF-8 are kept as they are; any other
// byte string (a serial number in a single-byte code) is read as Latin-1, so
// every byte becomes the character U+00XX and the output stays valid UTF-8.
#include "history/TextUtf8.h"

#include <nlohmann/json.hpp>

#include <initializer_list>
#include <string>
#include <utility>
#include <vector>

using CJson = nlohmann::ordered_json;

// The version of the event stream's layout (docs/json-events.md).
inline constexpr int JSON_EVENTS_SCHEMA = 1;

// bytes as a JSON string value (see above).
std::string JsonText(const std::string& bytes);
// bytes as JsonText does, or null when empty (a value the package does not carry).
CJson JsonTextOrNull(const std::string& bytes);
// The leading decimal number of a size text ("30000 byte(s)"); 0 for none.
long long SizeFromText(const std::string& text);

// One event line: event first, then time and, when set, target, then fields.
std::string JsonEventLine(const std::string& event, const std::string& time, const std::string& target,
                          const CJson& fields);

// An object built field by field, in order.
class CJsonObject {
public:
    CJsonObject& Add(const std::string& key, const std::string& value);
    CJsonObject& Add(const std::string& key, const char* value) { return Add(key, std::string(value)); }
    CJsonObject& Add(const std::string& key, long long value);
    CJsonObject& Add(const std::string& key, int value) { return Add(key, static_cast<long long>(value)); }
    CJsonObject& Add(const std::string& key, bool value);
    // Text fields, in order.
    CJsonObject& AddTexts(std::initializer_list<std::pair<const char*, std::string>> fields);
    CJsonObject& Add(const std::string& key, CJson value);
    // Every field of an object, in its order.
    CJsonObject& Add(const CJson& fields);
    // value is already JSON (an object or an array).
    CJsonObject& AddRaw(const std::string& key, const std::string& json);
    const CJson& Value() const { return m_value; }
    std::string Text() const;

private:
    CJson m_value = CJson::object();
};

// The "signature" object of a package event: state ("valid", "unsigned",
// "untrusted" or "invalid"), key_id and key_name (empty when unsigned).
CJson SignatureJson(const std::string& state, const std::string& keyId, const std::string& keyName);

// A JSON string literal, quotes included.
std::string JsonString(const std::string& text);
std::string JsonArray(const std::vector<std::string>& jsonValues);

// A JSON array with one object per item, as toObject builds it.
template <typename Items, typename ToObject>
std::string JsonObjectArray(const Items& items, ToObject toObject)
{
    std::vector<std::string> objects;
    for (const auto& item : items)
        objects.push_back(toObject(item).Text());
    return JsonArray(objects);
}
