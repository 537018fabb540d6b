#include "cli/Json.h"

#include <cstdio>

std::string JsonString(const std::string& text)
{
    std::string out = "\"";
    for (char ch : text) {
        const auto c = static_cast<unsigned char>(ch);
        switch (c) {
        case '"':
            out += "\\\"";
            break;
        case '\\':
            out += "\\\\";
            break;
        case '\n':
            out += "\\n";
            break;
        case '\r':
            out += "\\r";
            break;
        case '\t':
            out += "\\t";
            break;
        default:
            if (c < 0x20 || c >= 0x7F) {
                // Target texts are single bytes, not UTF-8: each byte is one code point.
                char buf[8];
                std::snprintf(buf, sizeof buf, "\\u%04x", c);
                out += buf;
            } else {
                out.push_back(ch);
            }
        }
    }
    return out + "\"";
}

std::string JsonArray(const std::vector<std::string>& jsonValues)
{
    std::string out = "[";
    for (std::size_t i = 0; i < jsonValues.size(); ++i)
        out += (i ? "," : "") + jsonValues[i];
    return out + "]";
}

void CJsonObject::Key(const std::string& key)
{
    if (!m_body.empty())
        m_body += ",";
    m_body += JsonString(key) + ":";
}

CJsonObject& CJsonObject::Add(const std::string& key, const std::string& value)
{
    Key(key);
    m_body += JsonString(value);
    return *this;
}

CJsonObject& CJsonObject::Add(const std::string& key, long long value)
{
    Key(key);
    m_body += std::to_string(value);
    return *this;
}

CJsonObject& CJsonObject::Add(const std::string& key, bool value)
{
    Key(key);
    m_body += value ? "true" : "false";
    return *this;
}

CJsonObject& CJsonObject::AddRaw(const std::string& key, const std::string& json)
{
    Key(key);
    m_body += json;
    return *this;
}
