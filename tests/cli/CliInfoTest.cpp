// velunda-cli info: a package's contents, checked without writing a file.
#include "CliTestSupport.h"

using namespace clitest;

namespace {

class CliInfoTest : public CliTest {
protected:
    // An archive written by Python's zipfile, entries stored so that a byte of
    // data can be damaged at a known place.
    fs::path MakeArchive(const std::string& name, bool deflate)
    {
        WriteFileBytes(m_dir / "src" / "SM_V1.2_x.bin", Pattern(5000, 1));
        WriteFileBytes(m_dir / "src" / "SF_V3_y.bin", Pattern(777, 2));
        const std::string script = "import zipfile,sys\n"
                                   "m = zipfile.ZIP_DEFLATED if sys.argv[2] == '1' else zipfile.ZIP_STORED\n"
                                   "with zipfile.ZipFile(sys.argv[1], 'w', m) as z:\n"
                                   "    z.writestr('UpgradeInfo.txt', ' Result Type : Quorin V1\\r\\n')\n"
                                   "    z.write('src/SM_V1.2_x.bin', 'SM_V1.2_x.bin')\n"
                                   "    z.write('src/SF_V3_y.bin', 'SF_V3_y.bin')\n";
        const RunResult made =
            RunProgram({"/usr/bin/python3", "-c", script, name, deflate ? "1" : "0"}, m_dir, 30s);
        EXPECT_EQ(made.exitCode, 0) << made.err;
        fs::remove_all(m_dir / "src");
        return m_dir / name;
    }
};

TEST_F(CliInfoTest, AnIntactArchiveReadsBackEveryEntryWithItsCrc)
{
    for (bool deflate : {false, true}) {
        const fs::path qvp = MakeArchive(deflate ? "d.qvp" : "s.qvp", deflate);
        const RunResult r = Cli({"info", qvp.string()});
        EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
        int ok = 0;
        for (const auto& line : Lines(r.out))
            ok += line.find("CRC ok") != std::string::npos ? 1 : 0;
        EXPECT_EQ(ok, 3) << r.out;
        // The parts as File Load would list them: name, version from the file name, size.
        bool main = false;
        bool cf = false;
        for (const auto& line : Lines(r.out)) {
            main = main || (line.rfind("MAIN ", 0) == 0 && line.find("V1.2") != std::string::npos &&
                            line.find("5000 byte(s)") != std::string::npos);
            cf = cf || (line.rfind("CF ", 0) == 0 && line.find("V3") != std::string::npos &&
                        line.find("777 byte(s)") != std::string::npos);
        }
        EXPECT_TRUE(main && cf) << r.out;
    }
}

TEST_F(CliInfoTest, ACorruptedEntryIsFoundByItsCrcAndNothingIsWritten)
{
    const fs::path qvp = MakeArchive("bad.qvp", false);
    // Damage one data byte in the middle of the stored MAIN entry.
    Bytes bytes = ReadFileBytes(qvp);
    const std::string name = "SM_V1.2_x.bin";
    const auto at = std::search(bytes.begin(), bytes.end(), name.begin(), name.end());
    ASSERT_NE(at, bytes.end());
    const auto dataStart = static_cast<std::size_t>(at - bytes.begin()) + name.size();
    bytes[dataStart + 2500] ^= 0x5A;
    WriteFileBytes(qvp, bytes);

    const auto before = ListTree(m_dir);
    const RunResult r = Cli({"info", qvp.string()});
    EXPECT_EQ(r.exitCode, 2) << r.out << r.err;
    std::string mainLine;
    std::string cfLine;
    for (const auto& line : Lines(r.out)) {
        if (line.rfind("SM_V1.2_x.bin", 0) == 0)
            mainLine = line;
        if (line.rfind("SF_V3_y.bin", 0) == 0)
            cfLine = line;
    }
    EXPECT_NE(mainLine.find("CRC mismatch"), std::string::npos) << r.out;
    EXPECT_NE(cfLine.find("CRC ok"), std::string::npos) << r.out;
    EXPECT_EQ(ListTree(m_dir), before);
}

TEST_F(CliInfoTest, APartImagePackageListsItsPartsVersionsAndSizes)
{
    const fs::path dat = MakeDat({{"--main", 1234, "17"}, {"--cf", 99, "2"}});
    const RunResult r = Cli({"info", dat.string()});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_NE(r.out.find("Quorin V1"), std::string::npos) << r.out;
    bool main = false;
    bool cf = false;
    for (const auto& line : Lines(r.out)) {
        main = main || (line.rfind("MAIN ", 0) == 0 && line.find(" 17 ") != std::string::npos &&
                        line.find("1234 byte(s)") != std::string::npos);
        cf = cf || (line.rfind("CF ", 0) == 0 && line.find("99 byte(s)") != std::string::npos);
    }
    EXPECT_TRUE(main) << r.out;
    EXPECT_TRUE(cf) << r.out;
}

TEST_F(CliInfoTest, ADamagedPartImageOrAMissingFileIsABadPackage)
{
    const fs::path dat = MakeDat({{"--main", 1234, "17"}});
    Bytes text = ReadFileBytes(dat);
    text.resize(text.size() / 2);
    WriteFileBytes(dat, text);
    const RunResult damaged = Cli({"info", dat.string()});
    EXPECT_EQ(damaged.exitCode, 2);
    EXPECT_NE(damaged.err.find("Upgrade file is damaged."), std::string::npos) << damaged.err;
    const RunResult missing = Cli({"info", (m_dir / "none.DAT").string()});
    EXPECT_EQ(missing.exitCode, 2);
}

} // namespace
