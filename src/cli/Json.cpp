#include "cli/Json.h"

#include <cstdlib>

bool IsUtf8(const std::string& bytes)
{
    std::size_t i = 0;
    while (i < bytes.size()) {
        const auto c = static_cast<unsigned char>(bytes[i]);
        std::size_t extra = 0;
        std::uint32_t cp = 0;
        if (c < 0x80) {
            ++i;
            continue;
        } else if ((c & 0xE0) == 0xC0) {
            extra = 1;
            cp = c & 0x1F;
        } else if ((c & 0xF0) == 0xE0) {
            extra = 2;
            cp = c & 0x0F;
        } else if ((c & 0xF8) == 0xF0) {
            extra = 3;
            cp = c & 0x07;
        } else {
            return false;
        }
        if (i + extra >= bytes.size())
            return false;
        for (std::size_t k = 1; k <= extra; ++k) {
            const auto cc = static_cast<unsigned char>(bytes[i + k]);
            if ((cc & 0xC0) != 0x80)
                return false;
            cp = cp << 6 | (cc & 0x3F);
        }
        // Overlong forms, surrogates and values past U+10FFFF are not UTF-8.
        static const std::uint32_t kMin[4] = {0, 0x80, 0x800, 0x10000};
        if (cp < kMin[extra] || (cp >= 0xD800 && cp <= 0xDFFF) || cp > 0x10FFFF)
            return false;
        i += extra + 1;
    }
    return true;
}

std::string JsonText(const std::string& bytes)
{
    if (IsUtf8(bytes))
        return bytes;
    std::string out;
    for (char ch : bytes) {
        const auto c = static_cast<unsigned char>(ch);
        if (c < 0x80) {
            out.push_back(ch);
        } else {
            out.push_back(static_cast<char>(0xC0 | (c >> 6)));
            out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
        }
    }
    return out;
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
