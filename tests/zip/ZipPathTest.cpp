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
}

} // namespace
