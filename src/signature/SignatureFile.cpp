#include "signature/SignatureFile.h"

#include <vector>

namespace {

constexpr const char* kMagic = "velunda-signature";

// The lines after the first, in their one order: field name and value width
// (0: any length up to the limit of the field).
enum EField { FIELD_KEY_ID, FIELD_KEY_NAME, FIELD_SIZE, FIELD_DIGEST, FIELD_SIGNATURE, FIELD_COUNT };
constexpr const char* kFieldNames[FIELD_COUNT] = {"key-id", "key-name", "package-size", "package-sha256",
                                                  "signature"};

int HexDigit(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return -1;
}

bool ParseHex(std::string_view text, std::uint8_t* out, std::size_t n)
{
    if (text.size() != 2 * n)
        return false;
    for (std::size_t i = 0; i < n; ++i) {
        const int high = HexDigit(text[2 * i]);
        const int low = HexDigit(text[2 * i + 1]);
        if (high < 0 || low < 0)
            return false;
        out[i] = static_cast<std::uint8_t>(high * 16 + low);
    }
    return true;
}

bool ParseDecimal(std::string_view text, std::uint64_t& value)
{
    // No sign, no leading zero, no more than fits.
    if (text.empty() || text.size() > 20 || (text.size() > 1 && text[0] == '0'))
        return false;
    value = 0;
    for (char c : text) {
        if (c < '0' || c > '9')
            return false;
        const auto digit = static_cast<std::uint64_t>(c - '0');
        if (value > (UINT64_MAX - digit) / 10)
            return false;
        value = value * 10 + digit;
    }
    return true;
}

bool Fail(std::string& error, std::string text)
{
    error = std::move(text);
    return false;
}

} // namespace

std::string HexText(const std::uint8_t* data, std::size_t n)
{
    static const char kDigits[] = "0123456789abcdef";
    std::string text;
    text.reserve(2 * n);
    for (std::size_t i = 0; i < n; ++i) {
        text += kDigits[data[i] >> 4];
        text += kDigits[data[i] & 15];
    }
    return text;
}

bool IsValidKeyName(std::string_view name)
{
    if (name.empty() || name.size() > SIGNATURE_KEY_NAME_MAX || name[0] == '.' || name[0] == '-')
        return false;
    for (char c : name) {
        const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                        c == '.' || c == '_' || c == '-';
        if (!ok)
            return false;
    }
    return true;
}

std::string SignedStatement(const CSignatureFile& sig)
{
    return std::string(kMagic) + " " + std::to_string(sig.nVersion) + "\n" + kFieldNames[FIELD_KEY_ID] + " " +
           sig.strKeyId + "\n" + kFieldNames[FIELD_KEY_NAME] + " " + sig.strKeyName + "\n" +
           kFieldNames[FIELD_SIZE] + " " + std::to_string(sig.uPackageSize) + "\n" +
           kFieldNames[FIELD_DIGEST] + " " + HexText(sig.packageDigest.data(), sig.packageDigest.size()) +
           "\n";
}

std::string FormatSignatureFile(const CSignatureFile& sig)
{
    return SignedStatement(sig) + kFieldNames[FIELD_SIGNATURE] + " " +
           HexText(sig.signature.data(), sig.signature.size()) + "\n";
}

bool ParseSignatureFile(std::string_view text, CSignatureFile& sig, std::string& statement,
                        std::string& error)
{
    if (text.size() > SIGNATURE_FILE_MAX_BYTES)
        return Fail(error, "it is larger than " + std::to_string(SIGNATURE_FILE_MAX_BYTES) + " bytes");
    if (text.empty() || text.back() != '\n')
        return Fail(error, "it does not end with a complete line");
    std::vector<std::string_view> lines;
    for (std::size_t start = 0; start < text.size();) {
        const std::size_t end = text.find('\n', start);
        lines.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    const std::string_view first = lines[0];
    const std::string magic = std::string(kMagic) + " ";
    std::uint64_t version = 0;
    if (first.substr(0, magic.size()) != magic || !ParseDecimal(first.substr(magic.size()), version))
        return Fail(error, "it does not begin with \"" + magic + "VERSION\"");
    if (version != SIGNATURE_FORMAT_VERSION)
        return Fail(error, "it is of format version " + std::to_string(version) +
                               "; this tool reads version " + std::to_string(SIGNATURE_FORMAT_VERSION));
    if (lines.size() != 1 + FIELD_COUNT)
        return Fail(error, "it has " + std::to_string(lines.size()) + " lines instead of " +
                               std::to_string(1 + FIELD_COUNT));

    CSignatureFile read;
    for (int f = 0; f < FIELD_COUNT; ++f) {
        const std::string_view line = lines[static_cast<std::size_t>(f) + 1];
        const std::string name = std::string(kFieldNames[f]) + " ";
        const std::string where = "line " + std::to_string(f + 2);
        if (line.substr(0, name.size()) != name)
            return Fail(error, where + " is not \"" + name + "...\"");
        const std::string_view value = line.substr(name.size());
        bool ok = false;
        switch (f) {
        case FIELD_KEY_ID: {
            std::uint8_t id[SIGNATURE_KEY_ID_CHARS / 2];
            ok = ParseHex(value, id, sizeof id);
            read.strKeyId = std::string(value);
            break;
        }
        case FIELD_KEY_NAME:
            ok = IsValidKeyName(value);
            read.strKeyName = std::string(value);
            break;
        case FIELD_SIZE:
            ok = ParseDecimal(value, read.uPackageSize);
            break;
        case FIELD_DIGEST:
            ok = ParseHex(value, read.packageDigest.data(), read.packageDigest.size());
            break;
        case FIELD_SIGNATURE:
            ok = ParseHex(value, read.signature.data(), read.signature.size());
            break;
        }
        if (!ok)
            return Fail(error, where + " holds no valid " + kFieldNames[f]);
    }
    read.nVersion = static_cast<int>(version);
    sig = read;
    statement = std::string(text.substr(0, text.size() - lines.back().size() - 1));
    return true;
}
