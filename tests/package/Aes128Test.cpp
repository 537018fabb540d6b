// The decryptor against the published AES-128 example and against OpenSSL.
#include "package/Aes128.h"
#include "DatWriter.h"
#include "TestBytes.h"
#include "package/PackageKey.h"

#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <vector>

namespace {

std::vector<std::uint8_t> FromHex(const char* text)
{
    std::vector<std::uint8_t> out;
    for (std::size_t i = 0; text[i] && text[i + 1]; i += 2) {
        const char pair[3] = {text[i], text[i + 1], 0};
        out.push_back(static_cast<std::uint8_t>(std::strtoul(pair, nullptr, 16)));
    }
    return out;
}

const std::uint8_t ZERO_IV[16] = {};

// OpenSSL's encryption of plain, one chain from iv.
std::vector<std::uint8_t> OpensslEncrypt(const std::uint8_t* key, const std::uint8_t* iv,
                                         const std::vector<std::uint8_t>& plain)
{
    std::vector<std::uint8_t> cipher(plain.size());
    EXPECT_TRUE(EncryptCbc(key, iv, plain.data(), plain.size() / 16, cipher.data()));
    return cipher;
}

TEST(Aes128, InverseCipherGivesThePublishedPlaintextOfTheAes128Example)
{
    const auto key = FromHex("000102030405060708090a0b0c0d0e0f");
    const auto plain = FromHex("00112233445566778899aabbccddeeff");
    auto block = FromHex("69c4e0d86a7b0430d8cdb78070b4c55a");

    // A zero initialisation vector leaves the inverse cipher's output as it is.
    CAes128 aes(ZERO_IV);
    aes.SetKey(key.data());
    aes.DecryptBlock(block.data());
    EXPECT_TRUE(SameBytes(block, plain));
}

TEST(Aes128, FirstBlockAfterSetKeyIsInverseCipherXorTheFixedInitialisationVector)
{
    const auto key = FromHex("000102030405060708090a0b0c0d0e0f");
    auto expected = FromHex("00112233445566778899aabbccddeeff");
    for (int i = 0; i < 16; ++i) {
        expected[i] ^= PACKAGE_IV[i];
    }
    auto block = FromHex("69c4e0d86a7b0430d8cdb78070b4c55a");
    CAes128 aes;
    aes.SetKey(key.data());
    aes.DecryptBlock(block.data());
    EXPECT_TRUE(SameBytes(block, expected));
}

TEST(Aes128, RepeatedCiphertextBlockDecryptsDifferentlyUnlessTheKeyIsSetBetween)
{
    const auto key = Pattern(16, 1);
    const auto cipher = Pattern(16, 2);
    CAes128 aes;
    aes.SetKey(key.data());
    auto first = cipher;
    auto second = cipher;
    aes.DecryptBlock(first.data());
    aes.DecryptBlock(second.data());
    EXPECT_NE(first, second);

    aes.SetKey(key.data());
    auto again = cipher;
    aes.DecryptBlock(again.data());
    EXPECT_TRUE(SameBytes(again, first));
}

// Random keys, initialisation vectors and chain lengths; each chain is
// decrypted once block by block and once in bulk, by the same object after a
// fresh SetKey, so a chain or table left over from the previous key shows.
TEST(Aes128, MatchesOpensslOnRandomKeysIvsAndChainsWithAFreshChainAfterEverySetKey)
{
    const std::size_t chainBlocks[] = {1, 2, 3, 5, 16, 17, 64, 257};
    for (std::uint32_t seed = 1; seed <= 24; ++seed) {
        const auto iv = Pattern(16, seed * 7);
        CAes128 aes(iv.data());
        for (std::size_t blocks : chainBlocks) {
            const auto key = Pattern(16, seed * 1000 + std::uint32_t(blocks));
            const auto plain = Pattern(blocks * 16, seed * 31 + std::uint32_t(blocks));
            const auto cipher = OpensslEncrypt(key.data(), iv.data(), plain);

            aes.SetKey(key.data());
            auto oneByOne = cipher;
            for (std::size_t b = 0; b < blocks; ++b) {
                aes.DecryptBlock(oneByOne.data() + 16 * b);
            }
            ASSERT_TRUE(SameBytes(oneByOne, plain))
                << "seed " << seed << ", " << blocks << " blocks, one by one";

            aes.SetKey(key.data());
            auto bulk = cipher;
            // Split the chain between a bulk call and single calls.
            const std::size_t head = blocks / 2;
            aes.DecryptBlocks(bulk.data(), head);
            for (std::size_t b = head; b < blocks; ++b) {
                aes.DecryptBlock(bulk.data() + 16 * b);
            }
            ASSERT_TRUE(SameBytes(bulk, plain)) << "seed " << seed << ", " << blocks << " blocks, in bulk";
        }
    }
}

TEST(Aes128, DecryptsWhatOpensslEncryptedUnderThePackageKeyAndIv)
{
    const auto plain = Pattern(16 * 40, 99);
    const auto cipher = OpensslEncrypt(PACKAGE_KEY, PACKAGE_IV, plain);
    CAes128 aes;
    for (int chain = 0; chain < 3; ++chain) {
        aes.SetKey(PACKAGE_KEY);
        auto work = cipher;
        aes.DecryptBlocks(work.data(), work.size() / 16);
        ASSERT_TRUE(SameBytes(work, plain)) << "chain " << chain;
    }
}

TEST(Aes128, DecryptionAgreesWithOpensslDecryptionOnArbitraryCiphertext)
{
    // Ciphertext that no encryption produced: both decryptors must still agree.
    const auto key = Pattern(16, 5);
    const auto iv = Pattern(16, 6);
    const auto cipher = Pattern(16 * 33, 7);
    std::vector<std::uint8_t> expected(cipher.size());
    ASSERT_TRUE(DecryptCbc(key.data(), iv.data(), cipher.data(), cipher.size() / 16, expected.data()));
    CAes128 aes(iv.data());
    aes.SetKey(key.data());
    auto work = cipher;
    aes.DecryptBlocks(work.data(), work.size() / 16);
    EXPECT_TRUE(SameBytes(work, expected));
}

} // namespace
