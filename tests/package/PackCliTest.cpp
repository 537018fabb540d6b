// velunda-pack dat as a user runs it: packages it writes load back exactly,
// and bad input is refused with a message and no output file.
#include "ProgramRun.h"
#include "TempFolder.h"
#include "TestPaths.h"
#include "package/PartImage.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

std::string ReadText(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

class PackCli : public testing::Test {
protected:
    // Through the shell, as a user types it.
    RunResult Run(const std::string& args)
    {
        return RunProgram({"/bin/sh", "-c", "'" + TestPath("VELUNDA_PACK") + "' dat " + args}, m_dir, 60s);
    }

    std::string Part(const std::string& name, const std::vector<std::uint8_t>& data)
    {
        return m_tmp.Write(name, data);
    }

    std::string Out() const { return (m_dir / "OUT.DAT").string(); }

    PartImageLoad LoadOut()
    {
        CAes128 aes;
        return LoadPartImageFile(Out(), "OUT.DAT", aes);
    }

    CTempFolder m_tmp;
    fs::path m_dir = m_tmp.Path();
};

TEST_F(PackCli, WrittenPackageLoadsBackToThePartFilesByteForByte)
{
    const std::vector<std::uint8_t> parts[5] = {
        Pattern(5000, 1), Pattern(20, 2), {}, Pattern(1, 4), Pattern(64, 5)};
    const std::string args = "--type I_QUORIN -o '" + Out() + "' --main '" + Part("main.bin", parts[0]) +
                             "' --main-version 260 --cis-m='" + Part("cism.bin", parts[1]) +
                             "' --cis-m-version=3 --cf '" + Part("cf.bin", parts[3]) +
                             "' --cf-version 65535 --ir '" + Part("ir.bin", parts[4]) +
                             "' --ir-version 1 --ba '" + Part("ba.bin", Pattern(64, 6)) + "'";
    const RunResult r = Run(args);
    ASSERT_EQ(r.exitCode, 0) << r.err;

    const PartImageLoad load = LoadOut();
    EXPECT_EQ(load.messages, std::vector<std::string>{});
    EXPECT_EQ(load.header.section[0].nSize, 64u);
    for (int p = 0; p < 5; ++p) {
        SCOPED_TRACE(p);
        ASSERT_EQ(load.bHasPart[p], parts[p].empty() ? 0 : 1);
        if (!parts[p].empty()) {
            ASSERT_EQ(load.header.section[p + 1].nSize, parts[p].size());
            EXPECT_TRUE(SameBytes(load.pPartData[p].get(), parts[p].data(), parts[p].size()));
        }
    }
    EXPECT_EQ(FieldText(load.header.list.slot[1].szVersion), "260");
    EXPECT_EQ(FieldText(load.header.list.slot[4].szVersion), "65535");
    EXPECT_EQ(FieldText(load.header.list.slot[3].szFile), "None");
}

TEST_F(PackCli, LowerOptionWritesOnlyLowerCaseDigitsOfTheSameImage)
{
    const std::string main = Part("main.bin", Pattern(300, 9));
    ASSERT_EQ(Run("--type P_QUORIN -o '" + Out() + "' --main '" + main + "' --main-version A1").exitCode, 0);
    const std::string upper = ReadText(Out());
    ASSERT_EQ(
        Run("--type P_QUORIN --lower -o '" + Out() + "' --main '" + main + "' --main-version A1").exitCode,
        0);
    const std::string lower = ReadText(Out());
    EXPECT_EQ(upper.find_first_not_of("0123456789ABCDEF"), std::string::npos);
    EXPECT_EQ(lower.find_first_not_of("0123456789abcdef"), std::string::npos);
    ASSERT_EQ(upper.size(), lower.size());
    for (std::size_t i = 0; i < upper.size(); ++i) {
        ASSERT_EQ(std::tolower(upper[i]), lower[i]) << "offset " << i;
    }
    EXPECT_EQ(FieldText(LoadOut().header.list.slot[1].szVersion), "A1");
}

TEST_F(PackCli, TestingOptionsMakePackagesTheLoaderRefuses)
{
    const std::string parts = " --main '" + Part("m", Pattern(32, 1)) + "' --main-version 1 --cis-m '" +
                              Part("c", Pattern(32, 2)) + "' --cis-m-version 1 --cis-s '" +
                              Part("s", Pattern(32, 3)) + "' --cis-s-version 1";
    ASSERT_EQ(Run("--type S_QUORIN --tag 3=XX -o '" + Out() + "'" + parts).exitCode, 0);
    PartImageLoad load = LoadOut();
    EXPECT_EQ(load.messages, std::vector<std::string>{MSG_BAD_MAKING});
    EXPECT_EQ(load.bHasPart[0] + load.bHasPart[1], 2);
    EXPECT_EQ(load.bHasPart[2], 0);

    ASSERT_EQ(Run("--type S_QUORIN --header-code S_QUORIM -o '" + Out() + "'" + parts).exitCode, 0);
    load = LoadOut();
    EXPECT_EQ(load.messages, std::vector<std::string>{MSG_HEADER_ERROR});
}

TEST_F(PackCli, VersionZeroForAGivenPartIsWrittenWithAWarning)
{
    const RunResult r =
        Run("--type I_QUORIN -o '" + Out() + "' --main '" + Part("m", Pattern(40, 1)) + "' --main-version 0");
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_NE(r.err.find("warning: MAIN has version 0"), std::string::npos) << r.err;
    const PartImageLoad load = LoadOut();
    EXPECT_EQ(load.bHasPart[0], 1);
    EXPECT_EQ(FieldText(load.header.list.slot[1].szFile), "None");
}

TEST_F(PackCli, TextLayoutTakesAPartOfExactlyTheLargest24BitSize)
{
    const fs::path big = m_dir / "big.bin";
    std::ofstream(big).close();
    fs::resize_file(big, 0xFFFFFF);
    const RunResult r = Run("--type S_QUORIN -o '" + Out() + "' --cf '" + big.string() + "' --cf-version 1");
    ASSERT_EQ(r.exitCode, 0) << r.err;
    const PartImageLoad load = LoadOut();
    EXPECT_EQ(load.messages, std::vector<std::string>{});
    EXPECT_EQ(load.header.section[4].nSize, 0xFFFFFFu);
    EXPECT_EQ(load.bHasPart[3], 1);
}

TEST_F(PackCli, BadInputIsRefusedWithAMessageAndNoPackage)
{
    const std::string part = Part("part.bin", Pattern(100, 3));
    const fs::path tooBig = m_dir / "toobig.bin";
    std::ofstream(tooBig).close();
    fs::resize_file(tooBig, 0x1000000);
    const std::string missing = (m_dir / "missing.bin").string();
    const std::string out = " -o '" + Out() + "'";

    struct Case {
        std::string args;
        int status;
        const char* message;
    } const cases[] = {
        {"--main '" + part + "' --main-version 1" + out, 2, "--type is required"},
        {"--type I_QUORIN --main '" + part + "' --main-version 1", 2, "--out is required"},
        {"--type Q_QUORIN" + out, 2, "unknown machine type 'Q_QUORIN'"},
        {"--type I_QUORIN --main '" + missing + "' --main-version 1" + out, 1, "cannot read MAIN file"},
        {"--type I_QUORIN --ir '" + m_dir.string() + "' --ir-version 1" + out, 1, "cannot read IR file"},
        {"--type I_QUORIN --ba '" + missing + "'" + out, 1, "cannot read BA file"},
        {"--type I_QUORIN --main '" + part + "'" + out, 2, "--main needs --main-version"},
        {"--type I_QUORIN --cf-version 2" + out, 2, "--cf-version given without --cf"},
        {"--type I_QUORIN --main '" + part + "' --main-version 65536" + out, 2,
         "not a number from 0 to 65535"},
        {"--type I_QUORIN --main '" + part + "' --main-version -1" + out, 2, "not a number from 0 to 65535"},
        {"--type I_QUORIN --cis-s '" + part + "' --cis-s-version 1.2" + out, 2, "CIS S version '1.2'"},
        {"--type S_QUORIN --main '" + part + "' --main-version ABCD" + out, 2, "not 1 to 3 printable"},
        {"--type P_QUORIN --main '" + part + "' --main-version ''" + out, 2, "not 1 to 3 printable"},
        {"--type S_QUORIN --cis-m '" + tooBig.string() + "' --cis-m-version 1" + out, 2,
         "at most 16777215 bytes"},
        {"--type I_QUORIN --tag 6=XX" + out, 2, "--tag takes N=XY"},
        {"--type I_QUORIN --tag 1=X" + out, 2, "--tag takes N=XY"},
        {"--type I_QUORIN --header-code SHORT" + out, 2, "must be 8 characters"},
        {"--type I_QUORIN --frobnicate" + out, 2, "unknown option '--frobnicate'"},
        {"--type I_QUORIN -o", 2, "needs a value"},
        {"--type=I_QUORIN --lower=yes" + out, 2, "option '--lower' takes no value"},
        {"--typ I_QUORIN" + out, 2, "unknown option '--typ'"},
        {"--type I_QUORIN" + out + " -- stray", 2, "unexpected argument 'stray'"},
        {"--type I_QUORIN -o '" + (m_dir / "no" / "such" / "X.DAT").string() + "'", 1, "cannot write"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.args);
        const RunResult r = Run(c.args);
        EXPECT_EQ(r.exitCode, c.status) << r.err;
        EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
        EXPECT_FALSE(fs::exists(Out()));
    }
}

TEST_F(PackCli, HelpDescribesEveryOption)
{
    const RunResult r = Run("--help");
    EXPECT_EQ(r.exitCode, 0);
    for (const char* option : {"--type", "--out", "--main", "--main-version", "--cis-m", "--cis-m-version",
                               "--cis-s", "--cf", "--ir", "--ba", "--lower", "--header-code", "--tag",
                               "I_QUORIN", "S_QUORIN", "P_QUORIN", "16777215", "4294967295"}) {
        EXPECT_NE(r.out.find(option), std::string::npos) << option;
    }
}

} // namespace
