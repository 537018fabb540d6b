// File Load of package archives through the headless host: what the window
// shows, which files it takes, what it refuses and what it cleans up.
#include "ArchiveTestSupport.h"
#include "OrdinaryUser.h"
#include "UpgradeDlgTestAccess.h"
#include "package/UnpackFolder.h"

#include <algorithm>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <chrono>
#include <sys/resource.h>
#include <unistd.h>

using namespace archive;
namespace fs = std::filesystem;

namespace {

class ArchiveLoad : public ArchiveFixture {};

TEST_F(ArchiveLoad, AQuorinV1PackageFillsEverySlotAndRowFromItsOwnFiles)
{
    const char* names[] = {"BH_V1.00.bin", "SM_V2.10_20131008.bin", "SC_V1.1.bin",
                           "SS_V1.2.bin",  "SF_V1.3.bin",           "SR_V1.4.bin"};
    const char* options[] = {"--header", "--main", "--cis-m", "--cis-s", "--cf", "--ir"};
    const std::size_t sizes[] = {3000, 20000, 8192, 1, 70000, 5};
    Bytes bytes[6];
    std::string args = "--model 'Quorin V1' -o " + Quote((dir / "Rel_1.2.QVP").string());
    for (int i = 0; i < 6; ++i) {
        bytes[i] = Source(names[i], sizes[i], static_cast<unsigned>(i));
        args += std::string(" ") + options[i] + " " + Quote(Src(names[i]).string());
    }
    ASSERT_EQ(Pack(args), 0) << packOutput;

    Load(dir / "Rel_1.2.QVP");
    EXPECT_TRUE(host.Messages().empty()) << Messages();
    EXPECT_EQ(State(*dlg).m_strUnzipFolder, (dir / "Rel_1.2").string());
    EXPECT_EQ(State(*dlg).m_nResultType, RESULT_TYPE_QUORIN_V1);
    EXPECT_EQ(State(*dlg).m_bPartImage, 0);
    for (int i = 0; i < PART_COUNT; ++i)
        EXPECT_EQ(State(*dlg).m_bHasPart[i], 1) << i;
    for (int i = 0; i < 6; ++i) {
        ASSERT_EQ(State(*dlg).m_strPartFile[i], (dir / "Rel_1.2" / names[i]).string()) << i;
        EXPECT_TRUE(SameBytes(ReadFileBytes(State(*dlg).m_strPartFile[i]), bytes[i])) << names[i];
    }
    EXPECT_TRUE(State(*dlg).m_strPartFile[6].empty());

    const char* rows[] = {"MAIN", "CIS M", "CIS S", "CF", "IR"};
    const char* versions[] = {"V2.10", "V1.1", "V1.2", "V1.3", "V1.4"}; // only ".bin" goes as the extension
    ASSERT_EQ(host.ListRowCount(IDC_LIST_PART), 5);
    for (int row = 0; row < 5; ++row) {
        EXPECT_EQ(Cell(row, 0), rows[row]);
        EXPECT_EQ(Cell(row, 3), names[row + 1]);
        EXPECT_EQ(Cell(row, 4), versions[row]) << row;
        EXPECT_EQ(Cell(row, 5), std::to_string(sizes[row + 1]) + " byte(s)");
    }
    for (int id = IDC_CHECK_ALL; id <= IDC_CHECK_IR; ++id) {
        EXPECT_TRUE(host.IsControlVisible(id)) << id;
        EXPECT_TRUE(host.GetCheck(id)) << id;
    }
    EXPECT_TRUE(host.IsControlEnabled(IDC_BUTTON_CONNECT));
}

TEST_F(ArchiveLoad, AQuorinV2PackageShowsMainAndCdmAndKeepsTheCdmBootInSlotSix)
{
    Source("BH_V2.bin", 100, 1);
    Source("SM_V2.01_x.bin", 200, 2);
    Source("CDM_V1.02.NHB", 300, 3);
    Source("BC_V1.bin", 400, 4);
    ASSERT_EQ(Pack("--model v2 -o " + Quote((dir / "v2.QVP").string()) + " --header " +
                   Quote(Src("BH_V2.bin")) + " --main " + Quote(Src("SM_V2.01_x.bin")) + " --cdm " +
                   Quote(Src("CDM_V1.02.NHB")) + " --cdm-boot " + Quote(Src("BC_V1.bin"))),
              0)
        << packOutput;
    Load(dir / "v2.QVP");
    EXPECT_TRUE(host.Messages().empty()) << Messages();
    EXPECT_EQ(State(*dlg).m_nResultType, RESULT_TYPE_QUORIN_V2);
    EXPECT_EQ(State(*dlg).m_bHasPart[0], 1);
    EXPECT_EQ(State(*dlg).m_bHasPart[1], 1);
    EXPECT_EQ(State(*dlg).m_strPartFile[0], (dir / "v2" / "BH_V2.bin").string());
    EXPECT_EQ(State(*dlg).m_strPartFile[2], (dir / "v2" / "CDM_V1.02.NHB").string());
    EXPECT_EQ(State(*dlg).m_strPartFile[6], (dir / "v2" / "BC_V1.bin").string());
    ASSERT_EQ(host.ListRowCount(IDC_LIST_PART), 2);
    EXPECT_EQ(Cell(0, 0), "MAIN");
    EXPECT_EQ(Cell(0, 4), "V2.01");
    EXPECT_EQ(Cell(1, 0), "CDM");
    EXPECT_EQ(Cell(1, 4), "V1.02");
    EXPECT_EQ(host.GetText(IDC_CHECK_CIS_M), "CDM");
    EXPECT_FALSE(host.IsControlVisible(IDC_CHECK_CIS_S));
}

TEST_F(ArchiveLoad, AnUpgradeBoardPackageShowsOneUpbdRowAndKeepsItsBootInSlotZero)
{
    Source("board.UPH", 50, 1);
    Source("board.UPB", 60, 2);
    EndWithMark(Src("board.UPB"));
    ASSERT_EQ(Pack("--model board -o " + Quote((dir / "b.QVP").string()) + " --board-boot " +
                   Quote(Src("board.UPH")) + " --board-body " + Quote(Src("board.UPB"))),
              0)
        << packOutput;
    Load(dir / "b.QVP");
    EXPECT_TRUE(host.Messages().empty()) << Messages();
    EXPECT_EQ(State(*dlg).m_nResultType, RESULT_TYPE_BOARD);
    EXPECT_EQ(State(*dlg).m_strPartFile[0], (dir / "b" / "board.UPH").string());
    EXPECT_EQ(State(*dlg).m_strPartFile[1], (dir / "b" / "board.UPB").string());
    ASSERT_EQ(host.ListRowCount(IDC_LIST_PART), 1);
    EXPECT_EQ(Cell(0, 0), "UPBD");
    EXPECT_EQ(Cell(0, 3), "board.UPB");
    EXPECT_EQ(Cell(0, 4), "None");
    EXPECT_EQ(Cell(0, 5), "60 byte(s)");
    for (int id = IDC_CHECK_ALL; id <= IDC_CHECK_IR; ++id)
        EXPECT_FALSE(host.IsControlVisible(id)) << id;
}

TEST_F(ArchiveLoad, EntriesInArchiveFoldersLandFlatAndTheLaterOfTwoSameNamesWins)
{
    const Bytes first = Source("first.bin", 1000, 1);
    const Bytes later = Source("later.bin", 1500, 2);
    const Bytes cis = Source("cis.bin", 700, 3);
    WriteText(Src("info.txt"), Info("Quorin V1", {"Main Source File Path", "CIS Master Source File Path"}));
    PyZip(dir / "flat.QVP",
          {"pkg/UpgradeInfo.txt=" + Src("info.txt").string(), "pkg/",
           "x/SM_V1.bin=" + Src("first.bin").string(), "y/z/SM_V1.bin=" + Src("later.bin").string(),
           "deep/er/SC_V3.bin=" + Src("cis.bin").string()});
    Load(dir / "flat.QVP");
    EXPECT_TRUE(host.Messages().empty()) << Messages();
    EXPECT_EQ(Names(dir / "flat"),
              (std::set<std::string>{UNPACK_MANIFEST_NAME, "UpgradeInfo.txt", "SM_V1.bin", "SC_V3.bin"}));
    EXPECT_TRUE(SameBytes(ReadFileBytes(dir / "flat" / "SM_V1.bin"), later));
    EXPECT_TRUE(SameBytes(ReadFileBytes(dir / "flat" / "SC_V3.bin"), cis));
    EXPECT_EQ(State(*dlg).m_strPartFile[1], (dir / "flat" / "SM_V1.bin").string());
    EXPECT_EQ(Cell(0, 5), "1500 byte(s)");
    EXPECT_EQ(State(*dlg).m_bHasPart[0], 1);
    EXPECT_EQ(State(*dlg).m_bHasPart[1], 1);
    EXPECT_EQ(State(*dlg).m_bHasPart[2], 0);

    // Closing removes both levels of what was made, nothing else was there.
    host.CloseWindow();
    EXPECT_FALSE(fs::exists(dir / "flat"));
}

TEST_F(ArchiveLoad, AnInfoZipArchiveWithFoldersLoadsFlat)
{
    const Bytes main = Source("tree/parts/SM_V4_1.bin", 5000, 1);
    WriteText(Src("tree/UpgradeInfo.txt"), Info("Quorin V1", {"Main Source File Path"}));
    ASSERT_EQ(
        Shell("cd " + Quote(Src("").string()) + " && zip -qr " + Quote((dir / "iz.QVP").string()) + " tree"),
        0);
    Load(dir / "iz.QVP");
    EXPECT_TRUE(host.Messages().empty()) << Messages();
    EXPECT_EQ(Names(dir / "iz"),
              (std::set<std::string>{UNPACK_MANIFEST_NAME, "UpgradeInfo.txt", "SM_V4_1.bin"}));
    EXPECT_TRUE(SameBytes(ReadFileBytes(State(*dlg).m_strPartFile[1]), main));
    EXPECT_EQ(Cell(0, 4), "V4");
}

TEST_F(ArchiveLoad, ALongVersionAndFileNameAreCutToFitTheirFields)
{
    const std::string version(40, 'v');
    const std::string name = "SM_" + version + "_" + std::string(200, 'n') + ".bin"; // 248 characters
    Source(name, 10, 1);
    ASSERT_EQ(Pack("--model v1 -o " + Quote((dir / "long.QVP").string()) + " --main " + Quote(Src(name))), 0)
        << packOutput;
    Load(dir / "long.QVP");
    EXPECT_TRUE(host.Messages().empty()) << Messages();
    EXPECT_EQ(Cell(0, 4), version.substr(0, 19));
    EXPECT_EQ(Cell(0, 3), name);
    EXPECT_EQ(State(*dlg).m_strPartFile[1], (dir / "long" / name).string()); // the path itself is never cut
}

TEST_F(ArchiveLoad, AReadOnlyPackageLoads)
{
    Source("SM_V1.bin", 100, 1);
    const fs::path package = dir / "ro.QVP";
    ASSERT_EQ(Pack("--model v1 -o " + Quote(package.string()) + " --main " + Quote(Src("SM_V1.bin"))), 0);
    // Immutable: not even root may open it for writing.
    if (Shell("chattr +i " + Quote(package.string()) + " 2>/dev/null") != 0)
        GTEST_SKIP() << "this file system cannot mark a file immutable";
    Load(package);
    Shell("chattr -i " + Quote(package.string()));
    EXPECT_TRUE(host.Messages().empty()) << Messages();
    EXPECT_EQ(State(*dlg).m_strPartFile[1], (dir / "ro" / "SM_V1.bin").string());
}

// The folder beside the package is held by another load, or cannot be
// written: the package is unpacked into a private folder instead, which the
// close removes whole, and the folder beside it is left as it was.
TEST_F(ArchiveLoad, AFolderInUseOrOnReadOnlyMediaIsReplacedByAPrivateOne)
{
    const Bytes main = Source("SM_V1.bin", 100, 1);
    for (const bool readOnly : {false, true}) {
        SCOPED_TRACE(readOnly ? "read-only folder" : "folder in use");
        const fs::path where = dir / (readOnly ? "ro" : "busy");
        fs::create_directories(where);
        ASSERT_EQ(
            Pack("--model v1 -o " + Quote((where / "p.QVP").string()) + " --main " + Quote(Src("SM_V1.bin"))),
            0);
        int other = -1; // another window's hold on the folder beside the package
        if (readOnly) {
            if (Shell("chattr +i " + Quote(where.string()) + " 2>/dev/null") != 0)
                GTEST_SKIP() << "this file system cannot mark a folder immutable";
        } else {
            fs::create_directories(where / "p");
            other = ::open((where / "p").c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
            ASSERT_GE(other, 0);
            ASSERT_EQ(::flock(other, LOCK_EX | LOCK_NB), 0);
        }
        Load(where / "p.QVP");
        if (readOnly)
            Shell("chattr -i " + Quote(where.string()));
        EXPECT_TRUE(host.Messages().empty()) << Messages();
        const fs::path used = State(*dlg).m_strUnzipFolder;
        EXPECT_EQ(used.parent_path(), fs::path(PrivateUnpackBase()));
        EXPECT_EQ(State(*dlg).m_strPartFile[1], (used / "SM_V1.bin").string());
        EXPECT_TRUE(SameBytes(ReadFileBytes(State(*dlg).m_strPartFile[1]), main));
        host.CloseWindow();
        EXPECT_FALSE(fs::exists(used));
        // The other window's folder is untouched; none was made on read-only media.
        EXPECT_EQ(fs::is_directory(where / "p"), !readOnly);
        EXPECT_TRUE(Names(where / "p").empty());
        if (other >= 0)
            ::close(other);
        dlg.reset();
    }
}

TEST_F(ArchiveLoad, LoadingTheSamePackageAgainReplacesItsOwnFilesWithoutComplaint)
{
    const Bytes main = Source("SM_V1.bin", 100, 1);
    ASSERT_EQ(Pack("--model v1 -o " + Quote((dir / "p.QVP").string()) + " --main " + Quote(Src("SM_V1.bin"))),
              0);
    Load(dir / "p.QVP");
    ASSERT_TRUE(host.Messages().empty()) << Messages();
    Load(dir / "p.QVP");
    EXPECT_TRUE(host.Messages().empty()) << Messages();
    EXPECT_TRUE(SameBytes(ReadFileBytes(State(*dlg).m_strPartFile[1]), main));
    host.CloseWindow();
    EXPECT_FALSE(fs::exists(dir / "p"));
}

TEST_F(ArchiveLoad, ANewFileLoadRemovesTheFilesThePreviousPackageUnpacked)
{
    Source("SM_V1.bin", 100, 1);
    ASSERT_EQ(
        Pack("--model v1 -o " + Quote((dir / "one.QVP").string()) + " --main " + Quote(Src("SM_V1.bin"))), 0);
    ASSERT_EQ(
        Pack("--model v1 -o " + Quote((dir / "two.QVP").string()) + " --main " + Quote(Src("SM_V1.bin"))), 0);
    Load(dir / "one.QVP");
    ASSERT_TRUE(fs::exists(dir / "one" / "SM_V1.bin"));
    Load(dir / "two.QVP");
    EXPECT_TRUE(host.Messages().empty()) << Messages();
    EXPECT_FALSE(fs::exists(dir / "one"));
    EXPECT_TRUE(fs::exists(dir / "two" / "SM_V1.bin"));
}

// --- Failures that end the load: one message naming the package and the
// cause, the window without a package, nothing of the load left on disk.

struct FailCase {
    const char* name;
    // Makes dir/bad.QVP (and anything that was there before the load).
    std::function<void(ArchiveFixture&, const fs::path& dir)> make;
    const char* cause; // %D stands for the test's folder
    friend void PrintTo(const FailCase& c, std::ostream* os) { *os << c.name; }
};

class ArchiveFailure : public ArchiveFixture, public ::testing::WithParamInterface<FailCase> {};

// A V1 package with SM_V1.bin (stored, so its bytes can be found) and SC_V1.bin.
void MakeGood(ArchiveFixture& rig, const fs::path& dir, const std::string& extra = "")
{
    rig.Source("SM_V1.bin", 5000, 7);
    rig.Source("SC_V1.bin", 300, 8);
    ASSERT_EQ(rig.Pack("--store --model v1 -o " + Quote((dir / "bad.QVP").string()) + " --main " +
                       Quote(rig.Src("SM_V1.bin")) + " --cis-m " + Quote(rig.Src("SC_V1.bin")) + " " + extra),
              0);
}

TEST_P(ArchiveFailure, EndsTheLoadWithOneMessageAndLeavesNoPackageBehind)
{
    const FailCase& c = GetParam();
    c.make(*this, dir);
    const auto before = Names(dir / "bad");
    Load(dir / "bad.QVP");
    ASSERT_EQ(host.Messages().size(), 1u) << Messages();
    std::string cause = c.cause;
    if (const auto at = cause.find("%D"); at != std::string::npos)
        cause.replace(at, 2, dir.string());
    const std::string expected = "Cannot load the package " + (dir / "bad.QVP").string() + ": " + cause;
    const std::string& shown = host.Messages()[0].text;
    if (const auto at = expected.find("%F"); at != std::string::npos) {
        // The free space moves while the disk is shared: any figure there.
        const std::string tail = expected.substr(at + 2);
        ASSERT_GT(shown.size(), at + tail.size()) << shown;
        EXPECT_EQ(shown.substr(0, at), expected.substr(0, at));
        EXPECT_EQ(shown.substr(shown.size() - tail.size()), tail);
        const std::string figure = shown.substr(at, shown.size() - tail.size() - at);
        EXPECT_EQ(figure.find_first_not_of("0123456789"), std::string::npos) << figure;
    } else {
        EXPECT_EQ(shown, expected);
    }
    EXPECT_EQ(host.ListRowCount(IDC_LIST_PART), 0);
    EXPECT_FALSE(host.IsControlEnabled(IDC_BUTTON_CONNECT));
    EXPECT_FALSE(host.IsControlVisible(IDC_CHECK_ALL));
    EXPECT_EQ(State(*dlg).m_nResultType, RESULT_TYPE_NONE);
    EXPECT_TRUE(State(*dlg).m_strUnzipFolder.empty());
    for (const auto& path : State(*dlg).m_strPartFile)
        EXPECT_TRUE(path.empty());
    // Exactly what was there before the load is there after it.
    EXPECT_EQ(Names(dir / "bad"), before);
    EXPECT_TRUE(State(*dlg).m_ZipArchive.IsClosed() && State(*dlg).m_ZipArchive.IsClosed(false));
}

INSTANTIATE_TEST_SUITE_P(
    Causes, ArchiveFailure,
    ::testing::Values(
        FailCase{"TextFile",
                 [](ArchiveFixture&, const fs::path& d) { WriteFileBytes(d / "bad.QVP", Bytes(100, 'x')); },
                 "the file is not a ZIP archive (its end record is missing)."},
        FailCase{"CutInHalf",
                 [](ArchiveFixture& f, const fs::path& d) {
                     MakeGood(f, d);
                     Bytes b = ReadFileBytes(d / "bad.QVP");
                     b.erase(b.begin(), b.begin() + static_cast<std::ptrdiff_t>(b.size() / 2));
                     WriteFileBytes(d / "bad.QVP", b);
                 },
                 "the archive is damaged or is not a ZIP archive."},
        FailCase{"CorruptData",
                 [](ArchiveFixture& f, const fs::path& d) {
                     MakeGood(f, d);
                     Bytes b = ReadFileBytes(d / "bad.QVP");
                     const Bytes part = Pattern(5000, 7);
                     auto at = std::search(b.begin(), b.end(), part.begin(), part.begin() + 32);
                     ASSERT_NE(at, b.end());
                     at[100] ^= 0x01;
                     WriteFileBytes(d / "bad.QVP", b);
                 },
                 "its entry SM_V1.bin fails its CRC check."},
        FailCase{"UnknownModelText",
                 [](ArchiveFixture& f, const fs::path& d) { MakeGood(f, d, "--model-text 'Quorin V3'"); },
                 "unknown machine type \"Quorin V3\"."},
        FailCase{"NoUpgradeInfo", [](ArchiveFixture& f, const fs::path& d) { MakeGood(f, d, "--no-info"); },
                 "it holds no UpgradeInfo.txt."},
        FailCase{"StaleUpgradeInfoOnly",
                 [](ArchiveFixture& f, const fs::path& d) {
                     MakeGood(f, d, "--no-info");
                     // An earlier run's description must not describe this package.
                     WriteFileBytes(d / "bad" / "UpgradeInfo.txt", Bytes{' ', 'R'});
                 },
                 "it holds no UpgradeInfo.txt."},
        FailCase{"UsersFileWithThePartsName",
                 [](ArchiveFixture& f, const fs::path& d) {
                     MakeGood(f, d);
                     WriteFileBytes(d / "bad" / "SC_V1.bin", Bytes{'m', 'i', 'n', 'e'});
                 },
                 "the unpack folder %D/bad already holds a file named SC_V1.bin that is not the package's; "
                 "move it "
                 "away and load again."},
        FailCase{"FolderWithThePartsName",
                 [](ArchiveFixture& f, const fs::path& d) {
                     MakeGood(f, d);
                     std::filesystem::create_directories(d / "bad" / "SM_V1.bin");
                 },
                 "the unpack folder %D/bad already holds a file named SM_V1.bin that is not the package's; "
                 "move it "
                 "away and load again."},
        FailCase{"Bzip2Entry",
                 [](ArchiveFixture& f, const fs::path& d) {
                     f.WriteText(f.Src("info.txt"), ArchiveFixture::Info("Quorin V1"));
                     f.PyZip(d / "bad.QVP", {"--bzip2", "UpgradeInfo.txt=" + f.Src("info.txt").string()});
                 },
                 "its entry UpgradeInfo.txt is not supported (bzip2 compression)."},
        FailCase{"EncryptedEntry",
                 [](ArchiveFixture& f, const fs::path& d) {
                     f.WriteText(f.Src("info.txt"), ArchiveFixture::Info("Quorin V1"));
                     f.Source("SM_V1.bin", 100, 1);
                     f.PyZip(d / "bad.QVP",
                             {"--encrypted", "SM_V1.bin", "UpgradeInfo.txt=" + f.Src("info.txt").string(),
                              "SM_V1.bin=" + f.Src("SM_V1.bin").string()});
                 },
                 "its entry SM_V1.bin is not supported (encryption)."},
        FailCase{
            "MoreThanTheDiskHolds",
            [](ArchiveFixture& f, const fs::path& d) {
                // 300 entries of 4 GiB each, as the directory states them.
                f.PyZip(d / "bad.QVP", {"--store", "--many", "300", "--declare", "4294967295"});
            },
            "its files take 1288490188500 bytes, but only %F bytes are free where it is unpacked (%D/bad)."},
        FailCase{"FileWhereTheFolderGoes",
                 [](ArchiveFixture& f, const fs::path& d) {
                     MakeGood(f, d);
                     WriteFileBytes(d / "bad", Bytes{'u'});
                 },
                 "a file named \"%D/bad\" stands where its files would be unpacked."}));

TEST_F(ArchiveLoad, AUsersFileUnderAPartsNameIsNeverOverwrittenNorRemoved)
{
    Source("SM_V1.bin", 5000, 7);
    ASSERT_EQ(Pack("--model v1 -o " + Quote((dir / "u.QVP").string()) + " --main " + Quote(Src("SM_V1.bin"))),
              0);
    const Bytes mine = Pattern(64, 99);
    WriteFileBytes(dir / "u" / "SM_V1.bin", mine);
    Load(dir / "u.QVP");
    ASSERT_EQ(host.Messages().size(), 1u) << Messages();
    EXPECT_EQ(host.Messages()[0].text, "Cannot load the package " + (dir / "u.QVP").string() +
                                           ": the unpack folder " + (dir / "u").string() +
                                           " already holds a file named SM_V1.bin that is not the package's; "
                                           "move it away and load again.");
    EXPECT_TRUE(SameBytes(ReadFileBytes(dir / "u" / "SM_V1.bin"), mine));
    host.CloseWindow();
    EXPECT_TRUE(SameBytes(ReadFileBytes(dir / "u" / "SM_V1.bin"), mine));
}

TEST_F(ArchiveLoad, ABackslashInThePackagesFolderOrNameIsACharacterOfThatName)
{
    Source("SM_V1.bin", 700, 1);
    struct Case {
        fs::path package;
        fs::path unpack;
    };
    const Case cases[] = {{dir / "Release\\Rel_1.2.QVP", dir / "Release\\Rel_1.2"},
                          {dir / "a\\b" / "c\\d.QVP", dir / "a\\b" / "c\\d"}};
    for (const Case& c : cases) {
        fs::create_directories(c.package.parent_path());
        ASSERT_EQ(Pack("--model v1 -o " + Quote(c.package.string()) + " --main " + Quote(Src("SM_V1.bin"))),
                  0);
        const auto before = Names(dir);
        Load(c.package);
        EXPECT_TRUE(host.Messages().empty()) << Messages();
        EXPECT_EQ(State(*dlg).m_strUnzipFolder, c.unpack.string());
        EXPECT_EQ(State(*dlg).m_strPartFile[1], (c.unpack / "SM_V1.bin").string());
        EXPECT_TRUE(fs::is_regular_file(c.unpack / "SM_V1.bin")) << c.unpack;
        EXPECT_FALSE(fs::exists(dir / "Release")) << c.package;
        EXPECT_FALSE(fs::exists(dir / "a")) << c.package;
        host.CloseWindow();
        dlg.reset();
        EXPECT_FALSE(fs::exists(c.unpack));
        EXPECT_EQ(Names(dir), before);
    }
}

// A file the tool wrote stays its own in later loads, whether an earlier
// clean-up kept it (".QV1") or a killed session left it; a later package
// overwrites it.
TEST_F(ArchiveLoad, AFileTheToolWroteEarlierIsOverwrittenByTheNextLoad)
{
    const Bytes oldKept = Source("a.QV1", 40, 1);
    Source("SM_V1.bin", 50, 2);
    const std::string package = Quote((dir / "q.QVP").string());
    ASSERT_EQ(Pack("--model v1 -o " + package + " --main " + Quote(Src("SM_V1.bin")) +
                   " --extra a.QV1=" + Quote(Src("a.QV1"))),
              0);
    Load(dir / "q.QVP");
    ASSERT_TRUE(host.Messages().empty()) << Messages();
    host.CloseWindow();
    dlg.reset();
    ASSERT_TRUE(SameBytes(ReadFileBytes(dir / "q" / "a.QV1"), oldKept));

    // A killed session: its MAIN file stayed, listed in the manifest.
    WriteFileBytes(dir / "q" / "SM_V1.bin", Pattern(10, 3));
    WriteText(dir / "q" / UNPACK_MANIFEST_NAME, "a.QV1\nSM_V1.bin\n");

    const Bytes newKept = Source("a.QV1", 60, 4);
    const Bytes newMain = Source("SM_V1.bin", 70, 5);
    ASSERT_EQ(Pack("--model v1 -o " + package + " --main " + Quote(Src("SM_V1.bin")) +
                   " --extra a.QV1=" + Quote(Src("a.QV1"))),
              0);
    Load(dir / "q.QVP");
    EXPECT_TRUE(host.Messages().empty()) << Messages();
    EXPECT_TRUE(SameBytes(ReadFileBytes(dir / "q" / "a.QV1"), newKept));
    EXPECT_TRUE(SameBytes(ReadFileBytes(dir / "q" / "SM_V1.bin"), newMain));
    host.CloseWindow();
    EXPECT_EQ(Names(dir / "q"), (std::set<std::string>{UNPACK_MANIFEST_NAME, "a.QV1"}));
}

// The load goes on in a private folder; the trace says why.
TEST_F(ArchiveLoad, AFolderBesideThePackageThatCannotBeWrittenNamesThePermission)
{
    if (RanAsOrdinaryUser())
        return;
    Source("SM_V1.bin", 50, 2);
    fs::create_directories(dir / "ro");
    ASSERT_EQ(Pack("--model v1 -o " + Quote((dir / "ro" / "p.QVP").string()) + " --main " +
                   Quote(Src("SM_V1.bin"))),
              0);
    fs::permissions(dir / "ro", fs::perms::owner_write, fs::perm_options::remove);
    Load(dir / "ro" / "p.QVP");
    fs::permissions(dir / "ro", fs::perms::owner_write, fs::perm_options::add);
    EXPECT_TRUE(host.Messages().empty()) << Messages();
    EXPECT_FALSE(fs::exists(dir / "ro" / "p"));
    const fs::path used = State(*dlg).m_strUnzipFolder;
    EXPECT_EQ(used.parent_path(), fs::path(PrivateUnpackBase()));
    const std::string why = "UnpackArchive: the folder beside the package cannot be made (Permission denied)";
    const auto traces = host.Traces();
    EXPECT_TRUE(std::any_of(traces.begin(), traces.end(), [&](const std::string& t) {
        return t.rfind(why, 0) == 0;
    })) << ::testing::PrintToString(traces);
}

// Load time grows with the number of entries, not with its square: the
// largest archive without ZIP64 loads and cleans up in seconds of processor
// time (wall time on a shared machine is mostly waiting for a processor).
TEST_F(ArchiveLoad, SixtyFiveThousandFiveHundredAndThirtyFiveEntriesLoadAndCleanUpInSeconds)
{
    // In memory when the system offers it: the disk's journal is not what is measured.
    std::string base = (dir / "XXXXXX").string();
    if (fs::is_directory("/dev/shm"))
        base = "/dev/shm/velunda-65535-XXXXXX";
    ASSERT_NE(::mkdtemp(base.data()), nullptr);
    const fs::path here = base;
    Source("SM_V1.bin", 100, 1);
    WriteText(Src("info.txt"), Info("Quorin V1", {"Main Source File Path"}));
    PyZip(here / "big.QVP", {"--many", "65533", "UpgradeInfo.txt=" + Src("info.txt").string(),
                             "SM_V1.bin=" + Src("SM_V1.bin").string()});

    const auto cpu = [] {
        struct rusage usage {};
        ::getrusage(RUSAGE_SELF, &usage);
        return std::chrono::seconds(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
               std::chrono::microseconds(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec);
    };
    const auto cpuStart = cpu();
    const auto start = std::chrono::steady_clock::now();
    Load(here / "big.QVP");
    const auto loaded = std::chrono::steady_clock::now();
    ASSERT_TRUE(host.Messages().empty()) << Messages();
    EXPECT_EQ(State(*dlg).m_strPartFile[1], (here / "big" / "SM_V1.bin").string());
    host.CloseWindow();
    const auto cleaned = std::chrono::steady_clock::now();
    const auto cpuUsed = cpu() - cpuStart;
    EXPECT_FALSE(fs::exists(here / "big"));
    fs::remove_all(here);
    const auto ms = [](auto d) { return std::chrono::duration_cast<std::chrono::milliseconds>(d).count(); };
    std::printf("65535 entries: load %lld ms, clean-up %lld ms wall; %lld ms processor time\n",
                static_cast<long long>(ms(loaded - start)), static_cast<long long>(ms(cleaned - loaded)),
                static_cast<long long>(ms(cpuUsed)));
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    const auto limit = std::chrono::seconds(30); // instrumented builds run several times slower
#else
    const auto limit = std::chrono::seconds(5);
#endif
    EXPECT_LT(cpuUsed, limit);
}

// --- Clean-up

class ArchiveCleanup : public ArchiveFixture {};

TEST_F(ArchiveCleanup, ClosingKeepsQv1FilesAndTheFolderHoldingThemAndRemovesTheRest)
{
    Source("a.QV1", 10, 1);
    Source("SM_b.bin", 20, 2);
    Source("c.bin", 30, 3);
    ASSERT_EQ(Pack("--model v1 -o " + Quote((dir / "k.QVP").string()) + " --main " + Quote(Src("SM_b.bin")) +
                   " --extra a.QV1=" + Quote(Src("a.QV1")) + " --extra x.QV2.txt=" + Quote(Src("c.bin")) +
                   " --extra c.bin=" + Quote(Src("c.bin"))),
              0)
        << packOutput;
    Load(dir / "k.QVP");
    ASSERT_TRUE(host.Messages().empty()) << Messages();
    ASSERT_EQ(Names(dir / "k"), (std::set<std::string>{UNPACK_MANIFEST_NAME, "UpgradeInfo.txt", "SM_b.bin",
                                                       "a.QV1", "x.QV2.txt", "c.bin"}));
    host.CloseWindow();
    EXPECT_TRUE(host.Ended());
    // The manifest stays with the kept files: they are still the tool's.
    EXPECT_EQ(Names(dir / "k"), (std::set<std::string>{UNPACK_MANIFEST_NAME, "a.QV1", "x.QV2.txt"}));
    EXPECT_EQ(ReadText(dir / "k" / UNPACK_MANIFEST_NAME), "a.QV1\nx.QV2.txt\n");
}

TEST_F(ArchiveCleanup, DisConnectForgetsThePackageAndRemovesItsUnpackedFiles)
{
    Source("SM_b.bin", 20, 2);
    ASSERT_EQ(Pack("--model v1 -o " + Quote((dir / "d.QVP").string()) + " --main " + Quote(Src("SM_b.bin"))),
              0)
        << packOutput;
    Load(dir / "d.QVP");
    ASSERT_TRUE(host.Messages().empty()) << Messages();
    ASSERT_FALSE(Names(dir / "d").empty());
    // Connected as far as the window knows; the button disconnects and resets.
    State(*dlg).m_bConnected = 1;
    State(*dlg).m_nTransport = TRANSPORT_SERIAL;
    host.EnableControl(IDC_BUTTON_CONNECT, true);
    host.Click(IDC_BUTTON_CONNECT);
    EXPECT_TRUE(State(*dlg).m_strUnzipFolder.empty());
    EXPECT_FALSE(std::filesystem::exists(dir / "d"));
    EXPECT_TRUE(std::filesystem::exists(dir / "d.QVP"));
}

TEST_F(ArchiveCleanup, FilesAndFoldersThatWereThereBeforeTheLoadSurvive)
{
    Source("SM_b.bin", 20, 2);
    ASSERT_EQ(Pack("--model v1 -o " + Quote((dir / "k.QVP").string()) + " --main " + Quote(Src("SM_b.bin"))),
              0);
    const Bytes notes = Pattern(40, 5);
    WriteFileBytes(dir / "k" / "notes.txt", notes);
    WriteFileBytes(dir / "k" / "sub" / "c.bin", notes);
    Load(dir / "k.QVP");
    ASSERT_TRUE(host.Messages().empty()) << Messages();
    host.CloseWindow();
    EXPECT_EQ(Names(dir / "k"), (std::set<std::string>{"notes.txt", "sub"}));
    EXPECT_TRUE(SameBytes(ReadFileBytes(dir / "k" / "notes.txt"), notes));
    EXPECT_TRUE(SameBytes(ReadFileBytes(dir / "k" / "sub" / "c.bin"), notes));
}

TEST_F(ArchiveCleanup, APackageNamedWithoutADotLeavesItsParentFolderUntouched)
{
    Source("SM_b.bin", 20, 2);
    const fs::path parent = dir / "rel.1";
    const fs::path package = parent / "packageQVP";
    fs::create_directories(parent);
    ASSERT_EQ(Pack("--model v1 -o " + Quote(package.string()) + " --main " + Quote(Src("SM_b.bin"))), 0);
    const Bytes keep = Pattern(40, 6);
    WriteFileBytes(parent / "keep.txt", keep);
    WriteFileBytes(dir / "rel.txt", keep);
    Load(package);
    ASSERT_TRUE(host.Messages().empty()) << Messages();
    EXPECT_EQ(State(*dlg).m_strUnzipFolder, (parent / "packageQVP_unpacked").string());
    EXPECT_EQ(State(*dlg).m_strPartFile[1], (parent / "packageQVP_unpacked" / "SM_b.bin").string());
    host.CloseWindow();
    EXPECT_EQ(Names(parent), (std::set<std::string>{"keep.txt", "packageQVP"}));
    EXPECT_TRUE(SameBytes(ReadFileBytes(parent / "keep.txt"), keep));
    EXPECT_TRUE(fs::exists(dir / "rel.txt"));
}

TEST_F(ArchiveCleanup, AStalePartFromAnEarlierRunIsIgnoredAndLeftAlone)
{
    const Bytes fresh = Source("SM_V2.00.bin", 20, 2);
    Source("SC_V2.00.bin", 30, 3);
    ASSERT_EQ(
        Pack("--model v1 -o " + Quote((dir / "s.QVP").string()) + " --main " + Quote(Src("SM_V2.00.bin"))),
        0);
    // Sorts after the package's own MAIN file and carries CIS M, which the package lacks.
    const Bytes stale = Pattern(25, 9);
    WriteFileBytes(dir / "s" / "SM_V9.99.bin", stale);
    WriteFileBytes(dir / "s" / "SC_V0.99.bin", stale);
    Load(dir / "s.QVP");
    ASSERT_TRUE(host.Messages().empty()) << Messages();
    EXPECT_EQ(State(*dlg).m_strPartFile[1], (dir / "s" / "SM_V2.00.bin").string());
    EXPECT_TRUE(State(*dlg).m_strPartFile[2].empty());
    EXPECT_EQ(Cell(1, 3), "None");
    EXPECT_TRUE(host.HasTrace("SM_V9.99.bin is not from this package; ignored"));
    EXPECT_TRUE(host.HasTrace("SC_V0.99.bin is not from this package; ignored"));
    host.CloseWindow();
    EXPECT_EQ(Names(dir / "s"), (std::set<std::string>{"SM_V9.99.bin", "SC_V0.99.bin"}));
}

TEST_F(ArchiveCleanup, AFileAlreadyThereWithThePackagesBytesIsUsedAndKept)
{
    const Bytes main = Source("SM_V1.bin", 3000, 2);
    ASSERT_EQ(
        Pack("--model v1 -o " + Quote((dir / "same.QVP").string()) + " --main " + Quote(Src("SM_V1.bin"))),
        0);
    WriteFileBytes(dir / "same" / "SM_V1.bin", main);
    Load(dir / "same.QVP");
    ASSERT_TRUE(host.Messages().empty()) << Messages();
    EXPECT_EQ(State(*dlg).m_strPartFile[1], (dir / "same" / "SM_V1.bin").string());
    EXPECT_EQ(Cell(0, 5), "3000 byte(s)");
    host.CloseWindow();
    EXPECT_EQ(Names(dir / "same"), (std::set<std::string>{"SM_V1.bin"}));
}

TEST_F(ArchiveCleanup, AFinishedBoardUpgradeRemovesTheUnpackedFiles)
{
    Source("board.UPH", 50, 1);
    Source("board.UPB", 60, 2);
    EndWithMark(Src("board.UPB"));
    ASSERT_EQ(Pack("--model board -o " + Quote((dir / "b.QVP").string()) + " --board-boot " +
                   Quote(Src("board.UPH")) + " --board-body " + Quote(Src("board.UPB"))),
              0);
    WriteFileBytes(dir / "b" / "user.txt", Bytes{'u'});
    Load(dir / "b.QVP");
    ASSERT_TRUE(host.Messages().empty()) << Messages();
    dlg->OnBoardUpgradeDone();
    EXPECT_EQ(Names(dir / "b"), (std::set<std::string>{"user.txt"}));
    EXPECT_TRUE(State(*dlg).m_strUnzipFolder.empty());
}

} // namespace
