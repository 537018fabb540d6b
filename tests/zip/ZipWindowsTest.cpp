// What only Windows can show: names its file system cannot hold, paths with
// letters beyond ASCII through the wide-character calls, and the lock that
// keeps two loads out of one unpack folder.
#include "ZipTestUtil.h"

#include "files/FileSystem.h"
#include "package/PackageArchive.h"
#include "package/UnpackFolder.h"
#include "package/UnpackManifest.h"

#include <cerrno>
#include <fstream>

namespace {

using namespace ziptest;

// Written and read back through wide paths the test spells itself, so that a
// fault in the UTF-8 conversion cannot hide behind the same fault.
void WriteWide(const fs::path& path, const Bytes& bytes)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    ASSERT_TRUE(out.good()) << "cannot write the test's own file";
}

Bytes ReadWide(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

struct ReservedEntryCase {
    const char* entry;
    const char* problem;
};

const ReservedEntryCase kReservedEntries[] = {
    {"CON.txt", "it is the device name CON"},
    {"nul", "it is the device name NUL"},
    {"COM3.QV1", "it is the device name COM3"},
    {"lpt1.bin", "it is the device name LPT1"},
    {"part:b.QV1", "it holds the character ':'"},
    {"what?.txt", "it holds the character '?'"},
    {"main.", "it ends in a dot"},
    {"main ", "it ends in a space"},
};

TEST(ZipWindows, AnEntryWindowsCannotHoldIsNeverWrittenAndIsNamedInTheRefusal)
{
    for (const ReservedEntryCase& c : kReservedEntries) {
        SCOPED_TRACE(c.entry);
        CTempFolder dir;
        CraftArchive a;
        a.entries = {Stored("fine.txt", ToBytes("fine")), Stored(c.entry, ToBytes("elsewhere"))};
        WriteFile(dir / "p.zip", a.Build());
        ASSERT_TRUE(fs::create_directory(FsPath(dir / "out")));

        CZipArchive zip;
        TraceLog trace;
        trace.Attach(zip);
        zip.Open(dir / "p.zip", 1, 0);
        EXPECT_TRUE(zip.ExtractEntry(0, dir / "out"));
        EXPECT_FALSE(zip.ExtractEntry(1, dir / "out"));
        EXPECT_TRUE(zip.GetLastDestination().empty());
        EXPECT_TRUE(trace.Has("Entry name " + std::string(c.entry) + " cannot be a file name here (" +
                              c.problem + "); not extracted.\n"));
        zip.Close();
        EXPECT_EQ(ListTree(FsPath(dir / "out")), std::vector<std::string>{"fine.txt"});

        // The load refuses the whole package before it writes anything.
        try {
            ReadPackageArchive(zip, dir / "p.zip", nullptr, [](const std::string&) {});
            ADD_FAILURE() << "the package was taken";
        } catch (const CPackageError& e) {
            EXPECT_EQ(std::string(e.what()), std::string("its entry ") + c.entry +
                                                 " has a name Windows cannot hold (" + c.problem + ")");
        }
    }
}

TEST(ZipWindows, APackageInAFolderOfNonAsciiLettersUnpacksByteForByte)
{
    CTempFolder dir;
    const fs::path folderWide = FsPath(dir.Path()) / L"\u00dcberpr\u00fcfung";
    ASSERT_TRUE(fs::create_directories(folderWide / L"Paket-\u00e4"));
    const Bytes part = TextPattern(150000, 28);
    const Bytes info = ToBytes("Quorin V2\r\n");
    CraftArchive a;
    a.entries = {Deflated("MAIN_\u00f6l-1.2.QV2", part), Stored("UpgradeInfo.txt", info)};
    WriteWide(folderWide / L"Paket-\u00e4.QVP", a.Build());

    // The same paths in UTF-8, as the tool holds them.
    const std::string folder = dir.Path() + "\\\u00dcberpr\u00fcfung";
    CZipArchive zip;
    zip.Open(folder + "\\Paket-\u00e4.QVP", 1, 0);
    ASSERT_FALSE(zip.IsClosed());
    ASSERT_TRUE(zip.ExtractEntry(0, folder + "\\Paket-\u00e4"));
    ASSERT_TRUE(zip.ExtractEntry(1, folder + "\\Paket-\u00e4"));
    EXPECT_EQ(zip.GetLastDestination(), folder + "\\Paket-\u00e4/UpgradeInfo.txt");
    zip.Close();
    EXPECT_TRUE(SameBytes(ReadWide(folderWide / L"Paket-\u00e4" / L"MAIN_\u00f6l-1.2.QV2"), part));
    EXPECT_TRUE(SameBytes(ReadWide(folderWide / L"Paket-\u00e4" / L"UpgradeInfo.txt"), info));

    CFsInfo stat;
    ASSERT_TRUE(FsStat(folder + "\\Paket-\u00e4\\MAIN_\u00f6l-1.2.QV2", stat));
    EXPECT_TRUE(stat.bRegular);
    EXPECT_EQ(stat.uSize, part.size());

    // The list of what the tool wrote there is read back by the next load.
    CUnpackManifest written;
    written.Load(folder + "\\Paket-\u00e4");
    written.Add("MAIN_\u00f6l-1.2.QV2");
    CUnpackManifest read;
    read.Load(folder + "\\Paket-\u00e4");
    EXPECT_TRUE(read.Holds("MAIN_\u00f6l-1.2.QV2"));
    EXPECT_TRUE(fs::is_regular_file(folderWide / L"Paket-\u00e4" / UNPACK_MANIFEST_NAME));
}

TEST(ZipWindows, AReadAtAnOffsetLeavesTheNextReadWhereItWasAndAnExclusiveLockKeepsOthersOut)
{
    CTempFolder dir;
    const Bytes bytes = Pattern(4096, 3);
    const std::string path = dir.Write("p.bin", bytes);
    const int fd = FsOpen(path, EFsOpen::Read);
    ASSERT_GE(fd, 0);
    std::uint8_t head[3] = {};
    std::uint8_t at[5] = {};
    ASSERT_EQ(FsRead(fd, head, sizeof head), 3);
    ASSERT_EQ(FsReadAt(fd, at, sizeof at, 1000), 5);
    EXPECT_TRUE(SameBytes(at, bytes.data() + 1000, sizeof at));
    ASSERT_EQ(FsRead(fd, head, sizeof head), 3);
    EXPECT_TRUE(SameBytes(head, bytes.data() + 3, sizeof head));
    EXPECT_EQ(FsReadAt(fd, at, sizeof at, bytes.size()), 0);

    ASSERT_TRUE(FsTryLock(fd, EFsLock::Exclusive));
    const int other = FsOpen(path, EFsOpen::Read);
    ASSERT_GE(other, 0);
    EXPECT_FALSE(FsTryLock(other, EFsLock::Shared));
    EXPECT_EQ(errno, EWOULDBLOCK);
    FsClose(fd);
    EXPECT_TRUE(FsTryLock(other, EFsLock::Shared));
    FsClose(other);
}

TEST(ZipWindows, ThePackagesUnpackFolderIsBesideItWhicheverSlashSeparates)
{
    EXPECT_EQ(UnpackFolderFor("C:\\v1.2\\Paket-\u00e4.QVP"), "C:\\v1.2\\Paket-\u00e4");
    EXPECT_EQ(UnpackFolderFor("C:/v1.2/noext"), "C:/v1.2/noext_unpacked");
    EXPECT_EQ(UnpackFolderFor("D:\\pkg\\"), "");
}

TEST(ZipWindows, ASecondLoadOfAHeldFolderGoesPrivateUnderLocalAppDataAndTheLockLeavesNoFile)
{
    CTempFolder dir;
    const std::string beside = dir.Path() + "\\Paket-\u00e4";
    CUnpackFolder first;
    ASSERT_TRUE(first.Claim(beside, CUnpackFolder::EPlace::BesidePackage));
    EXPECT_FALSE(first.IsPrivate());
    EXPECT_TRUE(first.Created());
    EXPECT_TRUE(FsExists(beside + ".lock"));

    CUnpackFolder second;
    ASSERT_TRUE(second.Claim(beside, CUnpackFolder::EPlace::BesidePackage));
    EXPECT_TRUE(second.IsPrivate());
    EXPECT_EQ(second.Note(), "the folder beside the package is in use by another load");
    EXPECT_EQ(second.Path().rfind(PrivateUnpackBase() + "\\velunda-", 0), 0u) << second.Path();
    const std::string privatePath = second.Path();
    second.Release();
    EXPECT_TRUE(FsRemoveFolder(privatePath));

    first.Release();
    EXPECT_FALSE(FsExists(beside + ".lock"));
    CUnpackFolder third;
    ASSERT_TRUE(third.Claim(beside, CUnpackFolder::EPlace::BesidePackage));
    EXPECT_FALSE(third.IsPrivate());
    EXPECT_FALSE(third.Created());
}

} // namespace
