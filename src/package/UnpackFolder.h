#pragma once
// Where a package archive is unpacked, and who may use that folder. The folder
// beside the package is taken only when it can be written and no other load
// holds it; otherwise (and always when the caller asks for it) a private
// folder is made with a unique name, so two loads of one package never delete each
// other's files.
//
// Errors: Claim never throws; a private folder that cannot be made leaves the
// claim empty with the reason in its error text.
#include <string>

class CUnpackFolder {
public:
    enum class EPlace { BesidePackage, Private };

    CUnpackFolder() = default;
    ~CUnpackFolder() { Release(); }
    CUnpackFolder(const CUnpackFolder&) = delete;
    CUnpackFolder& operator=(const CUnpackFolder&) = delete;

    // Releases any earlier claim, then claims besideFolder (with place
    // BesidePackage) or a private folder. True when Path() can be used.
    // A besideFolder that exists as something other than a folder is not
    // claimed and not replaced: Path() is empty and StandsInTheWay() is true.
    bool Claim(const std::string& besideFolder, EPlace place);
    // Drops the lock; the folder itself is the loader's to remove.
    void Release();

    const std::string& Path() const { return m_strPath; }
    // The folder was made by this claim (a private folder, or the folder
    // beside the package when it did not exist yet).
    bool Created() const { return m_bCreated; }
    // A private folder: no other load ever comes to it.
    bool IsPrivate() const { return m_bPrivate; }
    bool StandsInTheWay() const { return m_bInTheWay; }
    // Why the folder beside the package was not used, or why no folder could
    // be made; empty otherwise.
    const std::string& Note() const { return m_strNote; }

private:
    bool ClaimBeside(const std::string& folder);
    bool ClaimPrivate();

    std::string m_strPath;
    std::string m_strNote;
    int m_nLockFd = -1;
    bool m_bCreated = false;
    bool m_bPrivate = false;
    bool m_bInTheWay = false;
};

// The parent of private unpack folders (UnpackBasePosix.cpp, UnpackBaseWin.cpp):
// on Linux $XDG_RUNTIME_DIR when it is set and writable, else $TMPDIR, else
// /tmp; on Windows %LOCALAPPDATA%\Velunda (made when missing), else the
// temporary folder.
std::string PrivateUnpackBase();
