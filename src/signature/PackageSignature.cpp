#include "signature/PackageSignature.h"

#include "files/FileSystem.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>

namespace fs = std::filesystem;

namespace {

constexpr std::size_t kHashChunk = 1 << 20;
constexpr std::size_t kKeyFileMaxBytes = 16 * 1024;

// At most limit + 1 bytes of a small file, so that a larger one shows. False
// with the reason in why; missing tells a file that is not there.
bool ReadSmallFile(const std::string& path, std::size_t limit, std::string& text, std::string& why,
                   bool& missing)
{
    int error = 0;
    // Non-blocking, so that a FIFO in the place of a .sig cannot hang the load.
    const int fd = FsOpen(path, EFsOpen::ReadNonBlocking);
    if (fd < 0) {
        missing = errno == ENOENT;
        why = std::strerror(errno);
        return false;
    }
    CFsInfo info;
    if (!FsStatDescriptor(fd, info) || !info.bRegular) {
        why = "it is not a regular file";
        FsClose(fd);
        return false;
    }
    text.assign(limit + 1, '\0');
    std::size_t got = 0;
    while (got < text.size()) {
        const long long n = FsRead(fd, text.data() + got, text.size() - got);
        if (n <= 0) {
            if (n < 0)
                error = errno;
            break;
        }
        got += static_cast<std::size_t>(n);
    }
    FsClose(fd);
    text.resize(got);
    if (error != 0)
        why = std::strerror(error);
    return error == 0;
}

} // namespace

bool HashDescriptor(int fd, const ISignatureCrypto& crypto, CSha256Digest& digest, std::uint64_t& size,
                    std::string& error)
{
    const std::unique_ptr<ISha256> sha = crypto.NewSha256();
    std::vector<std::uint8_t> buffer(kHashChunk);
    size = 0;
    for (;;) {
        const long long n = FsReadAt(fd, buffer.data(), buffer.size(), size);
        if (n < 0) {
            error = std::strerror(errno);
            return false;
        }
        if (n == 0)
            break;
        sha->Update(buffer.data(), static_cast<std::size_t>(n));
        size += static_cast<std::uint64_t>(n);
    }
    digest = sha->Final();
    return true;
}

CFileStamp CFileStamp::Of(int fd)
{
    CFileStamp stamp;
    CFsInfo info;
    if (FsStatDescriptor(fd, info)) {
        stamp.size = static_cast<std::int64_t>(info.uSize);
        stamp.mtimeNs = info.nModifiedNs;
        stamp.ctimeNs = info.nChangedNs;
    }
    return stamp;
}

const CTrustedKey* CTrustedKeys::Find(const std::string& id) const
{
    const auto it =
        std::find_if(keys.begin(), keys.end(), [&](const CTrustedKey& k) { return k.strId == id; });
    return it == keys.end() ? nullptr : &*it;
}

CTrustedKeys LoadTrustedKeys(const std::vector<std::string>& folders, const ISignatureCrypto& crypto)
{
    CTrustedKeys trusted;
    for (const std::string& folder : folders) {
        std::vector<std::string> files;
        std::error_code ec;
        for (fs::directory_iterator it(FsPath(folder), ec), end; !ec && it != end; it.increment(ec))
            if (it->path().extension() == ".pub")
                files.push_back(FsUtf8(it->path()));
        std::sort(files.begin(), files.end());
        for (const std::string& file : files) {
            std::string pem;
            std::string why;
            bool missing = false;
            std::unique_ptr<IPublicKey> key;
            if (ReadSmallFile(file, kKeyFileMaxBytes, pem, why, missing)) {
                if (pem.size() > kKeyFileMaxBytes)
                    why = "it is larger than 16 KiB";
                else
                    key = crypto.ReadPublicKey(pem, why);
            }
            if (!key) {
                trusted.problems.push_back("Trusted key " + file + " is skipped: " + why);
                continue;
            }
            const std::string id = KeyIdOf(crypto, key->Point());
            if (trusted.Find(id) == nullptr)
                trusted.keys.push_back({id, file, std::move(key)});
        }
    }
    return trusted;
}

std::string KeyIdOf(const ISignatureCrypto& crypto, const std::array<std::uint8_t, EC_POINT_BYTES>& point)
{
    const std::unique_ptr<ISha256> sha = crypto.NewSha256();
    sha->Update(point.data(), point.size());
    const CSha256Digest digest = sha->Final();
    return HexText(digest.data(), SIGNATURE_KEY_ID_CHARS / 2);
}

CSignatureCheck CheckPackageSignature(int packageFd, const std::string& packagePath,
                                      const CTrustedKeys& trusted, const ISignatureCrypto& crypto)
{
    CSignatureCheck check;
    check.strSigFile = packagePath + SIGNATURE_EXTENSION;
    CSha256Digest digest{};
    if (!HashDescriptor(packageFd, crypto, digest, check.uSize, check.strDetail)) {
        check.state = ESignatureState::Invalid;
        check.fault = ESignatureFault::Package;
        return check;
    }
    check.strSha256 = HexText(digest.data(), digest.size());

    std::string text;
    bool missing = false;
    if (!ReadSmallFile(check.strSigFile, SIGNATURE_FILE_MAX_BYTES, text, check.strDetail, missing)) {
        if (missing) {
            check.strDetail.clear();
            return check; // unsigned
        }
        check.state = ESignatureState::Invalid;
        check.fault = ESignatureFault::Unreadable;
        return check;
    }
    CSignatureFile sig;
    std::string statement;
    check.state = ESignatureState::Invalid;
    if (!ParseSignatureFile(text, sig, statement, check.strDetail)) {
        check.fault = ESignatureFault::Damaged;
        return check;
    }
    check.strKeyId = sig.strKeyId;
    check.strKeyName = sig.strKeyName;
    const bool matches = sig.uPackageSize == check.uSize && sig.packageDigest == digest;
    const CTrustedKey* key = trusted.Find(sig.strKeyId);
    if (key == nullptr) {
        // Without the key the statement cannot be told from a damaged one.
        check.state = matches ? ESignatureState::Untrusted : ESignatureState::Invalid;
        check.fault = matches ? ESignatureFault::None : ESignatureFault::Changed;
        return check;
    }
    const bool signatureHolds = key->key->Verify(statement, sig.signature);
    if (!matches) {
        // An intact statement about other bytes: the package changed (or is
        // another one); a statement that no longer holds was altered.
        check.fault = signatureHolds ? ESignatureFault::Changed : ESignatureFault::Damaged;
        if (!signatureHolds)
            check.strDetail = "its statement does not match its signature";
        return check;
    }
    if (!signatureHolds) {
        // Made by another trusted key than the one named, or not by any.
        const auto other = std::find_if(trusted.keys.begin(), trusted.keys.end(), [&](const CTrustedKey& k) {
            return &k != key && k.key->Verify(statement, sig.signature);
        });
        check.fault = other != trusted.keys.end() ? ESignatureFault::WrongKey : ESignatureFault::Damaged;
        check.strDetail = other != trusted.keys.end() ? "it was made with the key of " + other->strFile
                                                      : "its signature does not verify with the key it names";
        return check;
    }
    check.state = ESignatureState::Valid;
    return check;
}
