// Package archives in the window: unpack beside the package, read
// UpgradeInfo.txt, classify the part files, and remove what the load made.
//
// Errors: a load that cannot go on throws (CZipException and CFileException
// from the reader, CPackageError for a package refused here); the File Load
// handler turns that into one message. Before throwing, the archive is closed
// and what this load created stays recorded, so the handler can remove it.
//
// Ownership of files: only what this load created is ever deleted. A file
// already in the unpack folder under a name the package uses is never
// overwritten: when it holds exactly the entry's bytes it is used as it is
// (and kept at clean-up); otherwise the load is refused.
#include "app/UpgradeDlg.h"

#include "package/UpgradeInfo.h"
#include "zip/ZipPath.h"

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <fstream>
#include <sys/stat.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

constexpr std::uint32_t kExtractBufSize = 65535;

std::string BaseName(const std::string& path)
{
    const std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

bool Contains(const std::vector<std::string>& list, const std::string& item)
{
    return std::find(list.begin(), list.end(), item) != list.end();
}

void AddOnce(std::vector<std::string>& list, const std::string& item)
{
    if (!Contains(list, item))
        list.push_back(item);
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
    std::ifstream in(path, std::ios::binary);
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

} // namespace

void CUpgradeDlg::UnpackArchive()
{
    if (m_strUpgradeFile.empty()) {
        MessageBox("No upgrade file.");
        return;
    }
    // Files an earlier load left belong to a package that is gone.
    for (const auto& folder : std::vector<std::string>(m_vecUnpackedFolders))
        DeleteUnpackedFiles(folder);
    for (const auto& file : std::vector<std::string>(m_vecUnpackedFiles))
        DeleteUnpackedFiles(file.substr(0, file.rfind('/')));
    m_vecUnpackedFiles.clear();
    m_vecUnpackedFolders.clear();
    m_vecPackageFiles.clear();

    const std::string folder = UnpackFolderFor(m_strUpgradeFile);
    if (folder.empty())
        throw CPackageError("its path names no file");
    m_strUnzipFolder = folder;
    if (::mkdir(folder.c_str(), 0777) == 0) {
        m_vecUnpackedFolders.push_back(folder);
    } else {
        struct stat st {};
        if (::stat(folder.c_str(), &st) == 0 && !S_ISDIR(st.st_mode))
            throw CPackageError("a file named \"" + folder + "\" stands where its files would be unpacked");
        // Otherwise the folder exists, or extraction reports why it cannot.
    }

    m_ZipArchive.SetTraceSink([this](const std::string& text) { Trace(text); });
    if (!m_ZipArchive.IsClosed() || !m_ZipArchive.IsClosed(false))
        m_ZipArchive.Close(true);
    const std::string base = ZipTrimTrailingSeparators(ZipToInternal(folder)) + '\\';
    const auto recordCreated = [this] {
        for (const CZipExtractedPath& made : m_ZipArchive.GetExtractedPaths())
            AddOnce(made.bFolder ? m_vecUnpackedFolders : m_vecUnpackedFiles, made.strPath);
    };
    try {
        // Read-only: a package on read-only media or marked read-only loads.
        m_ZipArchive.Open(m_strUpgradeFile, 1, 0);
        const int count = m_ZipArchive.GetEntryCount();
        for (int i = 0; i < count; ++i) {
            const auto index = static_cast<std::uint16_t>(i);
            CZipFileHeader header;
            if (!m_ZipArchive.GetEntryInfo(header, index))
                continue;
            const std::string name = header.GetFileName();
            if (header.IsDirectory()) {
                // Flat unpacking gives a folder entry nothing to create.
                Trace("UnpackArchive: folder entry " + name + " skipped\r\n");
                continue;
            }
            const std::string part = ZipBuildEntryPart(name, false);
            const std::string dest = part.empty() ? std::string() : ZipToNative(base + part);
            struct stat st {};
            recordCreated();
            if (!dest.empty() && !header.IsEncrypted() && ::lstat(dest.c_str(), &st) == 0 &&
                !Contains(m_vecUnpackedFiles, dest)) {
                if (S_ISREG(st.st_mode) && SameContent(m_ZipArchive, index, dest)) {
                    Trace("UnpackArchive: " + part +
                          " is already in the unpack folder with the same content\r\n");
                    AddOnce(m_vecPackageFiles, dest);
                    continue;
                }
                throw CPackageError("the unpack folder " + folder + " already holds a file named " + part +
                                    " that is not the package's; move it away and load again");
            }
            const bool complete =
                m_ZipArchive.ExtractEntry(index, folder, false, nullptr, nullptr, nullptr, kExtractBufSize);
            const std::string written = m_ZipArchive.GetLastDestination();
            recordCreated();
            if (written.empty()) {
                Trace("UnpackArchive: entry " + name + " not extracted\r\n");
                continue;
            }
            if (!complete) {
                // The data may have ended short: such a part must never be sent.
                struct stat out {};
                if (::stat(written.c_str(), &out) != 0 ||
                    static_cast<std::uint64_t>(out.st_size) != header.m_uUncomprSize)
                    throw CPackageError("its entry " + name + " ends before its stated size");
                Trace("UnpackArchive: " + part + " extracted without its time or attributes\r\n");
            }
            AddOnce(m_vecPackageFiles, written);
        }
    } catch (...) {
        recordCreated();
        m_ZipArchive.Close(true);
        throw;
    }
    recordCreated();
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
        MessageBox("Close failed", MessageIcon::Stop);
    }
}

void CUpgradeDlg::ReadUpgradeInfo()
{
    if (m_strUnzipFolder.empty())
        return;
    const std::string path = m_strUnzipFolder + "/" + UPGRADE_INFO_NAME;
    if (!Contains(m_vecPackageFiles, path)) {
        if (::access(path.c_str(), F_OK) == 0)
            Trace("ReadUpgradeInfo: UpgradeInfo.txt in the unpack folder is not the package's; ignored\r\n");
        throw CPackageError(std::string("it holds no ") + UPGRADE_INFO_NAME);
    }
    std::ifstream in(path, std::ios::binary);
    if (!in)
        throw CFileException(errno, path, "read");
    std::string text;
    char buffer[4096];
    while (in.read(buffer, sizeof buffer) || in.gcount() > 0) {
        text.append(buffer, static_cast<std::size_t>(in.gcount()));
        if (text.size() > UPGRADE_INFO_MAX_BYTES)
            throw CPackageError(std::string("its ") + UPGRADE_INFO_NAME + " is larger than 1 MiB");
    }
    if (in.bad())
        throw CFileException(errno, path, "read");

    const CUpgradeInfo info = ParseUpgradeInfoText(text);
    std::copy(std::begin(info.bHasPart), std::end(info.bHasPart), m_bHasPart);
    m_nResultType = ModelTypeFromText(info.strModelText);
    if (m_nResultType == RESULT_TYPE_NONE) {
        // Shown to the user: control bytes become '?' and a long text is cut.
        const std::string& text = info.strModelText;
        const auto first = text.find_first_not_of(" \t");
        const auto last = text.find_last_not_of(" \t\r");
        std::string shown;
        for (const char c : first == std::string::npos
                                ? std::string()
                                : text.substr(first, std::min<std::size_t>(last - first + 1, 60)))
            shown += (c >= 0x20 && c < 0x7f) ? c : '?';
        throw CPackageError("unknown machine type \"" + shown + "\"");
    }
}

void CUpgradeDlg::FindPartFiles()
{
    if (m_nResultType == RESULT_TYPE_QUORIN_V1) {
        for (int slot = 1; slot <= PART_COUNT; ++slot)
            CopyField(m_PartList.slot[slot].szName, PartName(slot - 1));
    } else if (m_nResultType == RESULT_TYPE_QUORIN_V2) {
        m_PartList = {};
    }
    if (m_strUnzipFolder.empty() || m_nResultType == RESULT_TYPE_NONE)
        return;

    // Only the package's own files count; anything else in the folder (an
    // earlier run's parts, the user's files) is passed over.
    std::vector<std::string> present;
    std::error_code ec;
    for (fs::directory_iterator it(m_strUnzipFolder, ec), end; !ec && it != end; it.increment(ec)) {
        std::error_code kindError;
        if (it->is_directory(kindError))
            continue;
        const std::string path = m_strUnzipFolder + "/" + it->path().filename().string();
        if (Contains(m_vecPackageFiles, path))
            present.push_back(path);
        else
            Trace("FindPartFiles: " + it->path().filename().string() +
                  " is not from this package; ignored\r\n");
    }

    // In archive order, so a later entry wins the same slot whatever order
    // the file system lists them in.
    for (const std::string& path : m_vecPackageFiles) {
        if (!Contains(present, path))
            continue;
        const std::string name = BaseName(path);
        const auto cls = ClassifyPartFile(m_nResultType, name);
        if (!cls)
            continue;
        std::string version;
        GetVersionFromName(name, version);
        std::error_code sizeError;
        const std::uintmax_t size = fs::file_size(path, sizeError);
        std::string& slotPath = m_strPartFile[cls->nFileSlot];
        if (!slotPath.empty())
            Trace("FindPartFiles: " + name + " replaces " + BaseName(slotPath) + "\r\n");
        slotPath = m_strUnzipFolder + "/" + name;
        if (cls->nListSlot < 0)
            continue;
        PartListEntry& entry = m_PartList.slot[cls->nListSlot];
        if (cls->pszListName != nullptr)
            CopyField(entry.szName, cls->pszListName);
        CopyField(entry.szFile, name);
        CopyField(entry.szVersion, version);
        CopyField(entry.szSize, SizeText(sizeError ? 0 : size));
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
    std::vector<std::string> keptRecords;
    for (const std::string& file : m_vecUnpackedFiles) {
        if (!IsWithin(file, folder)) {
            keptRecords.push_back(file);
            continue;
        }
        if (IsKeptOnCleanup(BaseName(file)))
            continue;
        if (::unlink(file.c_str()) != 0 && errno != ENOENT)
            Trace("DeleteUnpackedFiles: cannot delete " + file + "\r\n");
    }
    m_vecUnpackedFiles = std::move(keptRecords);

    // Deepest first; a folder that still holds something stays.
    std::vector<std::string> folders;
    std::vector<std::string> keptFolders;
    for (const std::string& made : m_vecUnpackedFolders)
        (IsWithin(made, folder) ? folders : keptFolders).push_back(made);
    std::sort(folders.begin(), folders.end(),
              [](const std::string& a, const std::string& b) { return a.size() > b.size(); });
    for (const std::string& made : folders)
        ::rmdir(made.c_str());
    m_vecUnpackedFolders = std::move(keptFolders);

    std::erase_if(m_vecPackageFiles, [&](const std::string& file) { return IsWithin(file, folder); });
}
