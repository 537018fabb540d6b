#include "ZipTestUtil.h"

#include <ctime>
#include <functional>
#include <sys/stat.h>

namespace {

using namespace ziptest;

constexpr int kFileException = -1; // ExtractOutcome::cause for a CFileException

struct ExtractOutcome {
    bool result = false;
    int cause = 0; // CZipException cause, kFileException, or 0
};

ExtractOutcome TryExtract(CZipArchive& zip, uint16_t index, const std::string& folder, bool fullPath = false)
{
    ExtractOutcome o;
    try {
        o.result = zip.ExtractEntry(index, folder, fullPath, nullptr, nullptr, nullptr, 65535);
    } catch (const CZipException& e) {
        o.cause = e.m_nCause;
    } catch (const CFileException&) {
        o.cause = kFileException;
    }
    return o;
}

void OpenCrafted(CZipArchive& zip, const CTempFolder& dir, const CraftArchive& a)
{
    WriteFile(dir / "a.zip", a.Build());
    zip.Open(dir / "a.zip", 1, 0);
}

const Bytes kText = TextPattern(70000, 11);

struct DamagedEntryCase {
    const char* what;
    std::function<CraftEntry()> make;
    int cause;
    bool fileLeft; // the output file exists afterwards
};

const DamagedEntryCase kDamagedEntries[] = {
    {"local flag differs",
     [] {
         CraftEntry e = Deflated("e.txt", kText);
         e.localFlag = 2;
         return e;
     },
     CZipException::BadArchive, false},
    {"local method differs",
     [] {
         CraftEntry e = Stored("e.txt", kText);
         e.localMethod = 8;
         return e;
     },
     CZipException::BadArchive, false},
    {"local name length differs",
     [] {
         CraftEntry e = Stored("e.txt", kText);
         e.localNameLen = 4;
         return e;
     },
     CZipException::BadArchive, false},
    {"local size differs without a descriptor",
     [] {
         CraftEntry e = Stored("e.txt", kText);
         e.localUncompr = 5;
         return e;
     },
     CZipException::BadArchive, false},
    {"local header signature wrong",
     [] {
         CraftEntry e = Stored("e.txt", kText);
         e.offsetOverride = 1;
         return e;
     },
     CZipException::BadArchive, false},
    {"local header beyond the end of the file",
     [] {
         CraftEntry e = Stored("e.txt", kText);
         e.offsetOverride = 0x7FFFFFF0;
         return e;
     },
     CZipException::BadArchive, false},
    {"local extra field running off the end of the file",
     [] {
         CraftEntry e = Stored("e.txt", ToBytes("x"));
         e.localExtraLen = 60000;
         return e;
     },
     CZipException::BadArchive, false},
    {"method 12",
     [] {
         CraftEntry e = Stored("e.txt", kText);
         e.method = 12;
         return e;
     },
     CZipException::BadArchive, false},
    {"local header on another volume",
     [] {
         CraftEntry e = Stored("e.txt", kText);
         e.diskStart = 1;
         return e;
     },
     CZipException::BadArchive, false},
    {"stored data shorter than its uncompressed size",
     [] {
         CraftEntry e = Stored("e.txt", kText);
         e.comprSize = 1000;
         e.data.resize(1000);
         return e;
     },
     CZipException::BadArchive, true},
    {"stored data cut by the end of the file",
     [] {
         CraftEntry e = Stored("e.txt", kText);
         e.comprSize = e.uncomprSize = 0x100000;
         return e;
     },
     CZipException::BadArchive, true},
    {"corrupt deflate data",
     [] {
         CraftEntry e = Deflated("e.txt", kText);
         e.data[0] = 0xFF; // block type 3 does not exist
         return e;
     },
     CZipException::ZlibDataError, true},
    {"deflate data ending before the output is complete",
     [] {
         CraftEntry e = Deflated("e.txt", kText);
         e.data.resize(e.data.size() / 2);
         e.comprSize = static_cast<uint32_t>(e.data.size());
         return e;
     },
     CZipException::ZlibBufError, true},
    {"stored data with a wrong CRC",
     [] {
         CraftEntry e = Stored("e.txt", kText);
         e.crc ^= 1;
         return e;
     },
     CZipException::CrcMismatch, true},
    {"deflated data with a wrong CRC",
     [] {
         CraftEntry e = Deflated("e.txt", kText);
         e.crc ^= 0x80000000u;
         return e;
     },
     CZipException::CrcMismatch, true},
    {"descriptor disagreeing with the central header",
     [] {
         CraftEntry e = Deflated("e.txt", kText);
         e.flag = 8;
         CraftEntry wrong = e;
         wrong.uncomprSize += 1;
         e.descriptor = Descriptor(wrong, true);
         return e;
     },
     CZipException::BadArchive, true},
    {"descriptor cut by the end of the file",
     [] {
         CraftEntry e = Deflated("e.txt", kText);
         e.flag = 8;
         return e; // no descriptor bytes: the directory follows, then the end
     },
     CZipException::BadArchive, true},
};

TEST(ZipExtract, DamagedEntriesRaiseTheirCauseAndTheNextArchiveStillOpens)
{
    for (const DamagedEntryCase& c : kDamagedEntries) {
        SCOPED_TRACE(c.what);
        CTempFolder dir;
        CZipArchive zip;
        TraceLog log;
        log.Attach(zip);
        CraftArchive a;
        a.entries.push_back(c.make());
        OpenCrafted(zip, dir, a);
        ExtractOutcome o = TryExtract(zip, 0, dir / "out");
        EXPECT_FALSE(o.result);
        EXPECT_EQ(o.cause, c.cause);
        EXPECT_EQ(fs::exists(dir / "out/e.txt"), c.fileLeft);
        if (c.fileLeft) { // the package loader must be able to remove it
            EXPECT_EQ(zip.GetLastDestination(), dir / "out/e.txt");
        }
        // The window's Close: may raise again, but the object ends closed.
        try {
            zip.Close(false);
        } catch (const CZipException&) {
        }
        EXPECT_TRUE(zip.IsClosed());
        EXPECT_TRUE(zip.IsClosed(false));
        CraftArchive good;
        good.entries.push_back(Stored("g.txt", ToBytes("good")));
        OpenCrafted(zip, dir, good);
        EXPECT_TRUE(zip.ExtractEntry(0, dir / "out"));
        EXPECT_TRUE(SameBytes(ToBytes("good"), dir / "out/g.txt"));
    }
}

TEST(ZipExtract, AFailedCrcLeavesTheWrittenFileWithoutItsTime)
{
    CTempFolder dir;
    CZipArchive zip;
    CraftArchive a;
    a.entries.push_back(Stored("e.txt", kText));
    a.entries[0].crc ^= 1;
    a.entries[0].date = 0x2021; // 1996-01-01: far from now
    OpenCrafted(zip, dir, a);
    EXPECT_EQ(TryExtract(zip, 0, dir / "out").cause, CZipException::CrcMismatch);
    EXPECT_TRUE(SameBytes(kText, dir / "out/e.txt"));
    struct stat st {};
    ASSERT_EQ(::stat((dir / "out/e.txt").c_str(), &st), 0);
    EXPECT_GT(st.st_mtime, time(nullptr) - 3600);
    // The entry stays open: the window's Close repeats the check.
    EXPECT_THROW(zip.Close(false), CZipException);
}

TEST(ZipExtract, AnEntryLeftOpenByAnExceptionIsReleasedByCloseAfterException)
{
    CTempFolder dir;
    CZipArchive zip;
    TraceLog log;
    log.Attach(zip);
    CraftArchive a;
    a.entries.push_back(Deflated("bad.txt", kText));
    a.entries[0].data[0] = 0xFF;
    a.entries.push_back(Stored("ok.txt", ToBytes("ok")));
    OpenCrafted(zip, dir, a);
    EXPECT_EQ(TryExtract(zip, 0, dir / "out").cause, CZipException::ZlibDataError);
    EXPECT_FALSE(zip.ExtractEntry(1, dir / "out"));
    EXPECT_TRUE(log.Has("A file already opened.\n"));
    zip.Close(true);
    EXPECT_TRUE(zip.IsClosed(false));
    OpenCrafted(zip, dir, a);
    EXPECT_TRUE(zip.ExtractEntry(1, dir / "out"));

    // Cleaning up after a failure reads no data descriptor, so one that is
    // missing or wrong cannot throw a second time.
    zip.Close();
    CraftArchive streamed;
    streamed.entries.push_back(Deflated("d.txt", kText));
    streamed.entries[0].data[0] = 0xFF;
    streamed.entries[0].flag = 0x08;
    streamed.entries[0].descriptor = ToBytes("PK\x07\x08 not the entry's");
    OpenCrafted(zip, dir, streamed);
    ASSERT_TRUE(zip.OpenEntry(0));
    Bytes buffer(65535);
    EXPECT_THROW(zip.ReadEntry(buffer.data(), 65535), CZipException);
    EXPECT_NO_THROW(EXPECT_EQ(zip.CloseEntry(nullptr, true), 1));
    EXPECT_TRUE(zip.OpenEntry(0));
    zip.Close(true);
}

struct GoodEntryCase {
    const char* what;
    std::function<CraftEntry()> make;
    Bytes expected;
};

const GoodEntryCase kGoodEntries[] = {
    {"zero-length stored entry", [] { return Stored("e.txt", {}); }, {}},
    {"zero-length deflated entry (03 00)",
     [] {
         CraftEntry e = Stored("e.txt", {});
         e.method = 8;
         e.data = {0x03, 0x00};
         e.comprSize = 2;
         return e;
     },
     {}},
    {"deflated size an exact multiple of the buffer",
     [] { return Deflated("e.txt", TextPattern(65535 * 3, 5)); }, TextPattern(65535 * 3, 5)},
    {"incompressible deflated data", [] { return Deflated("e.txt", Pattern(200000, 6)); },
     Pattern(200000, 6)},
    {"different local time, date and version needed",
     [] {
         CraftEntry e = Deflated("e.txt", kText);
         e.localTime = 1;
         e.localDate = 2;
         e.localVersion = 45;
         return e;
     },
     kText},
    {"descriptor with signature",
     [] {
         CraftEntry e = Deflated("e.txt", kText);
         e.flag = 8;
         e.descriptor = Descriptor(e, true);
         return e;
     },
     kText},
    {"descriptor without signature",
     [] {
         CraftEntry e = Deflated("e.txt", kText);
         e.flag = 8;
         e.descriptor = Descriptor(e, false);
         return e;
     },
     kText},
    {"stored entry with descriptor",
     [] {
         CraftEntry e = Stored("e.txt", kText);
         e.flag = 8;
         e.descriptor = Descriptor(e, true);
         return e;
     },
     kText},
    {"compressed bytes left after the output is complete, then a descriptor",
     [] {
         // Padding after the end of the deflate stream is counted in the
         // compressed size; the descriptor comes after it.
         CraftEntry e = Deflated("e.txt", TextPattern(65535, 8));
         e.data.resize(e.data.size() + 40000, 0xAA);
         e.comprSize = static_cast<uint32_t>(e.data.size());
         e.flag = 8;
         e.descriptor = Descriptor(e, true);
         return e;
     },
     TextPattern(65535, 8)},
    {"local extra field",
     [] {
         CraftEntry e = Deflated("e.txt", kText);
         e.localExtra = Pattern(300, 2);
         return e;
     },
     kText},
};

TEST(ZipExtract, WellFormedEntriesExtractByteForByte)
{
    for (const GoodEntryCase& c : kGoodEntries) {
        SCOPED_TRACE(c.what);
        CTempFolder dir;
        CZipArchive zip;
        CraftArchive a;
        a.entries.push_back(c.make());
        a.entries.push_back(Stored("next.txt", ToBytes("next")));
        OpenCrafted(zip, dir, a);
        ExtractOutcome o = TryExtract(zip, 0, dir / "out");
        EXPECT_TRUE(o.result);
        EXPECT_EQ(o.cause, 0);
        EXPECT_TRUE(SameBytes(c.expected, dir / "out/e.txt"));
        EXPECT_TRUE(zip.ExtractEntry(1, dir / "out"));
        EXPECT_TRUE(SameBytes(ToBytes("next"), dir / "out/next.txt"));
        zip.Close();
    }
}

TEST(ZipExtract, DataEndingBeforeItsSizeGivesFalseAndKeepsThePartialFile)
{
    CTempFolder dir;
    CZipArchive zip;
    CraftArchive a;
    CraftEntry e = Deflated("e.txt", kText);
    e.uncomprSize += 100;
    a.entries.push_back(e);
    OpenCrafted(zip, dir, a);
    ExtractOutcome o = TryExtract(zip, 0, dir / "out");
    EXPECT_FALSE(o.result);
    EXPECT_EQ(o.cause, 0);
    EXPECT_TRUE(SameBytes(kText, dir / "out/e.txt"));
    zip.Close();
}

TEST(ZipExtract, TheStreamInterfaceReportsMisuse)
{
    CTempFolder dir;
    CZipArchive zip;
    TraceLog log;
    log.Attach(zip);
    CraftArchive a;
    a.entries.push_back(Stored("a.txt", ToBytes("abc")));
    a.entries.push_back(Stored("b.txt", ToBytes("def")));
    OpenCrafted(zip, dir, a);
    uint8_t buf[16];
    EXPECT_EQ(zip.ReadEntry(buf, sizeof buf), 0u);
    EXPECT_EQ(zip.CloseEntry(), 0);
    EXPECT_FALSE(zip.OpenEntry(2));
    ASSERT_TRUE(zip.OpenEntry(0));
    EXPECT_FALSE(zip.OpenEntry(1));
    EXPECT_EQ(zip.ReadEntry(nullptr, 4), 0u);
    EXPECT_EQ(zip.ReadEntry(buf, 2), 2u);
    // Not all data read: -1, and the CRC is not compared.
    EXPECT_EQ(zip.CloseEntry(), -1);
    EXPECT_EQ(log.lines, (std::vector<std::string>{"Current file must be opened.\n", "No opened file.\n",
                                                   "Not a valid index.\n", "A file already opened.\n"}));
    ASSERT_TRUE(zip.OpenEntry(1));
    EXPECT_EQ(zip.ReadEntry(buf, sizeof buf), 3u);
    EXPECT_EQ(std::string(buf, buf + 3), "def");
    EXPECT_EQ(zip.CloseEntry(), 1);
}

TEST(ZipExtract, ATimeThatCannotBeSetStillClosesTheEntry)
{
    CTempFolder dir;
    CZipArchive zip;
    CraftArchive a;
    a.entries.push_back(Stored("a.txt", ToBytes("abc")));
    a.entries.push_back(Stored("b.txt", ToBytes("def")));
    OpenCrafted(zip, dir, a);
    ASSERT_TRUE(zip.OpenEntry(0));
    uint8_t buf[8];
    EXPECT_EQ(zip.ReadEntry(buf, sizeof buf), 3u);
    EXPECT_EQ(zip.CloseEntry((dir / "no/such/file").c_str()), 0);
    EXPECT_TRUE(zip.ExtractEntry(1, dir / "out"));
}

TEST(ZipExtract, ArgumentsAndStateThatDoNotAllowExtractionGiveFalse)
{
    CTempFolder dir;
    CZipArchive zip;
    TraceLog log;
    log.Attach(zip);
    EXPECT_FALSE(zip.ExtractEntry(0, dir / "out"));
    EXPECT_TRUE(log.Has("ZipArchive is closed.\n"));
    CraftArchive a;
    a.entries.push_back(Stored("a.txt", ToBytes("abc")));
    OpenCrafted(zip, dir, a);
    log.lines.clear();
    EXPECT_FALSE(zip.ExtractEntry(1, dir / "out"));
    EXPECT_EQ(log.lines, std::vector<std::string>{"Not a valid index.\n"});
    EXPECT_FALSE(zip.ExtractEntry(0, ""));
    EXPECT_FALSE(zip.ExtractEntry(0, dir / "out", false, nullptr, nullptr, nullptr, 0));
    EXPECT_FALSE(fs::exists(dir / "out"));
}

TEST(ZipExtract, AnEncryptedEntryIsSkippedAndTheNextOneExtracts)
{
    CTempFolder dir;
    CZipArchive zip;
    TraceLog log;
    log.Attach(zip);
    CraftArchive a;
    a.entries.push_back(Stored("secret.txt", Pattern(100, 1)));
    a.entries[0].flag = 1;
    a.entries.push_back(Stored("plain.txt", ToBytes("plain")));
    OpenCrafted(zip, dir, a);
    EXPECT_FALSE(zip.ExtractEntry(0, dir / "out"));
    EXPECT_TRUE(log.Has("Password not set for the encrypted file.\n"));
    EXPECT_FALSE(fs::exists(dir / "out/secret.txt"));
    EXPECT_TRUE(zip.ExtractEntry(1, dir / "out"));
    EXPECT_TRUE(SameBytes(ToBytes("plain"), dir / "out/plain.txt"));
}

TEST(ZipExtract, FullPathDecidesWhetherFoldersOfTheNameAreKept)
{
    CTempFolder dir;
    CZipArchive zip;
    CraftArchive a;
    a.entries.push_back(Stored("docs/a.txt", ToBytes("A")));
    a.entries.push_back(Stored("b.txt", ToBytes("B")));
    a.entries.push_back(Stored("x/same.txt", ToBytes("first")));
    a.entries.push_back(Stored("y/same.txt", ToBytes("second")));
    OpenCrafted(zip, dir, a);
    for (uint16_t i = 0; i < 4; ++i)
        EXPECT_TRUE(zip.ExtractEntry(i, dir / "flat"));
    EXPECT_EQ(ListTree(dir / "flat"), (std::vector<std::string>{"a.txt", "b.txt", "same.txt"}));
    EXPECT_TRUE(SameBytes(ToBytes("second"), dir / "flat/same.txt"));
    for (uint16_t i = 0; i < 4; ++i)
        EXPECT_TRUE(zip.ExtractEntry(i, dir / "tree", true));
    EXPECT_EQ(ListTree(dir / "tree"), (std::vector<std::string>{"b.txt", "docs", "docs/a.txt", "x",
                                                                "x/same.txt", "y", "y/same.txt"}));
}

TEST(ZipExtract, MissingDestinationFoldersAreCreatedAndRecorded)
{
    CTempFolder dir;
    fs::create_directory(dir / "pkg");
    CZipArchive zip;
    CraftArchive a;
    a.entries.push_back(Stored("sub/a.txt", ToBytes("A")));
    a.entries.push_back(Stored("sub/a.txt", ToBytes("A2")));
    OpenCrafted(zip, dir, a);
    // A Linux folder with a trailing '/', two levels missing.
    const std::string folder = dir / "pkg/one/two/";
    EXPECT_TRUE(zip.ExtractEntry(0, folder, true));
    EXPECT_EQ(zip.GetLastDestination(), dir / "pkg/one/two/sub/a.txt");
    EXPECT_TRUE(zip.ExtractEntry(1, folder, true));
    const std::vector<CZipExtractedPath>& made = zip.GetExtractedPaths();
    ASSERT_EQ(made.size(), 4u);
    EXPECT_EQ(made[0].strPath, dir / "pkg/one");
    EXPECT_TRUE(made[0].bFolder);
    EXPECT_EQ(made[1].strPath, dir / "pkg/one/two");
    EXPECT_EQ(made[2].strPath, dir / "pkg/one/two/sub");
    EXPECT_TRUE(made[2].bFolder);
    EXPECT_EQ(made[3].strPath, dir / "pkg/one/two/sub/a.txt");
    EXPECT_FALSE(made[3].bFolder);
    EXPECT_TRUE(SameBytes(ToBytes("A2"), dir / "pkg/one/two/sub/a.txt"));
}

TEST(ZipExtract, TheProgressCallbackSeesEveryChunkAndCanStopTheCopy)
{
    CTempFolder dir;
    CZipArchive zip;
    CraftArchive a;
    a.entries.push_back(Deflated("e.txt", TextPattern(65535 * 2 + 10, 3)));
    OpenCrafted(zip, dir, a);
    std::vector<uint32_t> seen;
    auto record = [](uint32_t done, void* user) {
        static_cast<std::vector<uint32_t>*>(user)->push_back(done);
        return done < 100000;
    };
    EXPECT_FALSE(zip.ExtractEntry(0, dir / "out", false, nullptr, record, &seen, 65535));
    EXPECT_EQ(seen, (std::vector<uint32_t>{65535, 131070}));
    EXPECT_EQ(fs::file_size(dir / "out/e.txt"), 131070u);
}

TEST(ZipExtract, FolderEntriesAreCreatedWithFullPathAndSkippedWithout)
{
    CTempFolder dir;
    CZipArchive zip;
    TraceLog log;
    log.Attach(zip);
    CraftArchive a;
    CraftEntry folder = Stored("docs/", {});
    folder.externalAttr = 0x10 | 0x01; // read-only folder
    a.entries.push_back(folder);
    a.entries.push_back(Stored("docs/a.txt", ToBytes("A")));
    CraftEntry notFolder = Stored("bare/", {});
    a.entries.push_back(notFolder);
    OpenCrafted(zip, dir, a);
    fs::create_directory(dir / "out");
    // Flat: the destination would be the folder itself; its attributes stay.
    EXPECT_FALSE(zip.ExtractEntry(0, dir / "out"));
    EXPECT_EQ(log.lines.size(), 1u);
    EXPECT_FALSE(zip.ExtractEntry(2, dir / "out"));
    EXPECT_TRUE(ListTree(dir / "out").empty());

    EXPECT_TRUE(zip.IsEntryDirectory(0));
    EXPECT_TRUE(zip.ExtractEntry(0, dir / "out", true));
    EXPECT_TRUE(fs::is_directory(dir / "out/docs"));
    EXPECT_TRUE(zip.ExtractEntry(1, dir / "out", true));
    EXPECT_TRUE(SameBytes(ToBytes("A"), dir / "out/docs/a.txt"));
    // A name ending in '/' without the folder attribute is a file that cannot be created.
    EXPECT_EQ(TryExtract(zip, 2, dir / "out", true).cause, kFileException);
}

struct TraversalCase {
    const char* name;
};

const TraversalCase kTraversal[] = {
    {"../evil.txt"},
    {"../../evil.txt"},
    {"..\\..\\evil.txt"},
    {"sub/../../evil.txt"},
    {"/EVILABS/evil.txt"},
    {"\\EVILABS\\evil.txt"},
    {"C:\\EVILABS\\evil.txt"},
    {"C:../evil.txt"},
    {"//server/share/evil.txt"},
    {".."},
    {"../"},
    {"."},
    {""},
    {"sub/.."},
};

TEST(ZipExtract, NoStoredNameWritesOutsideTheFolder)
{
    for (bool fullPath : {false, true}) {
        for (const TraversalCase& c : kTraversal) {
            SCOPED_TRACE(std::string(c.name) + (fullPath ? " full path" : " flat"));
            CTempFolder dir;
            const std::string inner = dir / "a/b/pkg";
            fs::create_directories(inner);
            CZipArchive zip;
            TraceLog log;
            log.Attach(zip);
            CraftArchive a;
            a.entries.push_back(Stored(c.name, ToBytes("evil")));
            CraftEntry folderEntry = Stored(std::string(c.name), {});
            folderEntry.externalAttr = 0x10;
            a.entries.push_back(folderEntry);
            OpenCrafted(zip, dir, a);
            TryExtract(zip, 0, inner, fullPath);
            TryExtract(zip, 1, inner, fullPath);
            zip.Close(true);
            // Only the archive and the folder chain remain outside pkg.
            for (const std::string& p : ListTree(dir.Path())) {
                if (p == "a.zip" || p == "a" || p == "a/b" || p == "a/b/pkg")
                    continue;
                EXPECT_EQ(p.rfind("a/b/pkg/", 0), 0u) << p;
            }
            EXPECT_FALSE(fs::exists("/EVILABS"));
            for (const CZipExtractedPath& made : zip.GetExtractedPaths())
                EXPECT_EQ(made.strPath.rfind(inner + "/", 0), 0u) << made.strPath;
        }
    }
}

TEST(ZipExtract, ADestinationThatIsASymbolicLinkIsNotFollowed)
{
    CTempFolder dir;
    fs::create_directory(dir / "out");
    WriteFile(dir / "target.txt", ToBytes("keep"));
    fs::create_symlink(dir / "target.txt", dir / "out/e.txt");
    CZipArchive zip;
    CraftArchive a;
    a.entries.push_back(Stored("e.txt", ToBytes("evil")));
    OpenCrafted(zip, dir, a);
    EXPECT_EQ(TryExtract(zip, 0, dir / "out").cause, kFileException);
    EXPECT_TRUE(SameBytes(ToBytes("keep"), dir / "target.txt"));
}

struct AttributeCase {
    const char* what;
    uint16_t versionMadeBy;
    uint32_t externalAttr;
    mode_t expected; // permission bits, umask 022
};

const AttributeCase kAttributes[] = {
    {"DOS archive bit", 20, 0x20, 0644},
    {"DOS read-only bit", 20, 0x21, 0444},
    {"Unix 0755", 0x031E, (0100755u << 16) | 0x20, 0755},
    {"Unix 0600", 0x031E, (0100600u << 16), 0600},
    {"Unix setuid, setgid and sticky are dropped", 0x031E, (0107777u << 16), 0777},
    {"Unix link entry keeps the created mode", 0x031E, (0120777u << 16), 0644},
    {"Unix host with no mode falls back to DOS bits", 0x031E, 0x01, 0444},
    {"mode bits from a DOS host are not taken", 20, (0100777u << 16), 0644},
};

TEST(ZipExtract, AttributesBecomePermissionsWithoutSpecialBits)
{
    const mode_t old = ::umask(022);
    for (const AttributeCase& c : kAttributes) {
        SCOPED_TRACE(c.what);
        CTempFolder dir;
        CZipArchive zip;
        CraftArchive a;
        CraftEntry e = Stored("e.txt", ToBytes("../target"));
        e.versionMadeBy = c.versionMadeBy;
        e.externalAttr = c.externalAttr;
        a.entries.push_back(e);
        OpenCrafted(zip, dir, a);
        EXPECT_TRUE(zip.ExtractEntry(0, dir / "out"));
        struct stat st {};
        ASSERT_EQ(::lstat((dir / "out/e.txt").c_str(), &st), 0);
        EXPECT_TRUE(S_ISREG(st.st_mode));
        EXPECT_EQ(st.st_mode & 07777, c.expected);
    }
    ::umask(old);
}

TEST(ZipExtract, TheEntryTimeIsAppliedAsLocalTimeUnlessItIsNoValidTime)
{
    struct Row {
        uint16_t date, time;
        bool valid;
    };
    const Row rows[] = {
        {static_cast<uint16_t>((45 << 9) | (4 << 5) | 19), static_cast<uint16_t>((11 << 11) | (17 << 5) | 15),
         true},
        {static_cast<uint16_t>((0 << 9) | (1 << 5) | 1), 0, true},             // 1980-01-01
        {static_cast<uint16_t>((127 << 9) | (12 << 5) | 31), 0xBF7D, true},    // 2107-12-31 23:59:58
        {0, 0, false},                                                         // month 0
        {static_cast<uint16_t>((45 << 9) | (2 << 5) | 29), 0, false},          // 29 Feb 2025
        {static_cast<uint16_t>((45 << 9) | (4 << 5) | 19), (24 << 11), false}, // hour 24
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.date);
        CTempFolder dir;
        CZipArchive zip;
        CraftArchive a;
        CraftEntry e = Stored("e.txt", ToBytes("t"));
        e.date = r.date;
        e.time = r.time;
        a.entries.push_back(e);
        OpenCrafted(zip, dir, a);
        const time_t before = time(nullptr);
        EXPECT_TRUE(zip.ExtractEntry(0, dir / "out"));
        struct stat st {};
        ASSERT_EQ(::stat((dir / "out/e.txt").c_str(), &st), 0);
        if (r.valid) {
            struct tm t {};
            t.tm_year = 80 + (r.date >> 9);
            t.tm_mon = ((r.date >> 5) & 15) - 1;
            t.tm_mday = r.date & 31;
            t.tm_hour = r.time >> 11;
            t.tm_min = (r.time >> 5) & 63;
            t.tm_sec = (r.time & 31) * 2;
            t.tm_isdst = -1;
            EXPECT_EQ(st.st_mtime, mktime(&t));
        } else {
            EXPECT_GE(st.st_mtime, before - 1);
        }
    }
}

TEST(ZipExtract, DecompressorBlocksAreReleasedWhetherTrackedOrNot)
{
    // Under the sanitizer build a leak here fails the run.
    for (bool track : {true, false}) {
        CTempFolder dir;
        CraftArchive a;
        a.entries.push_back(Deflated("bad.txt", kText));
        a.entries[0].data.resize(a.entries[0].data.size() / 2);
        a.entries[0].comprSize = static_cast<uint32_t>(a.entries[0].data.size());
        a.entries.push_back(Deflated("ok.txt", kText));
        CZipArchive zip;
        zip.m_bTrackBlocks = track;
        OpenCrafted(zip, dir, a);
        EXPECT_TRUE(zip.ExtractEntry(1, dir / "out"));
        EXPECT_EQ(TryExtract(zip, 0, dir / "out").cause, CZipException::ZlibBufError);
        // Destroyed with the entry still open.
    }
}

} // namespace
