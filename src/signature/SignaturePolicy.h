#pragma once
// Where trusted keys and the signature policy come from, and what a check
// means for a load: refused (with the cause shown to the user), or loaded and
// shown as signed, untrusted or unsigned.
//
// The system folder is /etc/velunda; VELUNDA_CONFIG_DIR names another (tests,
// packaged installs under another prefix). It holds velunda.conf and
// trusted-keys/; the user's keys are in $XDG_CONFIG_HOME/velunda/trusted-keys
// (~/.config when XDG_CONFIG_HOME is unset).
#include "signature/PackageSignature.h"

#include <string>
#include <vector>

std::vector<std::string> TrustedKeyFolders();

// "require-signature = yes" in the config file. Lines are "key = value";
// '#' starts a comment. A value other than yes/no (true/false, on/off, 1/0)
// counts as yes, so a typing mistake never lowers the bar; such a line is
// named in notes. A missing file means no; one that exists but cannot be
// read means yes.
bool ConfigRequiresSignature(const std::string& configFile, std::vector<std::string>& notes);

// "valid", "unsigned", "untrusted" or "invalid".
const char* SignatureStateName(ESignatureState state);

// The package line: "signed by NAME (key ID)", "unsigned", ...
std::string SignerText(const CSignatureCheck& check);

// Why the package must not load, as the end of "Cannot load the package
// FILE: ...", or empty when it may.
std::string SignatureRefusal(const CSignatureCheck& check, bool requireSignature);

struct CPackageVerification {
    CSignatureCheck check;
    CFileStamp stamp; // of the file before it was read
    bool bRequired = false;
    std::string strRefusal;         // empty: the package may be loaded
    std::vector<std::string> notes; // key files skipped, config lines not understood
};

// Checks the package fd reads (the file at path) against the trusted keys
// and the policy: required when requireSignature is set or the config asks.
CPackageVerification VerifyPackage(int fd, const std::string& path, bool requireSignature);
