// This platform's signature backend (OpenSSL on Linux, CNG on Windows)
// against answers made elsewhere: the FIPS 180-2 SHA-256 examples, and keys
// and a signature made by OpenSSL's own tool (openssl genpkey, pkey -pubout,
// dgst -sha256 -sign; r and s read by asn1parse).
#include "signature/SignatureCrypto.h"

#include "TestBytes.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>

#ifdef _WIN32
#include <windows.h>
#endif

namespace {

const std::string P256_A =
    "MFkwEwYHKoZIzj0CAQYIKoZIzj0DAQcDQgAE5OHTc4Kcjv38yGjUkAslkCj298IpHuDbVF/e58xv1sj4eQN1wrA3"
    "bZMo3CB186l69iKGkQ0O/mTOZ4qUF/BSbg==";
const char* const P256_A_POINT = "04e4e1d373829c8efdfcc868d4900b259028f6f7c2291ee0db545fdee7cc6fd6c8f87903"
                                 "75c2b0376d9328dc2075f3a97af62286910d0efe64ce678a9417f0526e";
const std::string P256_B =
    "MFkwEwYHKoZIzj0CAQYIKoZIzj0DAQcDQgAEzYELRnfrto0lOZpDIqghR/0HHu/y/1yRLsl8cOT4vfZiu766aR6H"
    "9x7IB2Re5kACQ+TeMNMXJJHnfORfhOAjDw==";
const std::string P384 =
    "MHYwEAYHKoZIzj0CAQYFK4EEACIDYgAEJ73hvOL8VA7/WlJdXOgHPEoNDoTGDaI4tdgfT94uLrSYurQnpqdWx1pv0c"
    "cNq/7JerR77qxHeyPXxm48rfEjqKbU8+cXjMD0IBXDxkLX8MdCet3ABVkQKqLIOtAq8LcH";
const std::string ED25519 = "MCowBQYDK2VwAyEAy4HHI/xLXnqvc/2IOezFFJ4ozDuE3tTLCxPXBNmrQiQ=";

const std::string STATEMENT = "velunda-signature 1\nkey-id 0011223344556677\nkey-name acme-release\n"
                              "package-size 46066\npackage-sha256 "
                              "dd8f1285a46a5f694c703e66ce3517484a87d9f844081f35e01ada45332138bd\n";
// Key A's signature of STATEMENT; n - s is the same signature in its other form.
const std::string R = "0cbd96ddb13ff3ed3dae14f6fefa6520aeb881eee844791ba908d81b8127cf7e";
const std::string S = "cc85b5de8ae29a40a7deffea00171dbbd43b9d187409acaea0e2fae0f291fc2a";
const std::string N_MINUS_S = "337a4a20751d65c058210015ffe8e243e8ab5d95330df1d652d6cfe209d12927";

// A PEM block of base64 in lines of 64, as OpenSSL writes it.
std::string Pem(const std::string& base64, const std::string& label = "PUBLIC KEY")
{
    std::string pem = "-----BEGIN " + label + "-----\n";
    for (std::size_t at = 0; at < base64.size(); at += 64)
        pem += base64.substr(at, 64) + "\n";
    return pem + "-----END " + label + "-----\n";
}

Bytes FromHex(const std::string& hex)
{
    Bytes bytes;
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2)
        bytes.push_back(static_cast<std::uint8_t>(std::stoi(hex.substr(i, 2), nullptr, 16)));
    return bytes;
}

std::string Replace(std::string text, const std::string& from, const std::string& to)
{
    for (std::size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size()))
        text.replace(at, from.size(), to);
    return text;
}

// Wine's bcrypt takes a point without checking that it lies on the curve;
// Windows checks it unless told BCRYPT_NO_KEY_VALIDATION.
bool UnderWine()
{
#ifdef _WIN32
    const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
#else
    return false;
#endif
}

TEST(SignatureCrypto, Sha256GivesThePublishedDigestsInAnyPieces)
{
    const std::string twoBlocks = "abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq";
    const struct {
        std::string message;
        std::size_t piece; // fed in pieces of this many bytes
        const char* digest;
    } cases[] = {
        {"", 1, "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
        {"abc", 3, "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
        {twoBlocks, 1, "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
        {std::string(1000000, 'a'), 4093, "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.message.substr(0, 8) + ", pieces of " + std::to_string(c.piece));
        const std::unique_ptr<ISha256> sha = MakeSignatureCrypto()->NewSha256();
        for (std::size_t at = 0; at < c.message.size(); at += c.piece)
            sha->Update(c.message.data() + at, std::min(c.piece, c.message.size() - at));
        const CSha256Digest digest = sha->Final();
        EXPECT_TRUE(SameBytes(Bytes(digest.begin(), digest.end()), FromHex(c.digest)));
    }
}

TEST(SignatureCrypto, ReadsAP256KeyAndRefusesAnyOther)
{
    const char* const noKey = "it holds no PEM public key";
    const char* const notP256 = "it is not an ECDSA P-256 key";
    const struct {
        const char* name;
        std::string pem;
        const char* says; // null: read, giving key A's point; "": refused for the backend's own reason
    } cases[] = {
        {"P-256", Pem(P256_A), nullptr},
        {"among other text", "a comment\n" + Pem(P256_A) + "more\n", nullptr},
        {"CR LF line ends", Replace(Pem(P256_A), "\n", "\r\n"), nullptr},
        {"P-384", Pem(P384), notP256},
        {"Ed25519", Pem(ED25519), notP256},
        {"point off the curve", Pem(Replace(P256_A, "BSbg==", "BSbw==")), ""},
        {"another label", Pem(P256_A, "CERTIFICATE"), noKey},
        {"no end line", Replace(Pem(P256_A), "-----END PUBLIC KEY-----\n", ""), noKey},
        {"last line missing", Pem(P256_A.substr(0, 64)), noKey},
        {"not base64", Pem(Replace(P256_A, "MFkw", "MF!w")), noKey},
        {"empty", "", noKey},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        if (c.says != nullptr && c.says[0] == '\0' && UnderWine()) {
            std::printf("not under Wine, which does not check an imported point: %s\n", c.name);
            continue;
        }
        std::string error;
        const std::unique_ptr<IPublicKey> key = MakeSignatureCrypto()->ReadPublicKey(c.pem, error);
        if (c.says == nullptr) {
            ASSERT_NE(key, nullptr) << error;
            const auto point = key->Point();
            EXPECT_TRUE(SameBytes(Bytes(point.begin(), point.end()), FromHex(P256_A_POINT)));
            continue;
        }
        EXPECT_EQ(key, nullptr);
        EXPECT_FALSE(error.empty());
        EXPECT_NE(error.find(c.says), std::string::npos) << error;
    }
}

TEST(SignatureCrypto, VerifiesOnlyTheSignatureOfTheMessageByTheKey)
{
    const struct {
        const char* name;
        const std::string& key;
        std::string message;
        std::string rs;
        bool valid;
    } cases[] = {
        {"OpenSSL's signature", P256_A, STATEMENT, R + S, true},
        {"its mirrored s", P256_A, STATEMENT, R + N_MINUS_S, true},
        {"r changed", P256_A, STATEMENT, Replace(R, "7e", "7f") + S, false},
        {"r and s swapped", P256_A, STATEMENT, S + R, false},
        {"a byte of the message changed", P256_A, Replace(STATEMENT, "46066", "46067"), R + S, false},
        {"another key", P256_B, STATEMENT, R + S, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::string error;
        const std::unique_ptr<IPublicKey> key = MakeSignatureCrypto()->ReadPublicKey(Pem(c.key), error);
        ASSERT_NE(key, nullptr) << error;
        std::array<std::uint8_t, SIGNATURE_BYTES> rs{};
        const Bytes bytes = FromHex(c.rs);
        ASSERT_EQ(bytes.size(), rs.size());
        std::copy(bytes.begin(), bytes.end(), rs.begin());
        EXPECT_EQ(key->Verify(c.message, rs), c.valid);
    }
}

} // namespace
