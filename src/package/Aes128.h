#pragma once
// AES-128 CBC decryptor of part-image files.
//
// Contract: SetKey must run before the first DecryptBlock and wherever a new
// chain begins; it rebuilds every table from scratch, expands the key and puts
// the initialisation vector into the chaining block. DecryptBlock decrypts one
// 16-byte block in place and advances the chain. Nothing here fails: the
// caller hands whole blocks and a 16-byte key.
//
// The state is per object; the loader runs one chain at a time through the
// window's single decryptor, so the chains are the same as with one shared
// state.
#include <cstddef>
#include <cstdint>

class CAes128 {
public:
    // Chains start at the fixed package initialisation vector.
    CAes128();
    // Chains start at iv (16 bytes); for checks against other implementations.
    explicit CAes128(const std::uint8_t* iv);

    void SetKey(const std::uint8_t* key);
    void DecryptBlock(std::uint8_t* block);
    // DecryptBlock over nBlocks consecutive blocks, same result, one call.
    void DecryptBlocks(std::uint8_t* data, std::size_t nBlocks);

private:
    void BuildTables();
    void ExpandKey(const std::uint8_t* key);

    // Work tables of the key set-up: exponents (then the expanded key),
    // logarithms (then the inverse S-box) and the S-box.
    std::uint8_t m_exp[256];
    std::uint8_t m_log[256];
    std::uint8_t m_sbox[256];
    std::uint8_t m_expandedKey[176];
    std::uint8_t m_invSbox[256];
    // Decryption round tables: inverse S-box followed by InvMixColumns, one
    // table per input row, and the round keys of rounds 1 to 9 passed
    // through InvMixColumns so that a round is four lookups per column.
    std::uint32_t m_td[4][256];
    std::uint32_t m_roundKey[11][4];
    std::uint8_t m_iv[16];
    std::uint8_t m_chain[16];
};
