#pragma once
// What the OpenSSL backend and velunda-pack's signing share: the raw forms
// the .sig format and the key id use, converted from and to OpenSSL's.
#include "signature/SignatureCrypto.h"

#include <openssl/evp.h>

#include <memory>
#include <string>
#include <vector>

struct CEvpPkeyFree {
    void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
};
using EvpPkeyPtr = std::unique_ptr<EVP_PKEY, CEvpPkeyFree>;

// True for an EC key on P-256; point then holds its uncompressed point.
bool OpenSslP256Point(const EVP_PKEY* key, std::array<std::uint8_t, EC_POINT_BYTES>& point);
// A DER ECDSA signature as r and s, and back; false for one that does not fit.
bool OpenSslRsFromDer(const std::vector<std::uint8_t>& der, std::array<std::uint8_t, SIGNATURE_BYTES>& rs);
std::vector<std::uint8_t> OpenSslDerFromRs(const std::array<std::uint8_t, SIGNATURE_BYTES>& rs);
// OpenSSL's reason for the last failure, or fallback.
std::string OpenSslReason(const char* fallback);
