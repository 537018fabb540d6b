#pragma once
// One reading of a package archive, shared by File Load and by
// `velunda-cli info`, so the two never disagree: which entries become which
// files (flat names), what is refused (unsupported entries, sizes beyond the
// limits), where UpgradeInfo.txt comes from and how the files are classified
// into part slots. File Load writes the files through an IPackageWriter; info
// passes none, and every entry is then read through to its CRC in memory.
//
// Errors: CZipException and CFileException from the reader or the writer,
// CPackageError for a refusal. A failure of one entry's data comes back as
// CPackageError naming the entry. Whatever is thrown, the archive is closed
// first, and nothing thrown while closing escapes.
#include "package/UpgradeInfo.h"
#include "zip/ZipArchive.h"

#include <cstdint>
#include <functional>
#include <string>
#include <unordered_map>
#include <vector>

using PackageTraceFn = std::function<void(const std::string&)>;

// One entry of the archive as the load sees it.
struct CPackageEntry {
    std::string strStored; // name as stored (separators as '\')
    std::string strFile;   // flat name in the unpack folder; empty for a folder or an unusable name
    std::uint32_t uSize = 0;
    std::uint32_t uCrc = 0;
    bool bFolder = false;
};

// A file the package puts into the unpack folder.
struct CPackageFile {
    std::string strName;     // flat name
    std::uint64_t uSize = 0; // of the last entry with that name, which is the one that stays
};

struct CPackageContents {
    std::vector<CPackageEntry> entries; // every entry, in archive order
    std::vector<CPackageFile> files;    // each flat name once, in the order first met
    std::unordered_map<std::string, std::size_t> fileIndex;
    // Without a writer: the text of UpgradeInfo.txt as the unpack folder would hold it.
    std::string strInfoText;

    bool Holds(const std::string& name) const { return fileIndex.count(name) != 0; }
    std::uint64_t TotalBytes() const;
};

// Writes the package's files (File Load). Both calls may throw.
class IPackageWriter {
public:
    virtual ~IPackageWriter() = default;
    // Before the first entry, with what the files will take on disk.
    virtual void Prepare(const CPackageContents& contents) = 0;
    // Puts entry index into the unpack folder as file name.
    virtual void Write(CZipArchive& zip, std::uint16_t index, const CPackageEntry& entry) = 0;
};

// Opens the package read-only and takes every entry: written by writer, or
// read and checked without one. The archive is left open on success so the
// caller closes it with its own report. With packageFd >= 0 the archive is
// read through that open descriptor of packagePath (the file that was checked).
CPackageContents ReadPackageArchive(CZipArchive& zip, const std::string& packagePath, IPackageWriter* writer,
                                    const PackageTraceFn& trace, int packageFd = -1);

// The refusal for an entry whose data ends before its stated size.
CPackageError EntryEndsEarly(const CPackageEntry& entry);

// What UpgradeInfo.txt of the package says; CPackageError when the package
// holds none.
CUpgradeInfo PackageUpgradeInfo(const CPackageContents& contents, const std::string& infoText);

// The refusal of a package whose UpgradeInfo.txt names no model the tool
// knows; the text is shown with control bytes as '?' and cut at 60 characters.
CPackageError UnknownModel(const std::string& modelText);

// Looks for the end mark "##" of a board body image fed in pieces. The
// exchange erases the board before it reads the body, so a body it could not
// end is refused when the package is loaded.
class CBodyEndMark {
public:
    void Feed(const std::uint8_t* data, std::size_t n);
    // Empty when the body is fit to send; else what is wrong with the named file.
    std::string Problem(const std::string& name) const;

private:
    std::uint64_t m_uTotal = 0;
    bool m_bHash = false;
    bool m_bFound = false;
};

// The part slots and part list a package's files give, as File Load fills them.
struct CPackageParts {
    std::string strFile[PART_SLOTS]; // flat names; empty when not found
    PartListTable list{};
};
// files: the package's files that are present, in archive order.
CPackageParts ClassifyPackageFiles(int modelType, const std::vector<CPackageFile>& files,
                                   const PackageTraceFn& trace);
