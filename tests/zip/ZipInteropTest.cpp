// Archives written by Info-ZIP zip and Python's zipfile, extracted by our
// reader and compared with the files they were made from.
#include "TestPaths.h"
#include "ZipTestUtil.h"

#include <sys/stat.h>

namespace {

using namespace ziptest;

std::string Python()
{
    return "python3 " + Quote(SourcePath("tests/zip/zipfixture.py"));
}

// Source tree for Info-ZIP: text, incompressible data (stored with -n .bin),
// an empty file, nested and empty folders; even-second times.
void MakeSourceTree(const fs::path& src)
{
    fs::create_directories(src / "docs/deep");
    fs::create_directories(src / "empty");
    WriteFile((src / "readme.txt").string(), TextPattern(100000, 1));
    WriteFile((src / "docs/manual.txt").string(), TextPattern(3000, 2));
    WriteFile((src / "docs/deep/image.bin").string(), Pattern(300000, 3));
    WriteFile((src / "docs/deep/zero.txt").string(), {});
    WriteFile((src / "tail.bin").string(), Pattern(65535, 4));
    int i = 0;
    for (auto& e : fs::recursive_directory_iterator(src)) {
        std::string stamp = "2024030" + std::to_string(1 + i % 9) + "1" + std::to_string(i % 10) + "2" +
                            std::to_string(i % 6) + "." + std::to_string(10 + 2 * (i % 20));
        ASSERT_EQ(Shell("touch -h -t " + stamp + " " + Quote(e.path().string())), 0);
        ++i;
    }
}

struct Extracted {
    int count = 0;
    std::vector<bool> results;
};

// The window's sequence: read-only open, every index, Close(false).
Extracted ExtractAll(const std::string& archive, const std::string& folder, bool fullPath,
                     TraceLog* log = nullptr)
{
    CZipArchive zip;
    if (log != nullptr)
        log->Attach(zip);
    Extracted r;
    zip.Open(archive, 1, 0);
    r.count = zip.GetEntryCount();
    for (int i = 0; i < r.count; ++i)
        r.results.push_back(
            zip.ExtractEntry(static_cast<uint16_t>(i), folder, fullPath, nullptr, nullptr, nullptr, 65535));
    zip.Close(false);
    return r;
}

// Every file of src has an identical twin in out with the same modification time.
void ExpectSameTree(const fs::path& src, const fs::path& out)
{
    EXPECT_EQ(ListTree(src), ListTree(out));
    for (auto& e : fs::recursive_directory_iterator(src)) {
        const fs::path twin = out / fs::relative(e.path(), src);
        if (!e.is_regular_file())
            continue;
        EXPECT_TRUE(SameFile(e.path().string(), twin.string()));
        struct stat a {
        }, b{};
        ASSERT_EQ(::stat(e.path().c_str(), &a), 0);
        ASSERT_EQ(::stat(twin.c_str(), &b), 0) << twin;
        EXPECT_EQ(a.st_mtime, b.st_mtime) << twin;
        EXPECT_EQ(a.st_mode & 0777, b.st_mode & 0777) << twin;
    }
}

TEST(ZipInterop, InfoZipArchivesWithStoredDeflatedFoldersAndACommentExtractIdentically)
{
    CTempFolder dir;
    MakeSourceTree(dir / "src");
    ASSERT_EQ(
        Shell("cd " + Quote(dir / "src") + " && echo 'package comment' | zip -q -r -z -n .bin ../a.zip ."),
        0);
    Extracted r = ExtractAll(dir / "a.zip", dir / "out", true);
    EXPECT_EQ(r.count, 8); // 5 files and 3 folders
    for (bool ok : r.results)
        EXPECT_TRUE(ok);
    ExpectSameTree(dir / "src", dir / "out");

    CZipArchive zip;
    zip.Open(dir / "a.zip", 1, 0);
    const std::vector<uint8_t>& comment = zip.GetGlobalComment();
    EXPECT_EQ(std::string(comment.begin(), comment.end()), "package comment");
    int stored = 0, deflated = 0;
    for (uint16_t i = 0; i < zip.GetEntryCount(); ++i) {
        CZipFileHeader h;
        ASSERT_TRUE(zip.GetEntryInfo(h, i));
        (h.m_uMethod == 0 ? stored : deflated) += h.IsDirectory() ? 0 : 1;
    }
    EXPECT_EQ(stored, 3); // two .bin files and the empty one
    EXPECT_EQ(deflated, 2);
}

TEST(ZipInterop, TheWindowsFlatExtractionPutsEveryFileInTheUnpackFolder)
{
    CTempFolder dir;
    MakeSourceTree(dir / "src");
    ASSERT_EQ(Shell("cd " + Quote(dir / "src") + " && zip -q -r ../a.zip ."), 0);
    const std::string folder = dir / "x/pkg"; // a Linux folder that does not exist yet
    TraceLog log;
    ExtractAll(dir / "a.zip", folder, false, &log);
    EXPECT_EQ(ListTree(folder),
              (std::vector<std::string>{"image.bin", "manual.txt", "readme.txt", "tail.bin", "zero.txt"}));
    EXPECT_TRUE(SameFile(dir / "src/docs/deep/image.bin", folder + "/image.bin"));
}

TEST(ZipInterop, StreamedInfoZipArchivesWithDataDescriptorsExtractIdentically)
{
    CTempFolder dir;
    MakeSourceTree(dir / "src");
    // Output through a pipe cannot be seeked back: sizes and CRC follow the data.
    ASSERT_EQ(Shell("cd " + Quote(dir / "src") + " && zip -q -r - . | cat > ../s.zip"), 0);
    {
        CZipArchive zip;
        zip.Open(dir / "s.zip", 1, 0);
        CZipFileHeader h;
        ASSERT_TRUE(zip.GetEntryInfo(h, 1));
        EXPECT_TRUE(h.m_uFlag & CZipFileHeader::ZIP_FLAG_DESCRIPTOR);
    }
    Extracted r = ExtractAll(dir / "s.zip", dir / "out", true);
    for (bool ok : r.results)
        EXPECT_TRUE(ok);
    ExpectSameTree(dir / "src", dir / "out");

    // Input from a pipe as well: one entry named "-".
    ASSERT_EQ(
        Shell("cat " + Quote(dir / "src/readme.txt") + " | zip -q -fz- - - | cat > " + Quote(dir / "p.zip")),
        0);
    r = ExtractAll(dir / "p.zip", dir / "piped", false);
    ASSERT_EQ(r.results, std::vector<bool>{true});
    EXPECT_TRUE(SameFile(dir / "src/readme.txt", dir / "piped/-"));
}

TEST(ZipInterop, AnArchiveBehindAStubIsReadThroughItsPrefix)
{
    CTempFolder dir;
    MakeSourceTree(dir / "src");
    WriteFile(dir / "stub", Pattern(4321, 8));
    ASSERT_EQ(
        Shell("cd " + Quote(dir / "src") + " && zip -q -r ../a.zip . && cat ../stub ../a.zip > ../sfx.zip"),
        0);
    CZipArchive zip;
    zip.Open(dir / "sfx.zip", 1, 0);
    EXPECT_EQ(zip.GetPrefixLength(), 4321u);
    zip.Close();
    Extracted r = ExtractAll(dir / "sfx.zip", dir / "out", true);
    for (bool ok : r.results)
        EXPECT_TRUE(ok);
    ExpectSameTree(dir / "src", dir / "out");
}

TEST(ZipInterop, AnEncryptedEntryGivesFalseAndNoFileWhileTheOthersExtract)
{
    CTempFolder dir;
    WriteFile(dir / "a.txt", TextPattern(5000, 1));
    WriteFile(dir / "secret.txt", TextPattern(5000, 2));
    WriteFile(dir / "z.txt", TextPattern(5000, 3));
    ASSERT_EQ(Shell("cd " + Quote(dir.Path()) +
                    " && zip -q e.zip a.txt && zip -q -P pw e.zip secret.txt && zip -q e.zip z.txt"),
              0);
    TraceLog log;
    Extracted r = ExtractAll(dir / "e.zip", dir / "out", false, &log);
    EXPECT_EQ(r.results, (std::vector<bool>{true, false, true}));
    EXPECT_TRUE(log.Has("Password not set for the encrypted file.\n"));
    EXPECT_EQ(ListTree(dir / "out"), (std::vector<std::string>{"a.txt", "z.txt"}));
    EXPECT_TRUE(SameFile(dir / "z.txt", dir / "out/z.txt"));
}

// Extracts every entry and records the cause of each CZipException.
std::vector<int> CausesPerEntry(const std::string& archive, const std::string& folder)
{
    std::vector<int> causes;
    CZipArchive zip;
    zip.SetTraceSink(nullptr);
    zip.Open(archive, 1, 0);
    for (uint16_t i = 0; i < zip.GetEntryCount(); ++i) {
        try {
            causes.push_back(zip.ExtractEntry(i, folder) ? 0 : -1);
        } catch (const CZipException& e) {
            causes.push_back(e.m_nCause);
        }
    }
    return causes;
}

TEST(ZipInterop, Bzip2EntriesAreBadArchiveAndLeaveNoFile)
{
    CTempFolder dir;
    WriteFile(dir / "a.txt", TextPattern(5000, 1));
    WriteFile(dir / "packed.txt", TextPattern(50000, 2));
    ASSERT_EQ(
        Shell("cd " + Quote(dir.Path()) + " && zip -q -Z bzip2 iz.zip packed.txt && zip -q iz.zip a.txt"), 0);
    EXPECT_EQ(CausesPerEntry(dir / "iz.zip", dir / "out1"), (std::vector<int>{CZipException::BadArchive, 0}));
    EXPECT_FALSE(fs::exists(dir / "out1/packed.txt"));
    EXPECT_TRUE(SameFile(dir / "a.txt", dir / "out1/a.txt"));

    ASSERT_EQ(Shell(Python() + " bzip2 " + Quote(dir.Path())), 0);
    EXPECT_EQ(CausesPerEntry(dir / "bz.zip", dir / "out2"),
              (std::vector<int>{0, CZipException::BadArchive, 0}));
    EXPECT_EQ(ListTree(dir / "out2"), (std::vector<std::string>{"first.txt", "last.txt"}));
}

TEST(ZipInterop, PythonArchivesWithManyEntriesAndFoldersExtractIdentically)
{
    CTempFolder dir;
    ASSERT_EQ(Shell(Python() + " many " + Quote(dir.Path()) + " 800"), 0);
    Extracted r = ExtractAll(dir / "many.zip", dir / "out", true);
    EXPECT_GT(r.count, 800);
    for (size_t i = 0; i < r.results.size(); ++i)
        EXPECT_TRUE(r.results[i]) << i;
    ExpectSameTree(dir / "src", dir / "out");
}

TEST(ZipInterop, AHundredMebibyteEntryExtractsIdentically)
{
    CTempFolder dir;
    ASSERT_EQ(Shell(Python() + " big " + Quote(dir.Path()) + " 100"), 0);
    Extracted r = ExtractAll(dir / "big.zip", dir / "out", false);
    ASSERT_EQ(r.results, std::vector<bool>{true});
    EXPECT_EQ(fs::file_size(dir / "out/big.bin"), 100u << 20);
    ExpectSameTree(dir / "src", dir / "out");
}

} // namespace
