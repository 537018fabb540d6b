// Opens the input as an archive and extracts every entry into a fresh folder,
// flat and with full paths, the way the package loader does. Checks that
// nothing lands outside the folder and that the object always ends closed.
#include "zip/ZipArchive.h"

#include "FuzzSupport.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

// Bytes one entry may produce; deflate expands up to about 1000:1 and many
// central headers may name the same data.
constexpr uint32_t kMaxEntryBytes = 1u << 20;
constexpr int kMaxEntries = 64;

const fs::path& Root()
{
    return FuzzRoot("zip");
}

bool Limit(uint32_t uDone, void*)
{
    return uDone < kMaxEntryBytes;
}

void CloseQuietly(CZipArchive& zip)
{
    try {
        zip.Close(false);
    } catch (const CZipException&) {
    } catch (const CFileException&) {
    }
    if (!zip.IsClosed() || !zip.IsClosed(false))
        Broken("archive still open after Close");
}

bool Reopen(CZipArchive& zip, const std::string& archive)
{
    CloseQuietly(zip);
    try {
        zip.Open(archive, 1, 0);
        return true;
    } catch (const CZipException&) {
    } catch (const CFileException&) {
    }
    return false;
}

void ExtractAll(const std::string& archive, const fs::path& folder, bool bFullPath)
{
    CZipArchive zip;
    zip.SetTraceSink(nullptr);
    try {
        zip.Open(archive, 1, 0);
    } catch (const CZipException&) {
    } catch (const CFileException&) {
    }
    const int nCount = std::min(zip.GetEntryCount(), kMaxEntries);
    for (int i = 0; i < nCount; ++i) {
        try {
            zip.ExtractEntry(static_cast<uint16_t>(i), folder.string(), bFullPath, nullptr, Limit, nullptr,
                             65535);
        } catch (const CZipException&) {
            // The loader gives up here; the next load must find the object usable.
            if (!Reopen(zip, archive))
                break;
        } catch (const CFileException&) {
            if (!Reopen(zip, archive))
                break;
        }
    }
    const std::string prefix = folder.string() + "/";
    for (const CZipExtractedPath& made : zip.GetExtractedPaths()) {
        if (made.strPath.rfind(prefix, 0) != 0)
            Broken("created outside the folder: " + made.strPath);
    }
    if (!zip.IsClosed())
        CloseQuietly(zip);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const fs::path& root = Root();
    const std::string archive = (root / "in.zip").string();
    {
        std::ofstream f(archive, std::ios::binary | std::ios::trunc);
        f.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
    }
    for (bool bFullPath : {false, true}) {
        const fs::path folder = root / "out";
        fs::create_directory(folder);
        try {
            ExtractAll(archive, folder, bFullPath);
        } catch (const CZipException&) {
        } catch (const CFileException&) {
        }
        for (const auto& e : fs::directory_iterator(root)) {
            const std::string name = e.path().filename().string();
            if (name != "in.zip" && name != "out")
                Broken("left beside the folder: " + name);
        }
        // Entries may have made folders read-only.
        for (const auto& e : fs::recursive_directory_iterator(folder)) {
            if (e.is_directory() && !e.is_symlink())
                fs::permissions(e.path(), fs::perms::owner_all, fs::perm_options::add);
        }
        fs::remove_all(folder);
    }
    return 0;
}
