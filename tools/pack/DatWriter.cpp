#include "DatWriter.h"

#include "package/PackageKey.h"

#include <openssl/evp.h>

#include <cstring>
#include <memory>

namespace {

struct CtxFree {
    void operator()(EVP_CIPHER_CTX* ctx) const { EVP_CIPHER_CTX_free(ctx); }
};

bool RunCbc(bool bEncrypt, const std::uint8_t* key, const std::uint8_t* iv, const std::uint8_t* in,
            std::size_t nBlocks, std::uint8_t* out)
{
    std::unique_ptr<EVP_CIPHER_CTX, CtxFree> ctx(EVP_CIPHER_CTX_new());
    if (!ctx || EVP_CipherInit_ex(ctx.get(), EVP_aes_128_cbc(), nullptr, key, iv, bEncrypt ? 1 : 0) != 1 ||
        EVP_CIPHER_CTX_set_padding(ctx.get(), 0) != 1) {
        return false;
    }
    // EVP lengths are int: feed large inputs in pieces of whole blocks.
    constexpr std::size_t STEP = 1 << 24;
    std::size_t left = nBlocks * 16;
    while (left > 0) {
        const std::size_t n = left < STEP ? left : STEP;
        int written = 0;
        if (EVP_CipherUpdate(ctx.get(), out, &written, in, static_cast<int>(n)) != 1 ||
            written != static_cast<int>(n)) {
            return false;
        }
        in += n;
        out += n;
        left -= n;
    }
    int tail = 0;
    return EVP_CipherFinal_ex(ctx.get(), out, &tail) == 1 && tail == 0;
}

void PutBigEndian(std::uint8_t* p, std::uint32_t v, int width)
{
    for (int i = width - 1; i >= 0; --i) {
        p[i] = static_cast<std::uint8_t>(v);
        v >>= 8;
    }
}

bool ParseNumericVersion(const std::string& text, std::uint16_t& version)
{
    if (text.empty() || text.size() > 5) {
        return false;
    }
    std::uint32_t v = 0;
    for (char c : text) {
        if (c < '0' || c > '9') {
            return false;
        }
        v = v * 10 + std::uint32_t(c - '0');
    }
    if (v > 0xFFFF) {
        return false;
    }
    version = static_cast<std::uint16_t>(v);
    return true;
}

bool IsTextVersion(const std::string& text)
{
    if (text.empty() || text.size() > 3) {
        return false;
    }
    for (char c : text) {
        if (c < 0x20 || c > 0x7E) {
            return false;
        }
    }
    return true;
}

// Encrypts the whole blocks of n bytes at p in place, as one chain.
bool EncryptInPlace(std::uint8_t* p, std::size_t n)
{
    return EncryptCbc(PACKAGE_KEY, PACKAGE_IV, p, n / 16, p);
}

} // namespace

bool EncryptCbc(const std::uint8_t* key, const std::uint8_t* iv, const std::uint8_t* in, std::size_t nBlocks,
                std::uint8_t* out)
{
    return RunCbc(true, key, iv, in, nBlocks, out);
}

bool DecryptCbc(const std::uint8_t* key, const std::uint8_t* iv, const std::uint8_t* in, std::size_t nBlocks,
                std::uint8_t* out)
{
    return RunCbc(false, key, iv, in, nBlocks, out);
}

bool IsNumericLayout(const std::string& machineType)
{
    return machineType == "I_QUORIN";
}

bool BuildDatPlain(const DatPackage& package, std::vector<std::uint8_t>& image, std::string& error)
{
    const bool bNumeric = IsNumericLayout(package.machineType);
    if (!bNumeric && package.machineType != "S_QUORIN" && package.machineType != "P_QUORIN") {
        error = "unknown machine type '" + package.machineType + "' (I_QUORIN, S_QUORIN or P_QUORIN)";
        return false;
    }
    const std::string& code = package.headerCode.empty() ? package.machineType : package.headerCode;
    if (code.size() != 8) {
        error = "the machine-type code must be 8 characters, got '" + code + "'";
        return false;
    }
    for (std::size_t d = 0; d < package.tags.size(); ++d) {
        if (package.tags[d].size() != 2) {
            error = "the tag of entry " + std::to_string(d) + " must be 2 characters, got '" +
                    package.tags[d] + "'";
            return false;
        }
    }
    const std::uint64_t maxSize = bNumeric ? 0xFFFFFFFFull : 0xFFFFFFull;
    const char* const sizeText = bNumeric ? "4294967295" : "16777215";

    std::uint8_t header[DAT_HEADER_SIZE] = {};
    std::memcpy(header, code.data(), 8);
    std::uint64_t total = DAT_HEADER_SIZE;
    for (int d = 0; d < 6; ++d) {
        const std::vector<std::uint8_t>& data = d == 0 ? package.ba : package.parts[d - 1].data;
        const char* const name = d == 0 ? "BA" : DAT_PART_NAMES[d - 1];
        if (data.size() > maxSize) {
            error = std::string(name) + " is " + std::to_string(data.size()) + " bytes; " +
                    package.machineType + " sections hold at most " + sizeText + " bytes";
            return false;
        }
        std::uint8_t* entry = header + 16 + 8 * d;
        std::memcpy(entry, package.tags[d].data(), 2);
        const bool bGiven = d == 0 ? !data.empty() : package.parts[d - 1].bGiven;
        // BA carries no version; a given BA gets 1 so that it is not listed as absent.
        const std::string version =
            d == 0 ? (bGiven ? "1" : "0") : (bGiven ? package.parts[d - 1].version : "0");
        if (bNumeric) {
            std::uint16_t v = 0;
            if (!ParseNumericVersion(version, v)) {
                error = std::string(name) + " version '" + version + "' is not a number from 0 to 65535";
                return false;
            }
            PutBigEndian(entry + 2, v, 2);
            PutBigEndian(entry + 4, static_cast<std::uint32_t>(data.size()), 4);
        } else {
            if (!IsTextVersion(version)) {
                error = std::string(name) + " version '" + version + "' is not 1 to 3 printable characters";
                return false;
            }
            std::memcpy(entry + 2, version.data(), version.size());
            PutBigEndian(entry + 5, static_cast<std::uint32_t>(data.size()), 3);
        }
        total += data.size();
    }

    image.clear();
    image.reserve(total);
    image.insert(image.end(), header, header + DAT_HEADER_SIZE);
    image.insert(image.end(), package.ba.begin(), package.ba.end());
    for (const DatPart& part : package.parts) {
        image.insert(image.end(), part.data.begin(), part.data.end());
    }
    return true;
}

bool BuildDatImage(const DatPackage& package, std::vector<std::uint8_t>& image, std::string& error)
{
    if (!BuildDatPlain(package, image, error)) {
        return false;
    }
    // Header and BA share the first chain; the BA's partial block stays plain.
    std::size_t offset = DAT_HEADER_SIZE + package.ba.size();
    bool ok = EncryptCbc(PACKAGE_KEY, PACKAGE_IV, image.data(), DAT_HEADER_SIZE / 16 + package.ba.size() / 16,
                         image.data());
    for (const DatPart& part : package.parts) {
        ok = ok && EncryptInPlace(image.data() + offset, part.data.size());
        offset += part.data.size();
    }
    if (!ok) {
        error = "OpenSSL AES-128-CBC encryption failed";
    }
    return ok;
}

bool BuildDatText(const DatPackage& package, std::string& text, std::string& error)
{
    std::vector<std::uint8_t> image;
    if (!BuildDatImage(package, image, error)) {
        return false;
    }
    text = HexText(image.data(), image.size(), package.bLowerCase);
    return true;
}

std::string HexText(const std::uint8_t* data, std::size_t n, bool bLowerCase)
{
    const char* const digits = bLowerCase ? "0123456789abcdef" : "0123456789ABCDEF";
    std::string text(2 * n, '\0');
    for (std::size_t i = 0; i < n; ++i) {
        text[2 * i] = digits[data[i] >> 4];
        text[2 * i + 1] = digits[data[i] & 0x0F];
    }
    return text;
}
