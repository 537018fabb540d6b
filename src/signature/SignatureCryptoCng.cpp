// The signature backend on Windows CNG: SHA-256 and ECDSA P-256 through
// BCrypt, the PEM public key decoded by crypt32. Both take the forms the .sig
// format stores (the raw point, r then s) without conversion.
#include "signature/SignatureCrypto.h"

#include <windows.h>

#include <bcrypt.h>
#include <wincrypt.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <limits>
#include <vector>

namespace {

// A trusted key file holds one short PEM block; anything far larger is not one.
constexpr std::size_t SIG_PEM_MAX_BYTES = 64 * 1024;
constexpr std::size_t SIG_COORD_BYTES = 32; // X or Y of a P-256 point
constexpr std::string_view SIG_PEM_BEGIN = "-----BEGIN PUBLIC KEY-----";
constexpr std::string_view SIG_PEM_END = "-----END PUBLIC KEY-----";
// The DER of the named curve's object identifier, 1.2.840.10045.3.1.7.
constexpr std::uint8_t SIG_P256_PARAMETERS[] = {0x06, 0x08, 0x2a, 0x86, 0x48, 0xce, 0x3d, 0x03, 0x01, 0x07};

struct CAlgorithmClose {
    void operator()(void* h) const { BCryptCloseAlgorithmProvider(h, 0); }
};
using AlgorithmPtr = std::unique_ptr<void, CAlgorithmClose>;

struct CHashDestroy {
    void operator()(void* h) const { BCryptDestroyHash(h); }
};
using HashPtr = std::unique_ptr<void, CHashDestroy>;

struct CKeyDestroy {
    void operator()(void* h) const { BCryptDestroyKey(h); }
};
using KeyPtr = std::unique_ptr<void, CKeyDestroy>;

struct CLocalFree {
    void operator()(void* p) const { LocalFree(p); }
};

std::string StatusText(NTSTATUS status)
{
    char text[32];
    std::snprintf(text, sizeof text, "status 0x%08lx", static_cast<unsigned long>(status));
    return text;
}

AlgorithmPtr OpenAlgorithm(LPCWSTR name, NTSTATUS& status)
{
    BCRYPT_ALG_HANDLE h = nullptr;
    status = BCryptOpenAlgorithmProvider(&h, name, nullptr, 0);
    return AlgorithmPtr(BCRYPT_SUCCESS(status) ? h : nullptr);
}

class CCngSha256 final : public ISha256 {
public:
    CCngSha256()
    {
        NTSTATUS status = 0;
        m_algorithm = OpenAlgorithm(BCRYPT_SHA256_ALGORITHM, status);
        BCRYPT_HASH_HANDLE h = nullptr;
        if (m_algorithm && BCRYPT_SUCCESS(BCryptCreateHash(m_algorithm.get(), &h, nullptr, 0, nullptr, 0, 0)))
            m_hash.reset(h);
    }
    void Update(const void* data, std::size_t n) override
    {
        // BCryptHashData counts in ULONG: a larger buffer goes in pieces.
        auto* p = static_cast<PUCHAR>(const_cast<void*>(data));
        while (m_hash && n > 0) {
            const ULONG piece =
                static_cast<ULONG>(std::min<std::size_t>(n, std::numeric_limits<ULONG>::max()));
            if (!BCRYPT_SUCCESS(BCryptHashData(m_hash.get(), p, piece, 0)))
                m_hash.reset();
            p += piece;
            n -= piece;
        }
    }
    CSha256Digest Final() override
    {
        // A failed hash gives the zero digest, which no package has.
        CSha256Digest digest{};
        if (m_hash && !BCRYPT_SUCCESS(BCryptFinishHash(m_hash.get(), digest.data(),
                                                       static_cast<ULONG>(digest.size()), 0)))
            digest = {};
        m_hash.reset();
        return digest;
    }

private:
    AlgorithmPtr m_algorithm; // outlives m_hash, which it made
    HashPtr m_hash;
};

class CCngPublicKey final : public IPublicKey {
public:
    CCngPublicKey(AlgorithmPtr algorithm, KeyPtr key, const std::array<std::uint8_t, EC_POINT_BYTES>& point)
        : m_algorithm(std::move(algorithm)), m_key(std::move(key)), m_point(point)
    {
    }
    std::array<std::uint8_t, EC_POINT_BYTES> Point() const override { return m_point; }
    bool Verify(std::string_view message, const std::array<std::uint8_t, SIGNATURE_BYTES>& rs) const override
    {
        CCngSha256 sha;
        sha.Update(message.data(), message.size());
        CSha256Digest digest = sha.Final();
        if (digest == CSha256Digest{})
            return false;
        std::array<std::uint8_t, SIGNATURE_BYTES> signature = rs;
        const NTSTATUS status =
            BCryptVerifySignature(m_key.get(), nullptr, digest.data(), static_cast<ULONG>(digest.size()),
                                  signature.data(), static_cast<ULONG>(signature.size()), 0);
        return BCRYPT_SUCCESS(status);
    }

private:
    AlgorithmPtr m_algorithm; // outlives m_key, which it imported
    KeyPtr m_key;
    std::array<std::uint8_t, EC_POINT_BYTES> m_point;
};

// The DER inside the first PUBLIC KEY block of pem; empty when there is none.
std::vector<std::uint8_t> PemToDer(std::string_view pem)
{
    const std::size_t begin = pem.find(SIG_PEM_BEGIN);
    if (begin == std::string_view::npos)
        return {};
    const std::size_t end = pem.find(SIG_PEM_END, begin);
    if (end == std::string_view::npos)
        return {};
    const std::string_view block = pem.substr(begin, end + SIG_PEM_END.size() - begin);
    DWORD size = 0;
    if (!CryptStringToBinaryA(block.data(), static_cast<DWORD>(block.size()), CRYPT_STRING_BASE64HEADER,
                              nullptr, &size, nullptr, nullptr) ||
        size == 0)
        return {};
    std::vector<std::uint8_t> der(size);
    if (!CryptStringToBinaryA(block.data(), static_cast<DWORD>(block.size()), CRYPT_STRING_BASE64HEADER,
                              der.data(), &size, nullptr, nullptr))
        return {};
    der.resize(std::min<std::size_t>(size, der.size()));
    return der;
}

class CCngCrypto final : public ISignatureCrypto {
public:
    std::unique_ptr<ISha256> NewSha256() const override { return std::make_unique<CCngSha256>(); }
    std::unique_ptr<IPublicKey> ReadPublicKey(std::string_view pem, std::string& error) const override
    {
        if (pem.size() > SIG_PEM_MAX_BYTES) {
            error = "it holds no PEM public key (it is larger than 64 KiB)";
            return nullptr;
        }
        const std::vector<std::uint8_t> der = PemToDer(pem);
        CERT_PUBLIC_KEY_INFO* decoded = nullptr;
        DWORD decodedSize = 0;
        if (der.empty() || !CryptDecodeObjectEx(X509_ASN_ENCODING, X509_PUBLIC_KEY_INFO, der.data(),
                                                static_cast<DWORD>(der.size()), CRYPT_DECODE_ALLOC_FLAG,
                                                nullptr, &decoded, &decodedSize)) {
            error = "it holds no PEM public key";
            return nullptr;
        }
        const std::unique_ptr<CERT_PUBLIC_KEY_INFO, CLocalFree> info(decoded);
        std::array<std::uint8_t, EC_POINT_BYTES> point{};
        if (!P256Point(*info, point)) {
            error = "it is not an ECDSA P-256 key";
            return nullptr;
        }
        return Import(point, error);
    }

private:
    // True for an EC key on the named curve P-256 with an uncompressed point.
    static bool P256Point(const CERT_PUBLIC_KEY_INFO& info, std::array<std::uint8_t, EC_POINT_BYTES>& point)
    {
        const CRYPT_ALGORITHM_IDENTIFIER& algorithm = info.Algorithm;
        const CRYPT_BIT_BLOB& key = info.PublicKey;
        if (algorithm.pszObjId == nullptr || std::strcmp(algorithm.pszObjId, szOID_ECC_PUBLIC_KEY) != 0 ||
            algorithm.Parameters.cbData != sizeof SIG_P256_PARAMETERS ||
            algorithm.Parameters.pbData == nullptr ||
            std::memcmp(algorithm.Parameters.pbData, SIG_P256_PARAMETERS, sizeof SIG_P256_PARAMETERS) != 0)
            return false;
        if (key.cbData != EC_POINT_BYTES || key.cUnusedBits != 0 || key.pbData == nullptr ||
            key.pbData[0] != 0x04)
            return false;
        std::memcpy(point.data(), key.pbData, EC_POINT_BYTES);
        return true;
    }

    static std::unique_ptr<IPublicKey> Import(const std::array<std::uint8_t, EC_POINT_BYTES>& point,
                                              std::string& error)
    {
        NTSTATUS status = 0;
        AlgorithmPtr algorithm = OpenAlgorithm(BCRYPT_ECDSA_P256_ALGORITHM, status);
        if (!algorithm) {
            error = "ECDSA P-256 is not available on this system (" + StatusText(status) + ")";
            return nullptr;
        }
        // The public blob: its header, then X and Y without the leading 0x04.
        std::vector<std::uint8_t> blob(sizeof(BCRYPT_ECCKEY_BLOB) + 2 * SIG_COORD_BYTES);
        BCRYPT_ECCKEY_BLOB header{};
        header.dwMagic = BCRYPT_ECDSA_PUBLIC_P256_MAGIC;
        header.cbKey = static_cast<ULONG>(SIG_COORD_BYTES);
        std::memcpy(blob.data(), &header, sizeof header);
        std::memcpy(blob.data() + sizeof header, point.data() + 1, 2 * SIG_COORD_BYTES);
        BCRYPT_KEY_HANDLE key = nullptr;
        status = BCryptImportKeyPair(algorithm.get(), nullptr, BCRYPT_ECCPUBLIC_BLOB, &key, blob.data(),
                                     static_cast<ULONG>(blob.size()), 0);
        if (!BCRYPT_SUCCESS(status)) {
            error = "it is not an ECDSA P-256 key (" + StatusText(status) + ")";
            return nullptr;
        }
        return std::make_unique<CCngPublicKey>(std::move(algorithm), KeyPtr(key), point);
    }
};

} // namespace

std::unique_ptr<ISignatureCrypto> MakeSignatureCrypto()
{
    return std::make_unique<CCngCrypto>();
}
