#include "cli/Json.h"

#include <cstdlib>

std::string JsonText(const std::string& bytes)
{
    return TextAsUtf8(bytes);
}

CJson JsonTextOrNull(const std::string& bytes)
{
    return bytes.empty() ? CJson(nullptr) : CJson(JsonText(bytes));
}

long long SizeFromText(const std::string& text)
{
    return std::strtoll(text.c_str(), nullptr, 10);
}

std::string JsonEventLine(const std::string& event, const std::string& time, const std::string& target,
                          const CJson& fields)
{
    CJson line = CJson::object();
    line["event"] = event;
    line["time"] = time;
    if (!target.empty())
        line["target"] = JsonText(target);
    for (const auto& [key, value] : fields.items())
        if (key != "event" && key != "time" && key != "target")
            line[key] = value;
    return line.dump();
}

CJsonObject& CJsonObject::Add(const std::string& key, const std::string& value)
{
    m_value[key] = JsonText(value);
    return *this;
}

CJsonObject& CJsonObject::AddTexts(std::initializer_list<std::pair<const char*, std::string>> fields)
{
    for (const auto& [key, value] : fields)
        Add(key, value);
    return *this;
}

CJsonObject& CJsonObject::Add(const std::string& key, long long value)
{
    m_value[key] = value;
    return *this;
}

CJsonObject& CJsonObject::Add(const std::string& key, bool value)
{
    m_value[key] = value;
    return *this;
}

CJsonObject& CJsonObject::Add(const std::string& key, CJson value)
{
    m_value[key] = std::move(value);
    return *this;
}

CJsonObject& CJsonObject::Add(const CJson& fields)
{
    for (const auto& [key, value] : fields.items())
        m_value[key] = value;
    return *this;
}

CJsonObject& CJsonObject::AddRaw(const std::string& key, const std::string& json)
{
    m_value[key] = CJson::parse(json);
    return *this;
}

std::string CJsonObject::Text() const
{
    return m_value.dump();
}

std::string JsonString(const std::string& text)
{
    return CJson(JsonText(text)).dump();
}

std::string JsonArray(const std::vector<std::string>& jsonValues)
{
    CJson array = CJson::array();
    for (const auto& v : jsonValues)
        array.push_back(CJson::parse(v));
    return array.dump();
}

CJson SignatureJson(const std::string& state, const std::string& keyId, const std::string& keyName)
{
    return CJson{{"state", state.empty() ? std::string("unsigned") : state},
                 {"key_id", JsonText(keyId)},
                 {"key_name", JsonText(keyName)}};
}
