#include "zip/ZipPath.h"

#include <gtest/gtest.h>
#include <string>

namespace {

struct EntryPartCase {
    const char* name; // as held after reading ('\' separators) or given as a new name
    const char* flat; // full path false
    const char* full; // full path true
};

const EntryPartCase kEntryParts[] = {
    {"b.txt", "b.txt", "b.txt"},
    {"docs\\a.txt", "a.txt", "docs\\a.txt"},
    {"docs/sub/a.txt", "a.txt", "docs\\sub\\a.txt"},
    {"\\abs\\evil.txt", "evil.txt", "abs\\evil.txt"},
    {"\\\\server\\share\\evil", "evil", "server\\share\\evil"},
    {"..\\..\\evil", "evil", "evil"},
    {"a\\..\\..\\evil", "evil", "a\\evil"},
    {".\\.\\x", "x", "x"},
    {"C:\\Windows\\evil.dll", "evil.dll", "Windows\\evil.dll"},
    {"C:evil", "evil", "evil"},
    {"..", "", ""},
    {".", "", ""},
    {"", "", ""},
    {"docs\\", "", "docs\\"},
    {"docs\\..", "", "docs\\"},
    {"\\", "", ""},
    {"C:", "", ""},
    {"...", "...", "..."},
    {"archive.tar.gz", "archive.tar.gz", "archive.tar.gz"},
};

TEST(ZipEntryPart, StoredNamesMapBelowTheFolderWithAndWithoutFullPath)
{
    for (const EntryPartCase& c : kEntryParts) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(ZipBuildEntryPart(c.name, false), c.flat);
        EXPECT_EQ(ZipBuildEntryPart(c.name, true), c.full);
    }
}

TEST(ZipEntryPart, ANameHoldingANulByteLeavesNothingToExtract)
{
    using namespace std::string_literals;
    EXPECT_EQ(ZipBuildEntryPart("evil\0.txt"s, false), "");
    EXPECT_EQ(ZipBuildEntryPart("a\\\0\\b"s, true), "");
}

TEST(ZipEntryPart, NameAndExtensionAreEachCutTo255Characters)
{
    const std::string name(300, 'n');
    const std::string ext = "." + std::string(300, 'e');
    const std::string part = ZipBuildEntryPart(name + ext, false);
    EXPECT_EQ(part, std::string(255, 'n') + "." + std::string(254, 'e'));
}

#ifndef _WIN32
TEST(ZipPathConversion, LinuxFoldersAndStoredNamesMeetOnOneSeparator)
{
    EXPECT_EQ(ZipToInternal("/tmp/x/pkg"), "\\tmp\\x\\pkg");
    EXPECT_EQ(ZipToNative("\\tmp\\x\\pkg\\a.txt"), "/tmp/x/pkg/a.txt");
    EXPECT_EQ(ZipTrimTrailingSeparators("\\tmp\\x\\\\"), "\\tmp\\x");
    EXPECT_EQ(ZipTrimTrailingSeparators("/"), "");
    EXPECT_EQ(ZipFolderPart("\\tmp\\x\\a.txt"), "\\tmp\\x\\");
    EXPECT_EQ(ZipFolderPart("a.txt"), "");
    // A Linux folder's '\' is a character of a folder's name, not a separator.
    EXPECT_EQ(ZipJoinNative("/tmp/Release\\Rel_1.2/", "docs\\a.txt"), "/tmp/Release\\Rel_1.2/docs/a.txt");
    EXPECT_EQ(ZipJoinNative("/", "a.txt"), "/a.txt");
    EXPECT_EQ(ZipNativeParent("/tmp/a\\b/c.txt"), "/tmp/a\\b");
    EXPECT_EQ(ZipTrimTrailingSlashes("/tmp/x\\//"), "/tmp/x\\");
    EXPECT_EQ(ZipTrimTrailingSlashes("a:/"), "a:");
}
#else
TEST(ZipPathConversion, WindowsFoldersSeparateOnEitherSlashAndKeepADrivesRoot)
{
    EXPECT_EQ(ZipJoinNative("C:\\Users\\x\\pkg\\", "docs\\a.txt"), "C:\\Users\\x\\pkg/docs/a.txt");
    EXPECT_EQ(ZipJoinNative("C:\\", "a.txt"), "C:\\a.txt");
    EXPECT_EQ(ZipNativeParent("C:\\a/b\\c.txt"), "C:\\a/b");
    EXPECT_EQ(ZipTrimTrailingSlashes("C:\\x\\/"), "C:\\x");
    EXPECT_EQ(ZipTrimTrailingSlashes("C:\\"), "C:\\");
}
#endif

// Names Windows cannot hold: the reason given, or empty for a name it takes.
struct WindowsNameCase {
    const char* name;
    const char* problem;
};

const WindowsNameCase kWindowsNames[] = {
    {"CON", "it is the device name CON"},
    {"con.txt", "it is the device name CON"},
    {"Nul.tar.gz", "it is the device name NUL"},
    {"PRN", "it is the device name PRN"},
    {"aux.QV1", "it is the device name AUX"},
    {"COM1", "it is the device name COM1"},
    {"lpt9.log", "it is the device name LPT9"},
    {"CON .txt", "it is the device name CON"},
    {"COM0", ""},
    {"COM10", ""},
    {"LPT", ""},
    {"CONSOLE.txt", ""},
    {"ACON", ""},
    {"main.", "it ends in a dot"},
    {"...", "it ends in a dot"},
    {"main ", "it ends in a space"},
    {"a:b.txt", "it holds the character ':'"},
    {"a<b", "it holds the character '<'"},
    {"a>b", "it holds the character '>'"},
    {"\"q\"", "it holds the character '\"'"},
    {"a|b", "it holds the character '|'"},
    {"what?", "it holds the character '?'"},
    {"*.QV1", "it holds the character '*'"},
    {"tab\tname", "it holds a control character"},
    {"\x7f-is-fine", ""},
    {"Paket-\xc3\xa4.QVP", ""},
    {"MAIN_1.2.QV1", ""},
    {".velunda-unpacked", ""},
};

TEST(ZipWindowsNames, DeviceNamesTrailingDotsOrSpacesAndReservedCharactersAreNamedAsTheProblem)
{
    for (const WindowsNameCase& c : kWindowsNames) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(ZipWindowsNameProblem(c.name), c.problem);
    }
}

TEST(ZipWindowsNames, EveryFolderOfAnEntryPartCountsOnWindowsAndNoneOnLinux)
{
#ifdef _WIN32
    EXPECT_EQ(ZipNameProblem("docs\\CON\\a.txt"), "it is the device name CON");
    EXPECT_EQ(ZipNameProblem("docs.\\a.txt"), "it ends in a dot");
    EXPECT_EQ(ZipNameProblem("docs\\a.txt"), "");
#else
    // A package that unpacks on Linux is not refused there for Windows' sake.
    EXPECT_EQ(ZipNameProblem("docs\\CON\\a:b.txt"), "");
#endif
}

} // namespace
