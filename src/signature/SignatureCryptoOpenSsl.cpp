// The signature backend on OpenSSL's libcrypto, through EVP.
#include "signature/SignatureOpenSsl.h"

#include <openssl/bio.h>
#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/ecdsa.h>
#include <openssl/err.h>
#include <openssl/pem.h>

#include <cstring>

namespace {

struct CBnFree {
    void operator()(BIGNUM* n) const { BN_free(n); }
};
using BnPtr = std::unique_ptr<BIGNUM, CBnFree>;

struct CMdCtxFree {
    void operator()(EVP_MD_CTX* c) const { EVP_MD_CTX_free(c); }
};
using MdCtxPtr = std::unique_ptr<EVP_MD_CTX, CMdCtxFree>;

struct CEcdsaSigFree {
    void operator()(ECDSA_SIG* s) const { ECDSA_SIG_free(s); }
};
using EcdsaSigPtr = std::unique_ptr<ECDSA_SIG, CEcdsaSigFree>;

class COpenSslSha256 final : public ISha256 {
public:
    COpenSslSha256() : m_ctx(EVP_MD_CTX_new())
    {
        if (!m_ctx || EVP_DigestInit_ex(m_ctx.get(), EVP_sha256(), nullptr) != 1)
            m_ctx.reset();
    }
    void Update(const void* data, std::size_t n) override
    {
        if (m_ctx && EVP_DigestUpdate(m_ctx.get(), data, n) != 1)
            m_ctx.reset();
    }
    CSha256Digest Final() override
    {
        // A failed context gives the zero digest, which no package has.
        CSha256Digest digest{};
        unsigned int n = 0;
        if (m_ctx && EVP_DigestFinal_ex(m_ctx.get(), digest.data(), &n) != 1)
            digest = {};
        m_ctx.reset();
        return digest;
    }

private:
    MdCtxPtr m_ctx;
};

class COpenSslPublicKey final : public IPublicKey {
public:
    COpenSslPublicKey(EvpPkeyPtr key, const std::array<std::uint8_t, EC_POINT_BYTES>& point)
        : m_key(std::move(key)), m_point(point)
    {
    }
    std::array<std::uint8_t, EC_POINT_BYTES> Point() const override { return m_point; }
    bool Verify(std::string_view message, const std::array<std::uint8_t, SIGNATURE_BYTES>& rs) const override
    {
        const std::vector<std::uint8_t> der = OpenSslDerFromRs(rs);
        MdCtxPtr ctx(EVP_MD_CTX_new());
        if (der.empty() || !ctx ||
            EVP_DigestVerifyInit(ctx.get(), nullptr, EVP_sha256(), nullptr, m_key.get()) != 1)
            return false;
        const int result =
            EVP_DigestVerify(ctx.get(), der.data(), der.size(),
                             reinterpret_cast<const unsigned char*>(message.data()), message.size());
        ERR_clear_error();
        return result == 1;
    }

private:
    EvpPkeyPtr m_key;
    std::array<std::uint8_t, EC_POINT_BYTES> m_point;
};

class COpenSslCrypto final : public ISignatureCrypto {
public:
    std::unique_ptr<ISha256> NewSha256() const override { return std::make_unique<COpenSslSha256>(); }
    std::unique_ptr<IPublicKey> ReadPublicKey(std::string_view pem, std::string& error) const override
    {
        BIO* bio = BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size()));
        EvpPkeyPtr key(bio != nullptr ? PEM_read_bio_PUBKEY(bio, nullptr, nullptr, nullptr) : nullptr);
        BIO_free(bio);
        if (!key) {
            error = OpenSslReason("it holds no PEM public key");
            return nullptr;
        }
        std::array<std::uint8_t, EC_POINT_BYTES> point{};
        if (!OpenSslP256Point(key.get(), point)) {
            error = "it is not an ECDSA P-256 key";
            return nullptr;
        }
        return std::make_unique<COpenSslPublicKey>(std::move(key), point);
    }
};

} // namespace

bool OpenSslP256Point(const EVP_PKEY* key, std::array<std::uint8_t, EC_POINT_BYTES>& point)
{
    char group[64] = {};
    std::size_t groupLength = 0;
    if (!EVP_PKEY_is_a(key, "EC") ||
        EVP_PKEY_get_utf8_string_param(key, OSSL_PKEY_PARAM_GROUP_NAME, group, sizeof group, &groupLength) !=
            1 ||
        std::strcmp(group, "prime256v1") != 0) {
        ERR_clear_error();
        return false;
    }
    BIGNUM* x = nullptr;
    BIGNUM* y = nullptr;
    const bool got = EVP_PKEY_get_bn_param(key, OSSL_PKEY_PARAM_EC_PUB_X, &x) == 1 &&
                     EVP_PKEY_get_bn_param(key, OSSL_PKEY_PARAM_EC_PUB_Y, &y) == 1;
    BnPtr xHeld(x);
    BnPtr yHeld(y);
    point[0] = 0x04;
    const bool ok =
        got && BN_bn2binpad(x, point.data() + 1, 32) == 32 && BN_bn2binpad(y, point.data() + 33, 32) == 32;
    ERR_clear_error();
    return ok;
}

bool OpenSslRsFromDer(const std::vector<std::uint8_t>& der, std::array<std::uint8_t, SIGNATURE_BYTES>& rs)
{
    const unsigned char* p = der.data();
    EcdsaSigPtr sig(d2i_ECDSA_SIG(nullptr, &p, static_cast<long>(der.size())));
    if (!sig)
        return false;
    const BIGNUM* r = nullptr;
    const BIGNUM* s = nullptr;
    ECDSA_SIG_get0(sig.get(), &r, &s);
    return BN_bn2binpad(r, rs.data(), 32) == 32 && BN_bn2binpad(s, rs.data() + 32, 32) == 32;
}

std::vector<std::uint8_t> OpenSslDerFromRs(const std::array<std::uint8_t, SIGNATURE_BYTES>& rs)
{
    EcdsaSigPtr sig(ECDSA_SIG_new());
    BnPtr r(BN_bin2bn(rs.data(), 32, nullptr));
    BnPtr s(BN_bin2bn(rs.data() + 32, 32, nullptr));
    if (!sig || !r || !s || ECDSA_SIG_set0(sig.get(), r.get(), s.get()) != 1)
        return {};
    static_cast<void>(r.release()); // owned by sig now
    static_cast<void>(s.release());
    const int n = i2d_ECDSA_SIG(sig.get(), nullptr);
    if (n <= 0)
        return {};
    std::vector<std::uint8_t> der(static_cast<std::size_t>(n));
    unsigned char* p = der.data();
    i2d_ECDSA_SIG(sig.get(), &p);
    return der;
}

std::string OpenSslReason(const char* fallback)
{
    const unsigned long code = ERR_get_error();
    ERR_clear_error();
    if (code == 0)
        return fallback;
    char text[256] = {};
    ERR_error_string_n(code, text, sizeof text);
    return std::string(fallback) + " (" + text + ")";
}

std::unique_ptr<ISignatureCrypto> MakeSignatureCrypto()
{
    return std::make_unique<COpenSslCrypto>();
}
