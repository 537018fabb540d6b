#include "package/PackageArchive.h"

#include "package/UnpackManifest.h"
#include "protocol/Items.h"
#include "zip/ZipPath.h"

#include <string_view>
#include <vector>

namespace {

constexpr std::uint32_t kReadBufSize = 65535;
constexpr std::uint16_t kZip64ExtraId = 0x0001;
// The longest file name the file systems the tool unpacks onto take (NAME_MAX).
constexpr std::size_t kMaxFileName = 255;

// Methods other archivers write, by their APPNOTE numbers.
const char* MethodName(std::uint16_t method)
{
    switch (method) {
    case 9:
        return "Deflate64 compression";
    case 12:
        return "bzip2 compression";
    case 14:
        return "LZMA compression";
    case 93:
        return "Zstandard compression";
    case 95:
        return "XZ compression";
    case 98:
        return "PPMd compression";
    case 99:
        return "AES encryption";
    default:
        return nullptr;
    }
}

bool HasZip64Extra(const std::vector<std::uint8_t>& extra)
{
    for (std::size_t at = 0; at + 4 <= extra.size();) {
        if (ZipGet16(extra.data() + at) == kZip64ExtraId)
            return true;
        at += 4 + ZipGet16(extra.data() + at + 2);
    }
    return false;
}

// Why an entry cannot be taken at all; empty when it can.
std::string Unsupported(const CZipFileHeader& header)
{
    if (header.m_uMethod == 99)
        return "AES encryption";
    if (header.IsEncrypted())
        return "encryption";
    if (header.m_uMethod != CZipFileHeader::ZIP_METHOD_STORED &&
        header.m_uMethod != CZipFileHeader::ZIP_METHOD_DEFLATED) {
        const char* name = MethodName(header.m_uMethod);
        return name != nullptr ? name : "compression method " + std::to_string(header.m_uMethod);
    }
    if (HasZip64Extra(header.m_pExtraField))
        return "ZIP64";
    return {};
}

std::string EntryText(const CPackageEntry& entry)
{
    return "its entry " + PrintableName(entry.strStored);
}

// The entry's data, in words that name the entry.
CPackageError EntryDamaged(const CPackageEntry& entry, const CZipException& e)
{
    switch (e.m_nCause) {
    case CZipException::CrcMismatch:
        return CPackageError(EntryText(entry) + " fails its CRC check");
    case CZipException::ZlibDataError:
        return CPackageError(EntryText(entry) + " holds corrupt compressed data");
    case CZipException::ZlibBufError:
        return CPackageError(EntryText(entry) + " ends before its stated size");
    case CZipException::BadArchive:
        return CPackageError(EntryText(entry) +
                             " is damaged (its data or headers do not match the directory)");
    default:
        return CPackageError(EntryText(entry) + " cannot be read (" + e.GetDescription() + ")");
    }
}

// Reads the entry to its end and checks its CRC; keeps its bytes when asked.
void VerifyEntry(CZipArchive& zip, std::uint16_t index, const CPackageEntry& entry, std::string* keep)
{
    if (!zip.OpenEntry(index))
        throw CPackageError(EntryText(entry) + " cannot be read");
    std::vector<char> buffer(kReadBufSize);
    std::uint32_t n = 0;
    do {
        n = zip.ReadEntry(buffer.data(), kReadBufSize);
        if (keep != nullptr)
            keep->append(buffer.data(), n);
    } while (n == kReadBufSize);
    if (zip.CloseEntry(nullptr) == -1)
        throw EntryEndsEarly(entry);
}

void CloseQuietly(CZipArchive& zip) noexcept
{
    try {
        if (!zip.IsClosed() || !zip.IsClosed(false))
            zip.Close(true);
    } catch (...) {
        // Already failing: the first error is the one reported.
    }
}

// The entries as the load will take them, refusing what it cannot take.
void ListEntries(CZipArchive& zip, CPackageContents& contents, const PackageTraceFn& trace)
{
    const int count = zip.GetEntryCount();
    contents.entries.reserve(static_cast<std::size_t>(count));
    for (int i = 0; i < count; ++i) {
        CZipFileHeader header;
        if (!zip.GetEntryInfo(header, static_cast<std::uint16_t>(i)))
            throw CPackageError("its entry number " + std::to_string(i + 1) + " cannot be read");
        CPackageEntry entry;
        entry.strStored = header.GetFileName();
        entry.uSize = header.m_uUncomprSize;
        entry.uCrc = header.m_uCrc32;
        entry.bFolder = header.IsDirectory();
        if (!entry.bFolder) {
            entry.strFile = ZipBuildEntryPart(entry.strStored, false);
            if (entry.strFile.empty())
                trace("its entry " + PrintableName(entry.strStored) + " names no file; skipped\r\n");
        } else {
            trace("folder entry " + PrintableName(entry.strStored) + " skipped\r\n");
        }
        if (!entry.strFile.empty()) {
            if (const std::string why = Unsupported(header); !why.empty())
                throw CPackageError(EntryText(entry) + " is not supported (" + why + ")");
            if (entry.strFile.size() > kMaxFileName)
                throw CPackageError(EntryText(entry) + " has a file name longer than " +
                                    std::to_string(kMaxFileName) + " bytes");
            if (const std::string why = ZipNameProblem(entry.strFile); !why.empty())
                throw CPackageError(EntryText(entry) + " has a name Windows cannot hold (" + why + ")");
            if (entry.strFile == UNPACK_MANIFEST_NAME)
                throw CPackageError(EntryText(entry) + " uses a name the tool keeps for itself");
            if (entry.strFile == UPGRADE_INFO_NAME && entry.uSize > UPGRADE_INFO_MAX_BYTES)
                throw CPackageError(std::string("its ") + UPGRADE_INFO_NAME + " is larger than 1 MiB");
            const auto [at, added] = contents.fileIndex.emplace(entry.strFile, contents.files.size());
            if (added)
                contents.files.push_back({entry.strFile, entry.uSize});
            else
                contents.files[at->second].uSize = entry.uSize;
        }
        contents.entries.push_back(std::move(entry));
    }
}

} // namespace

std::uint64_t CPackageContents::TotalBytes() const
{
    std::uint64_t total = 0;
    for (const CPackageFile& file : files)
        total += file.uSize;
    return total;
}

CPackageError EntryEndsEarly(const CPackageEntry& entry)
{
    return CPackageError(EntryText(entry) + " ends before its stated size");
}

CPackageContents ReadPackageArchive(CZipArchive& zip, const std::string& packagePath, IPackageWriter* writer,
                                    const PackageTraceFn& trace, int packageFd)
{
    CloseQuietly(zip);
    CPackageContents contents;
    try {
        // Read-only: a package on read-only media or marked read-only loads.
        if (packageFd >= 0)
            zip.OpenDescriptor(packageFd, packagePath);
        else
            zip.Open(packagePath, 1, 0);
        ListEntries(zip, contents, trace);
        if (writer != nullptr)
            writer->Prepare(contents);
        for (std::size_t i = 0; i < contents.entries.size(); ++i) {
            const CPackageEntry& entry = contents.entries[i];
            if (entry.strFile.empty())
                continue;
            const auto index = static_cast<std::uint16_t>(i);
            const bool info = entry.strFile == UPGRADE_INFO_NAME;
            if (info)
                contents.strInfoText.clear(); // the last entry of that name is the one that stays
            try {
                if (writer != nullptr)
                    writer->Write(zip, index, entry);
                else
                    VerifyEntry(zip, index, entry, info ? &contents.strInfoText : nullptr);
            } catch (const CZipException& e) {
                throw EntryDamaged(entry, e);
            }
        }
    } catch (...) {
        CloseQuietly(zip);
        throw;
    }
    return contents;
}

CUpgradeInfo PackageUpgradeInfo(const CPackageContents& contents, const std::string& infoText)
{
    if (!contents.Holds(UPGRADE_INFO_NAME))
        throw CPackageError(std::string("it holds no ") + UPGRADE_INFO_NAME);
    return ParseUpgradeInfoText(infoText);
}

CPackageParts ClassifyPackageFiles(int modelType, const std::vector<CPackageFile>& files,
                                   const PackageTraceFn& trace)
{
    CPackageParts parts;
    if (modelType == 1) { // Quorin V1 lists all five rows, found or not
        for (int slot = 1; slot <= PART_COUNT; ++slot)
            CopyField(parts.list.slot[slot].szName, PartName(slot - 1));
    }
    for (const CPackageFile& file : files) {
        const auto cls = ClassifyPartFile(modelType, file.strName);
        if (!cls)
            continue;
        std::string& slotFile = parts.strFile[cls->nFileSlot];
        if (!slotFile.empty())
            trace(PrintableName(file.strName) + " replaces " + PrintableName(slotFile) + "\r\n");
        slotFile = file.strName;
        if (cls->nListSlot < 0)
            continue;
        PartListEntry& entry = parts.list.slot[cls->nListSlot];
        if (cls->pszListName != nullptr)
            CopyField(entry.szName, cls->pszListName);
        CopyField(entry.szFile, file.strName);
        CopyField(entry.szVersion, VersionFromName(file.strName));
        CopyField(entry.szSize, SizeText(file.uSize));
    }
    return parts;
}

CPackageError UnknownModel(const std::string& modelText)
{
    const auto first = modelText.find_first_not_of(" \t");
    const auto last = modelText.find_last_not_of(" \t\r");
    std::string shown;
    if (first != std::string::npos)
        for (const char c : modelText.substr(first, std::min<std::size_t>(last - first + 1, 60)))
            shown += (c >= 0x20 && c < 0x7f) ? c : '?';
    return CPackageError("unknown machine type \"" + shown + "\"");
}

void CBodyEndMark::Feed(const std::uint8_t* data, std::size_t n)
{
    m_uTotal += n;
    for (std::size_t i = 0; i < n && !m_bFound; ++i) {
        m_bFound = m_bHash && data[i] == '#';
        m_bHash = data[i] == '#';
    }
}

std::string CBodyEndMark::Problem(const std::string& name) const
{
    if (m_uTotal == 0)
        return "the board body image \"" + name + "\" is empty";
    if (!m_bFound)
        return "the board body image \"" + name + "\" has no end mark \"##\"";
    return {};
}
