// This platform's signature backend against answers made elsewhere: the
// FIPS 180-2 SHA-256 examples, and keys and a signature that OpenSSL's own
// tool made. The same tables run against OpenSSL on Linux and CNG on Windows.
//
// How the vectors were made:
//   openssl genpkey -algorithm EC -pkeyopt ec_paramgen_curve:P-256 -out a.key
//   openssl pkey -in a.key -pubout -out a.pub        (also b, and p384, ed25519, explicit)
//   openssl dgst -sha256 -sign a.key -out sig.der statement
//   openssl asn1parse -inform DER -in sig.der          (r and s)
#include "signature/SignatureCrypto.h"

#include "TestBytes.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>

#ifdef _WIN32
#include <windows.h>
#endif

namespace {

const char* const KEY_A = "-----BEGIN PUBLIC KEY-----\n"
                          "MFkwEwYHKoZIzj0CAQYIKoZIzj0DAQcDQgAE5OHTc4Kcjv38yGjUkAslkCj298Ip\n"
                          "HuDbVF/e58xv1sj4eQN1wrA3bZMo3CB186l69iKGkQ0O/mTOZ4qUF/BSbg==\n"
                          "-----END PUBLIC KEY-----\n";
const char* const KEY_A_POINT = "04e4e1d373829c8efdfcc868d4900b259028f6f7c2291ee0db545fdee7cc6fd6c8"
                                "f8790375c2b0376d9328dc2075f3a97af62286910d0efe64ce678a9417f0526e";
const char* const KEY_B = "-----BEGIN PUBLIC KEY-----\n"
                          "MFkwEwYHKoZIzj0CAQYIKoZIzj0DAQcDQgAEzYELRnfrto0lOZpDIqghR/0HHu/y\n"
                          "/1yRLsl8cOT4vfZiu766aR6H9x7IB2Re5kACQ+TeMNMXJJHnfORfhOAjDw==\n"
                          "-----END PUBLIC KEY-----\n";
const char* const KEY_P384 = "-----BEGIN PUBLIC KEY-----\n"
                             "MHYwEAYHKoZIzj0CAQYFK4EEACIDYgAEJ73hvOL8VA7/WlJdXOgHPEoNDoTGDaI4\n"
                             "tdgfT94uLrSYurQnpqdWx1pv0ccNq/7JerR77qxHeyPXxm48rfEjqKbU8+cXjMD0\n"
                             "IBXDxkLX8MdCet3ABVkQKqLIOtAq8LcH\n"
                             "-----END PUBLIC KEY-----\n";
const char* const KEY_ED25519 = "-----BEGIN PUBLIC KEY-----\n"
                                "MCowBQYDK2VwAyEAy4HHI/xLXnqvc/2IOezFFJ4ozDuE3tTLCxPXBNmrQiQ=\n"
                                "-----END PUBLIC KEY-----\n";
// The P-256 key A's point with its last bit flipped: off the curve.
const char* const KEY_OFF_CURVE = "-----BEGIN PUBLIC KEY-----\n"
                                  "MFkwEwYHKoZIzj0CAQYIKoZIzj0DAQcDQgAE5OHTc4Kcjv38yGjUkAslkCj298Ip\n"
                                  "HuDbVF/e58xv1sj4eQN1wrA3bZMo3CB186l69iKGkQ0O/mTOZ4qUF/BSbw==\n"
                                  "-----END PUBLIC KEY-----\n";

const char* const STATEMENT =
    "velunda-signature 1\n"
    "key-id 0011223344556677\n"
    "key-name acme-release\n"
    "package-size 46066\n"
    "package-sha256 dd8f1285a46a5f694c703e66ce3517484a87d9f844081f35e01ada45332138bd\n";
// Key A's signature of STATEMENT, r then s.
const char* const SIG_R = "0cbd96ddb13ff3ed3dae14f6fefa6520aeb881eee844791ba908d81b8127cf7e";
const char* const SIG_S = "cc85b5de8ae29a40a7deffea00171dbbd43b9d187409acaea0e2fae0f291fc2a";
// The group order minus SIG_S: the same signature in its other form.
const char* const SIG_S_MIRRORED = "337a4a20751d65c058210015ffe8e243e8ab5d95330df1d652d6cfe209d12927";
const char* const CURVE_ORDER = "ffffffff00000000ffffffffffffffffbce6faada7179e84f3b9cac2fc632551";
const char* const ZERO_32 = "0000000000000000000000000000000000000000000000000000000000000000";

// Wine's bcrypt imports a point without checking that it lies on the curve
// (Windows checks unless told BCRYPT_NO_KEY_VALIDATION).
bool UnderWine()
{
#ifdef _WIN32
    const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
#else
    return false;
#endif
}

Bytes FromHex(const std::string& hex)
{
    Bytes bytes;
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2)
        bytes.push_back(static_cast<std::uint8_t>(std::stoi(hex.substr(i, 2), nullptr, 16)));
    return bytes;
}

std::array<std::uint8_t, SIGNATURE_BYTES> Rs(const std::string& r, const std::string& s)
{
    const Bytes bytes = FromHex(r + s);
    std::array<std::uint8_t, SIGNATURE_BYTES> rs{};
    std::copy(bytes.begin(), bytes.end(), rs.begin());
    return rs;
}

std::string Replace(std::string text, const std::string& from, const std::string& to)
{
    const std::size_t at = text.find(from);
    return at == std::string::npos ? text : text.replace(at, from.size(), to);
}

std::string WithCrLf(const std::string& text)
{
    std::string out;
    for (const char c : text)
        out += c == '\n' ? std::string("\r\n") : std::string(1, c);
    return out;
}

struct ShaCase {
    const char* name;
    std::string message;
    std::size_t piece; // fed in pieces of this many bytes; 0: at once
    const char* digest;
};

class Sha256Test : public ::testing::TestWithParam<ShaCase> {};

TEST_P(Sha256Test, gives_the_published_digest)
{
    const ShaCase& c = GetParam();
    const std::unique_ptr<ISha256> sha = MakeSignatureCrypto()->NewSha256();
    if (c.piece == 0) {
        sha->Update(c.message.data(), c.message.size());
    } else {
        for (std::size_t at = 0; at < c.message.size(); at += c.piece)
            sha->Update(c.message.data() + at, std::min(c.piece, c.message.size() - at));
    }
    const CSha256Digest digest = sha->Final();
    EXPECT_TRUE(SameBytes(Bytes(digest.begin(), digest.end()), FromHex(c.digest)));
}

const std::string SHA_448_BITS = "abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq";
const std::string MILLION_A(1000000, 'a');

INSTANTIATE_TEST_SUITE_P(
    Fips180, Sha256Test,
    ::testing::Values(
        ShaCase{"empty", "", 0, "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
        ShaCase{"abc", "abc", 0, "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
        ShaCase{"two_blocks", SHA_448_BITS, 0,
                "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
        ShaCase{"two_blocks_byte_by_byte", SHA_448_BITS, 1,
                "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
        ShaCase{"million_a_at_once", MILLION_A, 0,
                "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
        ShaCase{"million_a_in_odd_pieces", MILLION_A, 4093,
                "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"}),
    [](const auto& info) { return std::string(info.param.name); });

struct KeyCase {
    const char* name;
    std::string pem;
    const char* point; // the key's point; null: refused
    const char* says;  // in the reason for a refusal; null: the backend's own
};

class PublicKeyTest : public ::testing::TestWithParam<KeyCase> {};

TEST_P(PublicKeyTest, reads_a_p256_key_and_refuses_any_other)
{
    const KeyCase& c = GetParam();
    if (c.pem == KEY_OFF_CURVE && UnderWine())
        GTEST_SKIP() << "Wine does not check an imported point";
    std::string error;
    const std::unique_ptr<IPublicKey> key = MakeSignatureCrypto()->ReadPublicKey(c.pem, error);
    if (c.point != nullptr) {
        ASSERT_NE(key, nullptr) << error;
        const auto point = key->Point();
        EXPECT_TRUE(SameBytes(Bytes(point.begin(), point.end()), FromHex(c.point)));
    } else {
        EXPECT_EQ(key, nullptr);
        EXPECT_FALSE(error.empty());
        if (c.says != nullptr) {
            EXPECT_NE(error.find(c.says), std::string::npos) << error;
        }
    }
}

const char* const NO_KEY = "it holds no PEM public key";
const char* const NOT_P256 = "it is not an ECDSA P-256 key";

INSTANTIATE_TEST_SUITE_P(
    OpensslKeys, PublicKeyTest,
    ::testing::Values(
        KeyCase{"p256", KEY_A, KEY_A_POINT, nullptr},
        KeyCase{"p256_among_other_text", std::string("a comment\n") + KEY_A + "more\n", KEY_A_POINT, nullptr},
        KeyCase{"p256_with_crlf_line_ends", WithCrLf(KEY_A), KEY_A_POINT, nullptr},
        KeyCase{"p384", KEY_P384, nullptr, NOT_P256}, KeyCase{"ed25519", KEY_ED25519, nullptr, NOT_P256},
        KeyCase{"point_off_the_curve", KEY_OFF_CURVE, nullptr, nullptr},
        KeyCase{"the_key_under_another_label",
                Replace(Replace(KEY_A, "PUBLIC KEY", "CERTIFICATE"), "PUBLIC KEY", "CERTIFICATE"), nullptr,
                NO_KEY},
        KeyCase{"no_end_line", Replace(KEY_A, "-----END PUBLIC KEY-----\n", ""), nullptr, NO_KEY},
        KeyCase{"last_line_missing",
                Replace(KEY_A, "HuDbVF/e58xv1sj4eQN1wrA3bZMo3CB186l69iKGkQ0O/mTOZ4qUF/BSbg==\n", ""), nullptr,
                NO_KEY},
        KeyCase{"not_base64", Replace(KEY_A, "MFkw", "MF!w"), nullptr, NO_KEY},
        KeyCase{"empty", "", nullptr, NO_KEY}),
    [](const auto& info) { return std::string(info.param.name); });

struct VerifyCase {
    const char* name;
    const char* key;
    std::string message;
    std::array<std::uint8_t, SIGNATURE_BYTES> rs;
    bool valid;
};

class VerifyTest : public ::testing::TestWithParam<VerifyCase> {};

TEST_P(VerifyTest, takes_only_the_signature_of_the_message_by_the_key)
{
    const VerifyCase& c = GetParam();
    std::string error;
    const std::unique_ptr<IPublicKey> key = MakeSignatureCrypto()->ReadPublicKey(c.key, error);
    ASSERT_NE(key, nullptr) << error;
    EXPECT_EQ(key->Verify(c.message, c.rs), c.valid);
}

std::array<std::uint8_t, SIGNATURE_BYTES> Flipped(std::size_t byte)
{
    std::array<std::uint8_t, SIGNATURE_BYTES> rs = Rs(SIG_R, SIG_S);
    rs[byte] ^= 0x01;
    return rs;
}

INSTANTIATE_TEST_SUITE_P(
    OpensslSignature, VerifyTest,
    ::testing::Values(VerifyCase{"openssl_signature", KEY_A, STATEMENT, Rs(SIG_R, SIG_S), true},
                      VerifyCase{"its_mirrored_s", KEY_A, STATEMENT, Rs(SIG_R, SIG_S_MIRRORED), true},
                      VerifyCase{"r_changed", KEY_A, STATEMENT, Flipped(31), false},
                      VerifyCase{"s_changed", KEY_A, STATEMENT, Flipped(32), false},
                      VerifyCase{"r_and_s_swapped", KEY_A, STATEMENT, Rs(SIG_S, SIG_R), false},
                      VerifyCase{"a_byte_of_the_message_changed", KEY_A, Replace(STATEMENT, "46066", "46067"),
                                 Rs(SIG_R, SIG_S), false},
                      VerifyCase{"the_last_line_end_missing", KEY_A,
                                 std::string(STATEMENT).substr(0, std::string(STATEMENT).size() - 1),
                                 Rs(SIG_R, SIG_S), false},
                      VerifyCase{"another_key", KEY_B, STATEMENT, Rs(SIG_R, SIG_S), false},
                      VerifyCase{"r_zero", KEY_A, STATEMENT, Rs(ZERO_32, SIG_S), false},
                      VerifyCase{"s_zero", KEY_A, STATEMENT, Rs(SIG_R, ZERO_32), false},
                      VerifyCase{"r_the_group_order", KEY_A, STATEMENT, Rs(CURVE_ORDER, SIG_S), false}),
    [](const auto& info) { return std::string(info.param.name); });

} // namespace
