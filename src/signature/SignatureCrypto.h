#pragma once
// The cryptography a signature check needs, behind one small interface so
// that each platform brings its own backend file: OpenSSL's libcrypto (EVP)
// here; the same shape fits Windows CNG (BCrypt), which takes the raw point
// of a P-256 key and a signature as r and s, as this interface does.
//
// Errors: nothing throws. ReadPublicKey gives null and a reason; Verify gives
// false for a signature that does not match and for one the backend cannot
// take in.
#include "signature/SignatureFile.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

inline constexpr std::size_t EC_POINT_BYTES = 65; // 0x04, then X and Y, 32 bytes each

class ISha256 {
public:
    virtual ~ISha256() = default;
    virtual void Update(const void* data, std::size_t n) = 0;
    // The digest; the object is spent afterwards.
    virtual CSha256Digest Final() = 0;
};

class IPublicKey {
public:
    virtual ~IPublicKey() = default;
    // The uncompressed point of the key, which its id is made from.
    virtual std::array<std::uint8_t, EC_POINT_BYTES> Point() const = 0;
    // ECDSA P-256 with SHA-256 over message.
    virtual bool Verify(std::string_view message,
                        const std::array<std::uint8_t, SIGNATURE_BYTES>& rs) const = 0;
};

class ISignatureCrypto {
public:
    virtual ~ISignatureCrypto() = default;
    virtual std::unique_ptr<ISha256> NewSha256() const = 0;
    // An ECDSA P-256 public key in PEM (SubjectPublicKeyInfo).
    virtual std::unique_ptr<IPublicKey> ReadPublicKey(std::string_view pem, std::string& error) const = 0;
};

// This platform's backend.
std::unique_ptr<ISignatureCrypto> MakeSignatureCrypto();

// The key id: the first 8 bytes of the SHA-256 of the key's point, as hex.
std::string KeyIdOf(const ISignatureCrypto& crypto, const std::array<std::uint8_t, EC_POINT_BYTES>& point);
