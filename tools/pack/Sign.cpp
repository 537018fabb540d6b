// velunda-pack keygen and sign: ECDSA P-256 key pairs, and detached
// signatures (PACKAGE.sig) over a package's SHA-256, which the tool checks
// against its trusted keys before it loads the package.
#include "Commands.h"
#include "options/OptionTable.h"
#include "signature/PackageSignature.h"
#include "signature/SignatureOpenSsl.h"

#include <openssl/bio.h>
#include <openssl/pem.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

const char* const KEYGEN_HELP = "Usage: velunda-pack keygen NAME\n"
                                "\n"
                                "Makes an ECDSA P-256 key pair in the current folder: NAME.key, the private\n"
                                "key (PEM, mode 0600; keep it secret) and NAME.pub, the public key (PEM) to\n"
                                "put into a trusted-keys folder. Existing files are never overwritten.\n"
                                "NAME: letters, digits, '.', '_' and '-', at most 64 characters.\n"
                                "Exit status: 0 made, 1 a file could not be written, 2 bad usage.\n";

const char* const SIGN_HELP = "Usage: velunda-pack sign --key PRIVATE [--name NAME] PACKAGE\n"
                              "\n"
                              "Writes PACKAGE.sig beside the package: the package's size and SHA-256, the\n"
                              "key's id and name, signed with the private key. The package is unchanged.\n"
                              "  -k, --key FILE    the private key (from velunda-pack keygen)\n"
                              "  --name NAME       the key's name in the signature (default: FILE without\n"
                              "                    its folder and .key)\n"
                              "Exit status: 0 written, 1 a file could not be read or written, 2 bad usage.\n";

int Fail(int status, const std::string& message)
{
    std::fprintf(stderr, "velunda-pack: %s\n", message.c_str());
    return status;
}

struct CBioFree {
    void operator()(BIO* b) const { BIO_free(b); }
};
using BioPtr = std::unique_ptr<BIO, CBioFree>;

// Writes a new file (never over an existing one) with the PEM write gives.
bool WriteNewPem(const std::string& path, mode_t mode, const std::function<int(BIO*)>& write,
                 std::string& error)
{
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, mode);
    if (fd < 0) {
        error = "cannot create " + path + ": " + std::strerror(errno);
        return false;
    }
    // The mode of a new file is cut by the umask; a private key is 0600 whatever it is.
    ::fchmod(fd, mode);
    BioPtr bio(BIO_new_fd(fd, BIO_CLOSE));
    if (!bio) {
        ::close(fd);
        error = "cannot write " + path;
        return false;
    }
    if (write(bio.get()) != 1 || BIO_flush(bio.get()) != 1) {
        error = OpenSslReason(("cannot write " + path).c_str());
        return false;
    }
    return true;
}

std::string KeyIdOfPkey(const EVP_PKEY* key, const ISignatureCrypto& crypto)
{
    std::array<std::uint8_t, EC_POINT_BYTES> point{};
    return OpenSslP256Point(key, point) ? KeyIdOf(crypto, point) : std::string();
}

} // namespace

int RunKeygen(int argc, char** argv)
{
    bool help = false;
    std::vector<std::string> names;
    COptionParse how;
    how.positional = [&](const std::string& arg, std::string&) {
        names.push_back(arg);
        return true;
    };
    std::string error;
    if (!ParseOptions(argc, argv, {FlagOption("help", 'h', help)}, how, error))
        return Fail(2, error);
    if (help) {
        std::fputs(KEYGEN_HELP, stdout);
        return 0;
    }
    if (names.size() != 1 || !IsValidKeyName(names[0]))
        return Fail(2, "keygen needs one NAME of letters, digits, '.', '_' and '-' (at most 64)");
    const std::string name = names[0];
    EvpPkeyPtr key(EVP_PKEY_Q_keygen(nullptr, nullptr, "EC", "P-256"));
    if (!key)
        return Fail(1, OpenSslReason("cannot make a P-256 key"));
    const std::string keyPath = name + ".key";
    const std::string pubPath = name + ".pub";
    std::error_code ec;
    if (std::filesystem::exists(pubPath, ec))
        return Fail(1, pubPath + " already exists; it is not overwritten");
    if (!WriteNewPem(
            keyPath, 0600,
            [&](BIO* b) {
                return PEM_write_bio_PrivateKey(b, key.get(), nullptr, nullptr, 0, nullptr, nullptr);
            },
            error))
        return Fail(1, error);
    if (!WriteNewPem(
            pubPath, 0644, [&](BIO* b) { return PEM_write_bio_PUBKEY(b, key.get()); }, error)) {
        ::unlink(keyPath.c_str()); // a private key without its public half is of no use
        return Fail(1, error);
    }
    std::printf("%s: key id %s\n", name.c_str(), KeyIdOfPkey(key.get(), *MakeSignatureCrypto()).c_str());
    return 0;
}

int RunSign(int argc, char** argv)
{
    bool help = false;
    std::string keyFile;
    std::string name;
    std::vector<std::string> packages;
    COptionParse how;
    how.positional = [&](const std::string& arg, std::string&) {
        packages.push_back(arg);
        return true;
    };
    std::string error;
    if (!ParseOptions(
            argc, argv,
            {FlagOption("help", 'h', help), TextOption("key", 'k', keyFile), TextOption("name", 0, name)},
            how, error))
        return Fail(2, error);
    if (help) {
        std::fputs(SIGN_HELP, stdout);
        return 0;
    }
    if (keyFile.empty() || packages.size() != 1)
        return Fail(2, "sign needs --key PRIVATE and one PACKAGE");
    if (name.empty()) {
        name = std::filesystem::path(keyFile).filename().string();
        if (name.size() > 4 && name.compare(name.size() - 4, 4, ".key") == 0)
            name.resize(name.size() - 4);
    }
    if (!IsValidKeyName(name))
        return Fail(2,
                    "the key name \"" + name + "\" is not letters, digits, '.', '_' and '-' (give --name)");

    std::FILE* keyIn = std::fopen(keyFile.c_str(), "rb");
    if (keyIn == nullptr)
        return Fail(1, "cannot read " + keyFile + ": " + std::strerror(errno));
    EvpPkeyPtr key(PEM_read_PrivateKey(keyIn, nullptr, nullptr, nullptr));
    std::fclose(keyIn);
    const std::unique_ptr<ISignatureCrypto> crypto = MakeSignatureCrypto();
    CSignatureFile sig;
    sig.strKeyName = name;
    sig.strKeyId = key ? KeyIdOfPkey(key.get(), *crypto) : std::string();
    if (sig.strKeyId.empty())
        return Fail(1, keyFile + " is not an ECDSA P-256 private key");

    const std::string& package = packages[0];
    const int fd = ::open(package.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return Fail(1, "cannot read " + package + ": " + std::strerror(errno));
    const bool hashed = HashDescriptor(fd, *crypto, sig.packageDigest, sig.uPackageSize, error);
    ::close(fd);
    if (!hashed)
        return Fail(1, "cannot read " + package + ": " + error);

    const std::string statement = SignedStatement(sig);
    struct CMdCtxFree {
        void operator()(EVP_MD_CTX* c) const { EVP_MD_CTX_free(c); }
    };
    std::unique_ptr<EVP_MD_CTX, CMdCtxFree> ctx(EVP_MD_CTX_new());
    std::size_t derLength = 0;
    std::vector<std::uint8_t> der;
    const auto* message = reinterpret_cast<const unsigned char*>(statement.data());
    bool signedOk = ctx && EVP_DigestSignInit(ctx.get(), nullptr, EVP_sha256(), nullptr, key.get()) == 1 &&
                    EVP_DigestSign(ctx.get(), nullptr, &derLength, message, statement.size()) == 1;
    if (signedOk) {
        der.resize(derLength);
        signedOk = EVP_DigestSign(ctx.get(), der.data(), &derLength, message, statement.size()) == 1;
        der.resize(derLength);
    }
    if (!signedOk || !OpenSslRsFromDer(der, sig.signature))
        return Fail(1, OpenSslReason("cannot sign"));

    // Written whole under a temporary name, then put in place.
    const std::string out = package + SIGNATURE_EXTENSION;
    const std::string temp = out + ".tmp";
    const std::string text = FormatSignatureFile(sig);
    std::FILE* file = std::fopen(temp.c_str(), "wb");
    const bool written = file != nullptr && std::fwrite(text.data(), 1, text.size(), file) == text.size();
    const bool closed = file != nullptr && std::fclose(file) == 0;
    if (!written || !closed || std::rename(temp.c_str(), out.c_str()) != 0) {
        const std::string why = std::strerror(errno);
        ::unlink(temp.c_str());
        return Fail(1, "cannot write " + out + ": " + why);
    }
    std::printf("%s: signed by %s (key %s)\n", out.c_str(), name.c_str(), sig.strKeyId.c_str());
    return 0;
}
