// The boot file of a part-image package: the greatest *.OHH path of the
// Boot folder under the start-up folder.
#include "RecordingWindow.h"
#include "UpgradeDlgTestAccess.h"

#include <algorithm>
#include <unistd.h>

using namespace seqtest;

namespace {

constexpr const char* kUnchanged = "<previous>";
constexpr const char* kNotFound = "Can not find the boot folder";

struct BootCase {
    const char* name;
    bool makeFolder;
    std::vector<const char*> files;
    std::vector<const char*> folders;
    const char* chosen; // file name in Boot, "" for an emptied slot, or kUnchanged
    bool message;
    friend void PrintTo(const BootCase& c, std::ostream* os) { *os << c.name; }
};

class BootFolderTest : public RecordingWindow, public ::testing::WithParamInterface<BootCase> {};

TEST_P(BootFolderTest, TheGreatestOhhPathIsChosen)
{
    const BootCase& c = GetParam();
    const auto boot = m_dir / "Boot";
    if (c.makeFolder)
        std::filesystem::create_directories(boot);
    for (const char* f : c.files)
        WriteFileBytes(boot / f, Pattern(4, 1));
    for (const char* d : c.folders)
        std::filesystem::create_directories(boot / d);
    State(dlg).m_strPartFile[0] = "previous.OHH";

    dlg.FindBootFile();

    const std::string expected = std::string(c.chosen) == kUnchanged ? "previous.OHH"
                                 : c.chosen[0] == '\0'               ? ""
                                                                     : (boot / c.chosen).string();
    EXPECT_EQ(State(dlg).m_strPartFile[0], expected);
    // The message goes on to name the folders searched.
    const auto texts = host.MessageTexts();
    const bool reported = std::any_of(texts.begin(), texts.end(),
                                      [](const std::string& t) { return t.rfind(kNotFound, 0) == 0; });
    EXPECT_EQ(reported, c.message);
}

INSTANTIATE_TEST_SUITE_P(
    Folders, BootFolderTest,
    ::testing::Values(
        BootCase{"HigherVersionWins", true, {"V1.10.OHH", "V1.00.OHH"}, {}, "V1.10.OHH", false},
        BootCase{"LowerCaseLettersAreGreater", true, {"b.OHH", "A.OHH"}, {}, "b.OHH", false},
        BootCase{"ALowerCaseExtensionEmptiesTheSlot", true, {"x.ohh"}, {}, "", false},
        BootCase{"TheGreatestMayBeALowerCaseOne", true, {"Z.OHH", "a.ohh"}, {}, "", false},
        BootCase{"MixedCaseExtensionMatches", true, {"boot.OhH", "A.OHH"}, {}, "", false},
        BootCase{"OtherExtensionsAreNotLookedAt", true, {"z.OHX", "zz.OHH.bak", "B.OHH"}, {}, "B.OHH", false},
        BootCase{"AnEmptyFolderIsReported", true, {}, {}, kUnchanged, true},
        BootCase{"AMissingFolderIsReported", false, {}, {}, kUnchanged, true},
        BootCase{"OnlyOtherFilesIsReported", true, {"readme.txt"}, {}, kUnchanged, true},
        BootCase{"FoldersAreNeverChosen", true, {}, {"z.OHH"}, kUnchanged, false},
        BootCase{"AFileBesideAGreaterFolderIsChosen", true, {"a.OHH"}, {"z.OHH"}, "a.OHH", false}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(RecordingWindow, TheBootFolderIsTheOneUnderTheStartUpFolderNotTheCurrentOne)
{
    WriteFileBytes(m_dir / "start" / "Boot" / "A.OHH", Pattern(4, 1));
    WriteFileBytes(m_dir / "elsewhere" / "Boot" / "Z.OHH", Pattern(4, 2));
    State(dlg).m_szStartDir = (m_dir / "start").string();
    const auto before = std::filesystem::current_path();
    std::filesystem::current_path(m_dir / "elsewhere"); // as an open-file dialog may leave it
    dlg.FindBootFile();
    std::filesystem::current_path(before);
    EXPECT_EQ(State(dlg).m_strPartFile[0], (m_dir / "start" / "Boot" / "A.OHH").string());
}

} // namespace
