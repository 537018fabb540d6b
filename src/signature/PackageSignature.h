#pragma once
// Checking a package against its detached signature (PACKAGE.sig) and the
// trusted keys. The package is read through a descriptor the caller opened
// and keeps: the loader then reads the very file that was checked.
//
// Errors: nothing throws. Every outcome is a CSignatureCheck; a trusted key
// file that cannot be used is named in CTrustedKeys::problems and skipped.
#include "signature/SignatureCrypto.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

enum class ESignatureState { Unsigned, Valid, Untrusted, Invalid };

enum class ESignatureFault {
    None,
    Unreadable, // the .sig exists but cannot be read
    Damaged,    // the .sig is not of the format
    Changed,    // the package is not the one the .sig was made for
    WrongKey,   // another trusted key than the one the .sig names made its signature
    Package,    // the package itself cannot be read
};

struct CTrustedKey {
    std::string strId;
    std::string strFile; // where it was read from
    std::unique_ptr<IPublicKey> key;
};

struct CTrustedKeys {
    std::vector<CTrustedKey> keys;
    std::vector<std::string> problems; // one line per key file skipped, naming it
    const CTrustedKey* Find(const std::string& id) const;
};

// The *.pub files of the folders, in name order per folder; folders that do
// not exist are passed over.
CTrustedKeys LoadTrustedKeys(const std::vector<std::string>& folders, const ISignatureCrypto& crypto);

// What tells a file rewritten in place from the one that was checked.
struct CFileStamp {
    std::int64_t size = -1;
    std::int64_t mtimeNs = 0;
    std::int64_t ctimeNs = 0;
    static CFileStamp Of(int fd);
    bool operator==(const CFileStamp&) const = default;
};

struct CSignatureCheck {
    ESignatureState state = ESignatureState::Unsigned;
    ESignatureFault fault = ESignatureFault::None;
    std::string strKeyId;   // as the .sig names it
    std::string strKeyName; // as the .sig names it
    std::string strSigFile; // path of the .sig
    std::string strDetail;  // for Unreadable, Damaged and Package: what is wrong
    // Of the bytes read through the descriptor.
    std::string strSha256;
    std::uint64_t uSize = 0;
};

// The .sig beside packagePath; packageFd reads the package (with pread, so
// its offset is left alone).
CSignatureCheck CheckPackageSignature(int packageFd, const std::string& packagePath,
                                      const CTrustedKeys& trusted, const ISignatureCrypto& crypto);

// SHA-256 of everything fd holds, read with pread; false with errno's text in
// error when a read fails.
bool HashDescriptor(int fd, const ISignatureCrypto& crypto, CSha256Digest& digest, std::uint64_t& size,
                    std::string& error);
