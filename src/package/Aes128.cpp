#include "package/Aes128.h"

#include "package/PackageKey.h"

#include <cstring>

namespace {

std::uint8_t XTime(std::uint8_t a)
{
    return static_cast<std::uint8_t>((a << 1) ^ ((a & 0x80) ? 0x1B : 0x00));
}

std::uint8_t Rotl8(std::uint8_t b, int n)
{
    return static_cast<std::uint8_t>((b << n) | (b >> (8 - n)));
}

// Product in GF(2^8) by shift and xtime; only used while building tables.
std::uint8_t GfMul(std::uint8_t a, std::uint8_t b)
{
    std::uint8_t r = 0;
    while (b) {
        if (b & 1) {
            r ^= a;
        }
        a = XTime(a);
        b >>= 1;
    }
    return r;
}

std::uint32_t Rotl32(std::uint32_t w, int n)
{
    return n == 0 ? w : (w << n) | (w >> (32 - n));
}

// A column as a word, row 0 in the low byte.
std::uint32_t LoadColumn(const std::uint8_t* p)
{
    return std::uint32_t(p[0]) | (std::uint32_t(p[1]) << 8) | (std::uint32_t(p[2]) << 16) |
           (std::uint32_t(p[3]) << 24);
}

void StoreColumn(std::uint8_t* p, std::uint32_t w)
{
    p[0] = static_cast<std::uint8_t>(w);
    p[1] = static_cast<std::uint8_t>(w >> 8);
    p[2] = static_cast<std::uint8_t>(w >> 16);
    p[3] = static_cast<std::uint8_t>(w >> 24);
}

std::uint8_t Row(std::uint32_t w, int r)
{
    return static_cast<std::uint8_t>(w >> (8 * r));
}

} // namespace

CAes128::CAes128() : CAes128(PACKAGE_IV)
{
}

CAes128::CAes128(const std::uint8_t* iv)
{
    std::memcpy(m_iv, iv, sizeof m_iv);
    std::memcpy(m_chain, m_iv, sizeof m_chain);
    std::memset(m_exp, 0, sizeof m_exp);
    std::memset(m_log, 0, sizeof m_log);
    std::memset(m_sbox, 0, sizeof m_sbox);
    std::memset(m_expandedKey, 0, sizeof m_expandedKey);
    std::memset(m_invSbox, 0, sizeof m_invSbox);
    std::memset(m_td, 0, sizeof m_td);
    std::memset(m_roundKey, 0, sizeof m_roundKey);
}

void CAes128::BuildTables()
{
    std::memset(m_exp, 0, sizeof m_exp);
    std::memset(m_log, 0, sizeof m_log);
    std::memset(m_sbox, 0, sizeof m_sbox);

    // Powers of the generator 3.
    std::uint8_t a = 1;
    for (int i = 0; i < 255; ++i) {
        m_exp[i] = a;
        m_log[a] = static_cast<std::uint8_t>(i);
        a ^= XTime(a);
    }
    m_exp[255] = m_exp[0];

    for (int x = 0; x < 256; ++x) {
        const std::uint8_t b = x == 0 ? 0 : m_exp[255 - m_log[x]];
        m_sbox[x] =
            static_cast<std::uint8_t>(b ^ Rotl8(b, 1) ^ Rotl8(b, 2) ^ Rotl8(b, 3) ^ Rotl8(b, 4) ^ 0x63);
    }
    // The S-box is a permutation, so its inverse is a direct store.
    for (int x = 0; x < 256; ++x) {
        m_invSbox[m_sbox[x]] = static_cast<std::uint8_t>(x);
    }

    for (int x = 0; x < 256; ++x) {
        const std::uint8_t s = m_invSbox[x];
        const std::uint32_t t = std::uint32_t(GfMul(s, 0x0E)) | (std::uint32_t(GfMul(s, 0x09)) << 8) |
                                (std::uint32_t(GfMul(s, 0x0D)) << 16) | (std::uint32_t(GfMul(s, 0x0B)) << 24);
        for (int r = 0; r < 4; ++r) {
            m_td[r][x] = Rotl32(t, 8 * r);
        }
    }
}

void CAes128::ExpandKey(const std::uint8_t* key)
{
    std::memset(m_expandedKey, 0, sizeof m_expandedKey);
    std::memcpy(m_expandedKey, key, 16);
    std::uint8_t rcon = 0x01;
    for (int p = 16; p < 176; p += 4) {
        std::uint8_t w[4];
        std::memcpy(w, m_expandedKey + p - 4, 4);
        if (p % 16 == 0) {
            const std::uint8_t t = w[0];
            w[0] = static_cast<std::uint8_t>(m_sbox[w[1]] ^ rcon);
            w[1] = m_sbox[w[2]];
            w[2] = m_sbox[w[3]];
            w[3] = m_sbox[t];
            rcon = XTime(rcon);
        }
        for (int i = 0; i < 4; ++i) {
            m_expandedKey[p + i] = static_cast<std::uint8_t>(w[i] ^ m_expandedKey[p - 16 + i]);
        }
    }

    // Rounds 1 to 9 add their key before InvMixColumns in the plain inverse
    // cipher; moving it after means passing the key through InvMixColumns.
    // m_td[r][m_sbox[b]] is InvMixColumns of b placed in row r.
    for (int r = 0; r <= 10; ++r) {
        for (int c = 0; c < 4; ++c) {
            const std::uint32_t w = LoadColumn(m_expandedKey + 16 * r + 4 * c);
            if (r == 0 || r == 10) {
                m_roundKey[r][c] = w;
            } else {
                m_roundKey[r][c] = m_td[0][m_sbox[Row(w, 0)]] ^ m_td[1][m_sbox[Row(w, 1)]] ^
                                   m_td[2][m_sbox[Row(w, 2)]] ^ m_td[3][m_sbox[Row(w, 3)]];
            }
        }
    }
}

void CAes128::SetKey(const std::uint8_t* key)
{
    for (int i = 0; i < 16; ++i) {
        m_chain[i] = m_iv[i];
    }
    BuildTables();
    ExpandKey(key);
}

void CAes128::DecryptBlock(std::uint8_t* block)
{
    DecryptBlocks(block, 1);
}

namespace {

struct CRoundTables {
    const std::uint32_t* td0;
    const std::uint32_t* td1;
    const std::uint32_t* td2;
    const std::uint32_t* td3;
    const std::uint8_t* isb;
    std::uint32_t rk[11][4];
};

// The inverse cipher of one block held as four columns. InvShiftRows moves
// row r of column c to column c + r, so output column c takes row r from
// input column c - r.
inline void InvCipherColumns(const CRoundTables& t, std::uint32_t (&s)[4])
{
    std::uint32_t s0 = s[0] ^ t.rk[10][0], s1 = s[1] ^ t.rk[10][1], s2 = s[2] ^ t.rk[10][2],
                  s3 = s[3] ^ t.rk[10][3];
    for (int r = 9; r >= 1; --r) {
        const std::uint32_t* k = t.rk[r];
        const std::uint32_t t0 =
            t.td0[s0 & 0xFF] ^ t.td1[(s3 >> 8) & 0xFF] ^ t.td2[(s2 >> 16) & 0xFF] ^ t.td3[s1 >> 24] ^ k[0];
        const std::uint32_t t1 =
            t.td0[s1 & 0xFF] ^ t.td1[(s0 >> 8) & 0xFF] ^ t.td2[(s3 >> 16) & 0xFF] ^ t.td3[s2 >> 24] ^ k[1];
        const std::uint32_t t2 =
            t.td0[s2 & 0xFF] ^ t.td1[(s1 >> 8) & 0xFF] ^ t.td2[(s0 >> 16) & 0xFF] ^ t.td3[s3 >> 24] ^ k[2];
        const std::uint32_t t3 =
            t.td0[s3 & 0xFF] ^ t.td1[(s2 >> 8) & 0xFF] ^ t.td2[(s1 >> 16) & 0xFF] ^ t.td3[s0 >> 24] ^ k[3];
        s0 = t0;
        s1 = t1;
        s2 = t2;
        s3 = t3;
    }
    auto last = [&t](std::uint32_t a, std::uint32_t b, std::uint32_t c, std::uint32_t d) {
        return std::uint32_t(t.isb[a & 0xFF]) | (std::uint32_t(t.isb[(b >> 8) & 0xFF]) << 8) |
               (std::uint32_t(t.isb[(c >> 16) & 0xFF]) << 16) | (std::uint32_t(t.isb[d >> 24]) << 24);
    };
    s[0] = last(s0, s3, s2, s1) ^ t.rk[0][0];
    s[1] = last(s1, s0, s3, s2) ^ t.rk[0][1];
    s[2] = last(s2, s1, s0, s3) ^ t.rk[0][2];
    s[3] = last(s3, s2, s1, s0) ^ t.rk[0][3];
}

} // namespace

void CAes128::DecryptBlocks(std::uint8_t* data, std::size_t nBlocks)
{
    // Tables and keys are taken into a local: stores through data (a byte
    // pointer) may alias any member and would force reloads otherwise.
    CRoundTables t{m_td[0], m_td[1], m_td[2], m_td[3], m_invSbox, {}};
    std::memcpy(t.rk, m_roundKey, sizeof t.rk);
    std::uint32_t chain[4];
    for (int c = 0; c < 4; ++c) {
        chain[c] = LoadColumn(m_chain + 4 * c);
    }

    // CBC decryption of one block does not wait for the previous one, so two
    // blocks go through the rounds side by side.
    std::size_t n = 0;
    for (; n + 2 <= nBlocks; n += 2, data += 32) {
        std::uint32_t a[4], b[4], ca[4], cb[4];
        for (int c = 0; c < 4; ++c) {
            ca[c] = a[c] = LoadColumn(data + 4 * c);
            cb[c] = b[c] = LoadColumn(data + 16 + 4 * c);
        }
        InvCipherColumns(t, a);
        InvCipherColumns(t, b);
        for (int c = 0; c < 4; ++c) {
            StoreColumn(data + 4 * c, a[c] ^ chain[c]);
            StoreColumn(data + 16 + 4 * c, b[c] ^ ca[c]);
            chain[c] = cb[c];
        }
    }
    for (; n < nBlocks; ++n, data += 16) {
        std::uint32_t a[4], ca[4];
        for (int c = 0; c < 4; ++c) {
            ca[c] = a[c] = LoadColumn(data + 4 * c);
        }
        InvCipherColumns(t, a);
        for (int c = 0; c < 4; ++c) {
            StoreColumn(data + 4 * c, a[c] ^ chain[c]);
            chain[c] = ca[c];
        }
    }

    for (int c = 0; c < 4; ++c) {
        StoreColumn(m_chain + 4 * c, chain[c]);
    }
}
