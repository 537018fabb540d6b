#include "signature/SignaturePolicy.h"

#include "files/FileSystem.h"
#include "history/StateDir.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>

namespace {

std::string Trimmed(const std::string& text)
{
    const auto first = text.find_first_not_of(" \t\r");
    if (first == std::string::npos)
        return {};
    return text.substr(first, text.find_last_not_of(" \t\r") - first + 1);
}

std::string FileName(const std::string& path)
{
    const std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string KeyText(const CSignatureCheck& check)
{
    return check.strKeyName + ", key id " + check.strKeyId;
}

} // namespace

std::vector<std::string> TrustedKeyFolders()
{
    std::vector<std::string> folders = {VelundaConfigDir() + "/trusted-keys"};
    const std::string xdg = FsEnv("XDG_CONFIG_HOME");
    const std::string home = FsEnv("HOME");
    if (FsIsAbsolute(xdg))
        folders.push_back(xdg + "/velunda/trusted-keys");
    else if (!home.empty())
        folders.push_back(home + "/.config/velunda/trusted-keys");
    return folders;
}

bool ConfigRequiresSignature(const std::string& configFile, std::vector<std::string>& notes)
{
    std::ifstream in(FsPath(configFile));
    std::error_code ec;
    if (!in && std::filesystem::exists(FsPath(configFile), ec)) {
        // A policy that cannot be read is not taken as no policy.
        notes.push_back(configFile + " cannot be read; a trusted signature is required");
        return true;
    }
    bool require = false;
    std::string line;
    for (int number = 1; std::getline(in, line); ++number) {
        line = Trimmed(line.substr(0, line.find('#')));
        const std::size_t equals = line.find('=');
        if (line.empty() || equals == std::string::npos ||
            Trimmed(line.substr(0, equals)) != "require-signature")
            continue;
        const std::string value = Trimmed(line.substr(equals + 1));
        const bool no = value == "no" || value == "false" || value == "off" || value == "0";
        const bool yes = value == "yes" || value == "true" || value == "on" || value == "1";
        if (!yes && !no)
            notes.push_back(configFile + " line " + std::to_string(number) + ": require-signature = \"" +
                            value + "\" is not yes or no; taken as yes");
        require = !no; // the last line wins
    }
    return require;
}

const char* SignatureStateName(ESignatureState state)
{
    switch (state) {
    case ESignatureState::Valid:
        return "valid";
    case ESignatureState::Untrusted:
        return "untrusted";
    case ESignatureState::Invalid:
        return "invalid";
    case ESignatureState::Unsigned:
        break;
    }
    return "unsigned";
}

std::string SignerText(const CSignatureCheck& check)
{
    switch (check.state) {
    case ESignatureState::Valid:
        return "signed by " + check.strKeyName + " (key " + check.strKeyId + ")";
    case ESignatureState::Untrusted:
        return "signed by an untrusted key: " + check.strKeyName + " (key " + check.strKeyId + ")";
    case ESignatureState::Invalid:
        return "bad signature";
    case ESignatureState::Unsigned:
        break;
    }
    return "unsigned";
}

std::string SignatureRefusal(const CSignatureCheck& check, bool requireSignature)
{
    const std::string sig = FileName(check.strSigFile);
    switch (check.fault) {
    case ESignatureFault::Package:
        return "it cannot be read (" + check.strDetail + ")";
    case ESignatureFault::Unreadable:
        return "its signature " + sig + " cannot be read (" + check.strDetail + ")";
    case ESignatureFault::Damaged:
        return "its signature " + sig + " is damaged: " + check.strDetail;
    case ESignatureFault::Changed:
        return "it is not the package its signature " + sig + " was made for: it changed after it was signed";
    case ESignatureFault::WrongKey:
        return "its signature " + sig + " was not made by the key it names (" + KeyText(check) +
               "): " + check.strDetail;
    case ESignatureFault::None:
        break;
    }
    if (!requireSignature)
        return {};
    if (check.state == ESignatureState::Unsigned)
        return "it is unsigned, and only signed packages may be loaded here (no " + sig + ")";
    if (check.state == ESignatureState::Untrusted)
        return "it is signed by a key that is not trusted here (" + KeyText(check) + ")";
    return {};
}

CPackageVerification VerifyPackage(int fd, const std::string& path, bool requireSignature)
{
    CPackageVerification result;
    result.stamp = CFileStamp::Of(fd);
    const std::unique_ptr<ISignatureCrypto> crypto = MakeSignatureCrypto();
    result.bRequired =
        ConfigRequiresSignature(VelundaConfigDir() + "/velunda.conf", result.notes) || requireSignature;
    const CTrustedKeys trusted = LoadTrustedKeys(TrustedKeyFolders(), *crypto);
    result.notes.insert(result.notes.end(), trusted.problems.begin(), trusted.problems.end());
    result.check = CheckPackageSignature(fd, path, trusted, *crypto);
    result.strRefusal = SignatureRefusal(result.check, result.bRequired);
    return result;
}
