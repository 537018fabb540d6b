// The description file, the part-file names, the unpack folder and the
// words for a failed load, without a window.
#include "package/UpgradeInfo.h"
#include "zip/FileException.h"
#include "zip/ZipException.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <new>

namespace {

struct InfoLineCase {
    const char* line;
    int model;         // model type after this line alone
    int flags[5];      // MAIN, CIS M, CIS S, CF, IR
    const char* about; // what the case shows
};

class InfoLine : public ::testing::TestWithParam<InfoLineCase> {};

TEST_P(InfoLine, OneLineGivesItsModelAndFlags)
{
    const InfoLineCase& c = GetParam();
    CUpgradeInfo info;
    ParseUpgradeInfoLine(c.line, info);
    EXPECT_EQ(ModelTypeFromText(info.strModelText), c.model) << c.about;
    for (int i = 0; i < 5; ++i)
        EXPECT_EQ(info.bHasPart[i], c.flags[i]) << c.about << ", flag " << i;
}

INSTANTIATE_TEST_SUITE_P(
    UpgradeInfo, InfoLine,
    ::testing::Values(
        InfoLineCase{" Result Type : Quorin V1", 1, {}, "one blank before the key"},
        InfoLineCase{" Result Type : Quorin V1   \t", 1, {}, "trailing blanks are trimmed"},
        InfoLineCase{" Result Type : Quorin V1\r\n", 1, {}, "the CR LF line end is not part of the line"},
        InfoLineCase{"Result Type : Quorin V1", 0, {}, "the key at the first character is not recognised"},
        InfoLineCase{" Result Type Quorin V1", 0, {}, "no colon leaves the model text empty"},
        InfoLineCase{" Result Type : quorin v1", 0, {}, "the model is compared exactly"},
        InfoLineCase{" Result Type : Quorin V2", 2, {}, "Quorin V2"},
        InfoLineCase{" Result Type :Upgrade Board: later", 3, {}, "the value ends at the next colon"},
        InfoLineCase{"Main Source File Path : SM.bin", 0, {0, 0, 0, 0, 0}, "key at the first character"},
        InfoLineCase{" Main Source File Path : SM.bin", 0, {1, 0, 0, 0, 0}, "one blank before the key"},
        InfoLineCase{" Main Source File Path :", 0, {0, 0, 0, 0, 0}, "nothing after the colon"},
        InfoLineCase{" Main Source File Path :   \t ", 0, {0, 0, 0, 0, 0}, "only blanks after the colon"},
        InfoLineCase{" Main Source File Path SM.bin", 0, {0, 0, 0, 0, 0}, "no colon, no value"},
        InfoLineCase{" CF Source File Path : C:\\x", 0, {0, 0, 0, 1, 0}, "the value is the single letter C"},
        InfoLineCase{" CF Source File Path ::C", 0, {0, 0, 0, 0, 0}, "an empty value before the next colon"},
        InfoLineCase{" Upgrade Board Body Source File Path : b.UPB", 0, {1, 0, 0, 0, 0}, "board body: MAIN"},
        InfoLineCase{" Main Body Source File Path : x", 0, {1, 0, 0, 0, 0}, "MAIN body"},
        InfoLineCase{" CIS Master Source File Path : x", 0, {0, 1, 0, 0, 0}, "CIS M"},
        InfoLineCase{" CIS Body Source File Path : x", 0, {0, 1, 0, 0, 0}, "CDM sets the CIS M flag"},
        InfoLineCase{" CIS Slave Source File Path : x", 0, {0, 0, 1, 0, 0}, "CIS S"},
        InfoLineCase{" IR Source File Path : x", 0, {0, 0, 0, 0, 1}, "IR"},
        InfoLineCase{" main source file path : x", 0, {0, 0, 0, 0, 0}, "keys are case-sensitive"},
        InfoLineCase{" Notice : Result Type : Quorin V1",
                     0,
                     {},
                     "Result Type takes the line, but its value starts at the line's first colon"},
        InfoLineCase{"Result Type: x  IR Source File Path : y",
                     0,
                     {0, 0, 0, 0, 1},
                     "a key at the first character passes the line on to the next key"},
        InfoLineCase{" Something else : Quorin V1", 0, {}, "lines without a key are ignored"}));

// "Main Source File Path" is tested before "Notice" and found after the first
// character, so MAIN's rule takes the line; its value, up to the next colon,
// is the text " Main Source File Path ", which is not blank.
TEST(UpgradeInfoText, AKeyInsideANoticeLineIsStillFoundInTableOrder)
{
    CUpgradeInfo info;
    ParseUpgradeInfoLine(" Notice : Main Source File Path : x", info);
    EXPECT_EQ(info.bHasPart[0], 1);
}

TEST(UpgradeInfoText, TheLastResultTypeWinsAndFlagsAccumulateOverLines)
{
    const CUpgradeInfo info = ParseUpgradeInfoText(" Result Type : Quorin V2\r\n"
                                                   " Main Source File Path : SM_1.bin\r\n"
                                                   "\r\n"
                                                   " Result Type : Quorin V1\r\n"
                                                   " IR Source File Path : SR_1.bin\n"
                                                   " CF Source File Path : SF.bin");
    EXPECT_EQ(ModelTypeFromText(info.strModelText), 1);
    EXPECT_EQ(info.bHasPart[0], 1);
    EXPECT_EQ(info.bHasPart[1], 0);
    EXPECT_EQ(info.bHasPart[3], 1); // last line without a line end
    EXPECT_EQ(info.bHasPart[4], 1);
}

TEST(UpgradeInfoText, AnEmptyTextGivesNoModelAndNoFlags)
{
    const CUpgradeInfo info = ParseUpgradeInfoText("");
    EXPECT_EQ(ModelTypeFromText(info.strModelText), 0);
    for (int flag : info.bHasPart)
        EXPECT_EQ(flag, 0);
}

struct ClassCase {
    int model;
    const char* name;
    int fileSlot; // -1: not classified
    int listSlot;
    const char* listName;
};

class PartName : public ::testing::TestWithParam<ClassCase> {};

TEST_P(PartName, TheFirstTokenInTableOrderDecides)
{
    const ClassCase& c = GetParam();
    const auto cls = ClassifyPartFile(c.model, c.name);
    if (c.fileSlot < 0) {
        EXPECT_FALSE(cls.has_value()) << c.name << " classified as slot " << cls->nFileSlot;
        return;
    }
    ASSERT_TRUE(cls.has_value()) << c.name;
    EXPECT_EQ(cls->nFileSlot, c.fileSlot) << c.name;
    EXPECT_EQ(cls->nListSlot, c.listSlot) << c.name;
    EXPECT_STREQ(cls->pszListName == nullptr ? "" : cls->pszListName, c.listName) << c.name;
}

INSTANTIATE_TEST_SUITE_P(
    Tokens, PartName,
    ::testing::Values(ClassCase{1, "SM_SS_V1.bin", 1, 1, "MAIN"}, // SM is tested before SS
                      ClassCase{1, "BH_SM.bin", 0, -1, ""},       // BH first of all
                      ClassCase{1, "SC_V1.bin", 2, 2, "CIS M"}, ClassCase{1, "x_SS.bin", 3, 3, "CIS S"},
                      ClassCase{1, "SF", 4, 4, "CF"}, ClassCase{1, "aSRb", 5, 5, "IR"},
                      ClassCase{1, "sm_v1.bin", -1, -1, ""},  // case-sensitive
                      ClassCase{1, "CDM_V1.NHB", -1, -1, ""}, // no CDM in a V1 package
                      ClassCase{1, "BC_V1.bin", -1, -1, ""}, ClassCase{2, "BH_V2.bin", 0, -1, ""},
                      ClassCase{2, "SM_V2.bin", 1, 1, "MAIN"}, ClassCase{2, "CDM_V1.02.NHB", 2, 2, "CDM"},
                      ClassCase{2, "BC_V1.bin", 6, -1, ""}, ClassCase{2, "SMCDM.bin", 1, 1, "MAIN"},
                      ClassCase{2, "CDM_BC.bin", 2, 2, "CDM"}, // CDM before BC
                      ClassCase{2, "SC_V1.bin", -1, -1, ""}, ClassCase{3, "board.UPB", 1, 1, "UPBD"},
                      ClassCase{3, "board.UPH", 0, -1, ""}, ClassCase{3, "SM_board.bin", -1, -1, ""},
                      ClassCase{3, "board.upb", -1, -1, ""}, ClassCase{0, "SM_V1.bin", -1, -1, ""},
                      ClassCase{4, "SM_V1.bin", -1, -1, ""}));

struct VersionCase {
    const char* name;
    const char* version;
};

class NameVersion : public ::testing::TestWithParam<VersionCase> {};

TEST_P(NameVersion, IsTakenFromTheName)
{
    EXPECT_EQ(VersionFromName(GetParam().name), GetParam().version) << GetParam().name;
}

INSTANTIATE_TEST_SUITE_P(Versions, NameVersion,
                         ::testing::Values(VersionCase{"CDM_V1.02.NHB", "V1.02"},
                                           VersionCase{"CDM_CDM_V3.NHB.NHB", "V3"},
                                           VersionCase{"xCDMy.bin", "xCDMy.bin"}, // nothing to remove
                                           VersionCase{"SM_V2.10_20131008.bin", "V2.10"},
                                           VersionCase{"SM.bin", ""}, VersionCase{"SM_V3", "V3"},
                                           VersionCase{"SM_V3.bin", "V3"}, VersionCase{"SM_.bin", ""},
                                           VersionCase{"SM_a_b_c.bin", "a"},
                                           VersionCase{"SM_V2.10", "V2"}, // ".10" is taken as the extension
                                           VersionCase{"board.UPB", ""}, VersionCase{"", ""}));

struct FolderCase {
    const char* package;
    const char* folder;
};

class UnpackFolder : public ::testing::TestWithParam<FolderCase> {};

TEST_P(UnpackFolder, LiesBesideThePackageNamedAfterIt)
{
    EXPECT_EQ(UnpackFolderFor(GetParam().package), GetParam().folder) << GetParam().package;
}

INSTANTIATE_TEST_SUITE_P(
    Folders, UnpackFolder,
    ::testing::Values(FolderCase{"/pkg/Rel_1.2.QVP", "/pkg/Rel_1.2"}, FolderCase{"/pkg/a.b.qvp", "/pkg/a.b"},
                      // A dot only in a folder name must not cut the path there.
                      FolderCase{"/data/rel.1/packageQVP", "/data/rel.1/packageQVP_unpacked"},
                      FolderCase{"/pkg/.QVP", "/pkg/.QVP_unpacked"},
                      FolderCase{"/pkg/..QVP", "/pkg/..QVP_unpacked"},
                      FolderCase{"/pkg/...QVP", "/pkg/...QVP_unpacked"}, FolderCase{"x.QVP", "x"},
                      FolderCase{"/pkg/x.", "/pkg/x"}, FolderCase{"/pkg/", ""}, FolderCase{"", ""},
                      FolderCase{"/pkg/..", ""}));

TEST(Cleanup, KeepsOnlyNamesCarryingQv1OrQv2)
{
    EXPECT_TRUE(IsKeptOnCleanup("a.QV1"));
    EXPECT_TRUE(IsKeptOnCleanup("x.QV2.bin"));
    EXPECT_FALSE(IsKeptOnCleanup("a.qv1"));
    EXPECT_FALSE(IsKeptOnCleanup("a.QV3"));
    EXPECT_FALSE(IsKeptOnCleanup("QV1"));
}

TEST(SizeTextFormat, IsTheByteCountFollowedByBytes)
{
    EXPECT_EQ(SizeText(0), "0 byte(s)");
    EXPECT_EQ(SizeText(20000), "20000 byte(s)");
    EXPECT_EQ(SizeText(5000000000ull), "5000000000 byte(s)");
}

TEST(LoadFailure, EveryCauseIsNamedInPlainWordsWithoutCodes)
{
    const std::string package = "/pkg/Rel.QVP";
    EXPECT_EQ(DescribeLoadFailure(CZipException(ZIP_ERR_END_RECORD_MISSING, package), package),
              "the file is not a ZIP archive (its end record is missing)");
    EXPECT_EQ(DescribeLoadFailure(CZipException(ZIP_ERR_CRC_MISMATCH, package), package),
              "an entry failed its CRC check");
    EXPECT_EQ(DescribeLoadFailure(CFileException(EACCES, package, "open"), package),
              "the package file cannot be read (Permission denied)");
    EXPECT_EQ(DescribeLoadFailure(CFileException(ENOSPC, "/pkg/Rel/SM.bin", "write"), package),
              "the file \"/pkg/Rel/SM.bin\" cannot be written (No space left on device)");
    EXPECT_EQ(DescribeLoadFailure(CFileException(EIO, "/pkg/Rel/UpgradeInfo.txt", "read"), package),
              "the file \"/pkg/Rel/UpgradeInfo.txt\" cannot be read (Input/output error)");
    EXPECT_EQ(DescribeLoadFailure(CPackageError("it holds no UpgradeInfo.txt"), package),
              "it holds no UpgradeInfo.txt");
    EXPECT_EQ(DescribeLoadFailure(std::bad_alloc(), package), "there is not enough memory");
}

} // namespace
