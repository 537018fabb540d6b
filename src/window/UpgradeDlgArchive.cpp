// Package archives in the window: unpack beside the package (or into a
// private folder, see package/UnpackFolder.h), read
// UpgradeInfo.txt, classify the part files, and remove what the load made.
// Which entries become which files, what is refused and how files are
// classified is package/PackageArchive, shared with `velunda-cli info`; this
// file adds the writing and the bookkeeping of what was written.
//
// Errors: a load that cannot go on throws (CZipException and CFileException
// from the reader, CPackageError for a package refused); the File Load
// handler turns that into one message. Before throwing, the archive is closed
// and what this load created stays recorded, so the handler can remove it.
//
// Ownership of files: only what the tool wrote is ever overwritten or
// deleted. The unpack folder's manifest lists what it wrote, also in earlier
// sessions. A file of the user's under a name the package uses is never
// overwritten: when it holds exactly the entry's bytes it is used as it is
// (and kept at clean-up); otherwise the load is refused.
#include "window/UpgradeDlg.h"

#include "files/FileSystem.h"
#include "package/UpgradeInfo.h"
#include "zip/ZipPath.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <unordered_set>

namespace fs = std::filesystem;

namespace {

constexpr std::uint32_t kExtractBufSize = 65535;

std::string BaseName(const std::string& path)
{
    const std::size_t slash = ZipLastNativeSeparator(path);
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// True when path lies inside folder (or is folder itself).
bool IsWithin(const std::string& path, const std::string& folder)
{
    std::string prefix = folder;
    while (prefix.size() > 1 && prefix.back() == '/')
        prefix.pop_back();
    if (path == prefix)
        return true;
    prefix += '/';
    return path.compare(0, prefix.size(), prefix) == 0;
}

// Does the file at path hold exactly the bytes of entry index? Reads the
// entry through the reader (so its CRC is checked) without writing anything.
bool SameContent(CZipArchive& zip, std::uint16_t index, const std::string& path)
{
    std::ifstream in(FsPath(path), std::ios::binary);
    if (!in || !zip.OpenEntry(index))
        return false;
    std::vector<char> entryBuf(kExtractBufSize);
    std::vector<char> fileBuf(kExtractBufSize);
    bool same = true;
    std::uint32_t n = 0;
    do {
        n = zip.ReadEntry(entryBuf.data(), kExtractBufSize);
        if (same && n > 0) {
            in.read(fileBuf.data(), n);
            same = static_cast<std::uint32_t>(in.gcount()) == n &&
                   std::equal(entryBuf.begin(), entryBuf.begin() + n, fileBuf.begin());
        }
    } while (n == kExtractBufSize);
    if (same)
        same = in.peek() == std::char_traits<char>::eof();
    return zip.CloseEntry(nullptr) == 1 && same;
}

// Writes the package's entries into the unpack folder for the window.
class CWindowWriter final : public IPackageWriter {
public:
    CWindowWriter(CUpgradeDlg& dlg, CUpgradeDlgState& state, std::string folder)
        : m_dlg(dlg), m_state(state), m_strFolder(std::move(folder))
    {
    }

    // Takes up what the reader created since the last call, so that it is
    // removed at clean-up whatever happens next.
    void RecordCreated()
    {
        const auto& made = m_state.m_ZipArchive.GetExtractedPaths();
        for (; m_nRecorded < made.size(); ++m_nRecorded) {
            if (made[m_nRecorded].bFolder)
                m_state.m_vecUnpackedFolders.push_back(made[m_nRecorded].strPath);
            else
                m_state.m_setUnpackedFiles.insert(made[m_nRecorded].strPath);
        }
    }

    void Prepare(const CPackageContents& contents) override
    {
        std::uint64_t free = 0;
        if (!FsFreeBytes(m_strFolder, free))
            return; // extraction reports why the folder cannot be used
        const std::uint64_t need = contents.TotalBytes();
        if (need > free)
            throw CPackageError("its files take " + std::to_string(need) + " bytes, but only " +
                                std::to_string(free) + " bytes are free where it is unpacked (" +
                                m_strFolder + ")");
    }

    void Write(CZipArchive& zip, std::uint16_t index, const CPackageEntry& entry) override
    {
        const std::string dest = ZipJoinNative(m_strFolder, entry.strFile);
        CFsInfo info;
        if (FsStatNoFollow(dest, info) && m_state.m_setUnpackedFiles.count(dest) == 0) {
            const bool regular = info.bRegular;
            if (regular && m_state.m_UnpackManifest.Holds(entry.strFile)) {
                // The tool's own file from an earlier load: overwritten.
                m_dlg.Trace("UnpackArchive: " + PrintableName(entry.strFile) +
                            " from an earlier load replaced\r\n");
            } else if (regular && SameContent(zip, index, dest)) {
                m_dlg.Trace("UnpackArchive: " + PrintableName(entry.strFile) +
                            " is already in the unpack folder with the same content\r\n");
                return;
            } else {
                throw CPackageError("the unpack folder " + m_strFolder + " already holds a file named " +
                                    PrintableName(entry.strFile) +
                                    " that is not the package's; move it away and load again");
            }
        }
        m_state.m_UnpackManifest.Add(entry.strFile);
        bool complete = false;
        try {
            complete =
                zip.ExtractEntry(index, m_strFolder, false, nullptr, nullptr, nullptr, kExtractBufSize);
        } catch (...) {
            RecordCreated();
            throw;
        }
        RecordCreated();
        const std::string& written = zip.GetLastDestination();
        if (written != dest)
            throw CPackageError("its entry " + PrintableName(entry.strStored) + " could not be unpacked");
        if (!complete) {
            // The data may have ended short: such a part must never be sent.
            CFsInfo out;
            if (!FsStat(written, out) || out.uSize != entry.uSize)
                throw EntryEndsEarly(entry);
            m_dlg.Trace("UnpackArchive: " + PrintableName(entry.strFile) +
                        " extracted without its time or attributes\r\n");
        }
    }

private:
    CUpgradeDlg& m_dlg;        // where it traces
    CUpgradeDlgState& m_state; // what the load made, and the archive it reads
    std::string m_strFolder;
    std::size_t m_nRecorded = 0;
};

} // namespace

void CUpgradeDlg::UnpackArchive()
{
    if (m_strUpgradeFile.empty()) {
        MessageBox(EMsg::NoUpgradeFile);
        return;
    }
    // Files an earlier load left belong to a package that is gone.
    for (const auto& folder : std::vector<std::string>(m_vecUnpackedFolders))
        DeleteUnpackedFiles(folder);
    std::unordered_set<std::string> leftIn;
    for (const auto& file : m_setUnpackedFiles)
        leftIn.insert(file.substr(0, file.rfind('/')));
    for (const auto& folder : leftIn)
        DeleteUnpackedFiles(folder);
    m_setUnpackedFiles.clear();
    m_vecUnpackedFolders.clear();
    m_PackageContents = {};
    m_strKeptFolder.clear();

    const std::string beside = UnpackFolderFor(m_strUpgradeFile);
    if (beside.empty())
        throw CPackageError("its path names no file");
    if (!m_UnpackFolder.Claim(beside, m_eUnpackPlace)) {
        if (m_UnpackFolder.StandsInTheWay())
            throw CPackageError("a file named \"" + beside + "\" stands where its files would be unpacked");
        throw CPackageError("no folder can be made to unpack it: " + m_UnpackFolder.Note());
    }
    const std::string folder = m_UnpackFolder.Path();
    if (!m_UnpackFolder.Note().empty())
        Trace("UnpackArchive: " + m_UnpackFolder.Note() + "; unpacking into " + folder + "\r\n");
    m_strUnzipFolder = folder;
    if (m_UnpackFolder.Created())
        m_vecUnpackedFolders.push_back(folder);
    m_UnpackManifest.Load(folder);

    m_ZipArchive.SetTraceSink([this](const std::string& text) { Trace(text); });
    CWindowWriter writer(*this, *this, folder);
    m_PackageContents = ReadPackageArchive(
        m_ZipArchive, m_strUpgradeFile, &writer,
        [this](const std::string& text) { Trace("UnpackArchive: " + text); },
        m_PackageFile.IsOpen() ? m_PackageFile.Descriptor() : -1);
    CloseArchive();
}

void CUpgradeDlg::CloseArchive()
{
    if (m_ZipArchive.IsClosed() && m_ZipArchive.IsClosed(false))
        return;
    try {
        m_ZipArchive.Close(false);
    } catch (...) {
        try {
            m_ZipArchive.Close(true);
        } catch (...) {
            // Already reported below; the object is closed either way.
        }
        MessageBox(EMsg::CloseFailed);
    }
}

void CUpgradeDlg::ReadUpgradeInfo()
{
    if (m_strUnzipFolder.empty())
        return;
    const std::string path = m_strUnzipFolder + "/" + UPGRADE_INFO_NAME;
    std::string text;
    if (m_PackageContents.Holds(UPGRADE_INFO_NAME)) {
        std::ifstream in(FsPath(path), std::ios::binary);
        if (!in)
            throw CFileException(errno, path, "read");
        char buffer[4096];
        while (in.read(buffer, sizeof buffer) || in.gcount() > 0) {
            text.append(buffer, static_cast<std::size_t>(in.gcount()));
            if (text.size() > UPGRADE_INFO_MAX_BYTES)
                throw CPackageError(std::string("its ") + UPGRADE_INFO_NAME + " is larger than 1 MiB");
        }
        if (in.bad())
            throw CFileException(errno, path, "read");
    } else if (FsExists(path)) {
        Trace("ReadUpgradeInfo: UpgradeInfo.txt in the unpack folder is not the package's; ignored\r\n");
    }
    const CUpgradeInfo info = PackageUpgradeInfo(m_PackageContents, text);
    std::copy(std::begin(info.bHasPart), std::end(info.bHasPart), m_bHasPart);
    m_nResultType = ModelTypeFromText(info.strModelText);
    if (m_nResultType == RESULT_TYPE_NONE)
        throw UnknownModel(info.strModelText);
}

void CUpgradeDlg::FindPartFiles()
{
    if (m_nResultType == RESULT_TYPE_QUORIN_V2)
        m_PartList = {};
    if (m_strUnzipFolder.empty() || m_nResultType == RESULT_TYPE_NONE)
        return;

    // Only the package's own files count; anything else in the folder (an
    // earlier run's parts, the user's files) is passed over.
    std::unordered_set<std::string> present;
    std::error_code ec;
    for (fs::directory_iterator it(FsPath(m_strUnzipFolder), ec), end; !ec && it != end; it.increment(ec)) {
        std::error_code kindError;
        if (it->is_directory(kindError))
            continue;
        std::string name = FsUtf8(it->path().filename());
        if (m_PackageContents.Holds(name))
            present.insert(std::move(name));
        else if (name != UNPACK_MANIFEST_NAME)
            Trace("FindPartFiles: " + PrintableName(name) + " is not from this package; ignored\r\n");
    }

    // In archive order, so a later entry wins the same slot whatever order
    // the file system lists them in.
    std::vector<CPackageFile> files;
    for (const CPackageFile& file : m_PackageContents.files)
        if (present.count(file.strName) != 0)
            files.push_back(file);
    const CPackageParts parts = ClassifyPackageFiles(
        m_nResultType, files, [this](const std::string& text) { Trace("FindPartFiles: " + text); });
    for (int slot = 0; slot < PART_SLOTS; ++slot) {
        if (!parts.strFile[slot].empty())
            m_strPartFile[slot] = m_strUnzipFolder + "/" + parts.strFile[slot];
        // Slots the package fills replace those of the list; model type 1
        // names all five rows.
        if (parts.list.slot[slot].szName[0] != '\0')
            m_PartList.slot[slot] = parts.list.slot[slot];
    }
}

void CUpgradeDlg::GetVersionFromName(std::string name, std::string& version)
{
    version = VersionFromName(name);
}

void CUpgradeDlg::DeleteUnpackedFiles(std::string folder)
{
    if (folder.empty())
        return;
    // A part being downloaded is one of these files, and Windows deletes no
    // open file: the download is over once its files go.
    m_fileDownload.Close();
    // What this load removed needs no second look through the manifest.
    std::unordered_set<std::string> removed;
    for (auto it = m_setUnpackedFiles.begin(); it != m_setUnpackedFiles.end();) {
        if (!IsWithin(*it, folder)) {
            ++it;
            continue;
        }
        if (!IsKeptOnCleanup(BaseName(*it))) {
            if (FsRemoveFile(*it) || errno == ENOENT)
                removed.insert(*it);
            else
                Trace("DeleteUnpackedFiles: cannot delete " + *it + "\r\n");
        }
        it = m_setUnpackedFiles.erase(it);
    }

    // The folder's manifest: files an earlier session wrote and left (a killed
    // one leaves more than the kept ones) are the tool's too.
    if (!m_UnpackManifest.Folder().empty() && IsWithin(m_UnpackManifest.Folder(), folder)) {
        const std::string& owned = m_UnpackManifest.Folder();
        const bool ownedPrivate = m_UnpackFolder.IsPrivate() && IsWithin(owned, m_UnpackFolder.Path());
        std::vector<std::string> keep;
        for (const std::string& name : m_UnpackManifest.Names()) {
            const std::string path = owned + "/" + name;
            if (removed.count(path) != 0)
                continue;
            CFsInfo info;
            if (!FsStatNoFollow(path, info) || !info.bRegular)
                continue;
            if (IsKeptOnCleanup(name))
                keep.push_back(name);
            else if (!FsRemoveFile(path))
                Trace("DeleteUnpackedFiles: cannot delete " + path + "\r\n");
        }
        std::sort(keep.begin(), keep.end());
        // No load comes back to a private folder: it is left with the kept files alone.
        m_UnpackManifest.Rewrite(ownedPrivate ? std::vector<std::string>() : keep);
        m_UnpackManifest.Reset();
    }

    // Deepest first; a folder that still holds something stays.
    std::vector<std::string> folders;
    std::vector<std::string> keptFolders;
    for (const std::string& made : m_vecUnpackedFolders)
        (IsWithin(made, folder) ? folders : keptFolders).push_back(made);
    std::sort(folders.begin(), folders.end(),
              [](const std::string& a, const std::string& b) { return a.size() > b.size(); });
    for (const std::string& made : folders)
        FsRemoveFolder(made);
    m_vecUnpackedFolders = std::move(keptFolders);
    // Removed first, unlocked after: a load waiting for the lock sees the folder gone.
    if (!m_UnpackFolder.Path().empty() && IsWithin(m_UnpackFolder.Path(), folder)) {
        CFsInfo info;
        if (m_UnpackFolder.IsPrivate() && FsStatNoFollow(m_UnpackFolder.Path(), info)) {
            m_strKeptFolder = m_UnpackFolder.Path();
            Trace("DeleteUnpackedFiles: the kept files stay in " + m_strKeptFolder + "\r\n");
        }
        m_UnpackFolder.Release();
    }

    if (IsWithin(m_strUnzipFolder, folder))
        m_PackageContents = {};
}
