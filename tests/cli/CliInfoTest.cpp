// velunda-cli info: a package's contents, checked without writing a file.
#include "CliTestSupport.h"

#include "UpgradeDlgTestAccess.h"
#include "app/HeadlessHost.h"
#include "cli/CliReport.h"
#include "window/UpgradeDlg.h"

using namespace clitest;

namespace {

class CliInfoTest : public CliTest {
protected:
    // An archive written by Python's zipfile, entries stored so that a byte of
    // data can be damaged at a known place.
    fs::path MakeArchive(const std::string& name, bool deflate, bool streamed = false)
    {
        WriteFileBytes(m_dir / "src" / "SM_V1.2_x.bin", Pattern(5000, 1));
        WriteFileBytes(m_dir / "src" / "SF_V3_y.bin", Pattern(777, 2));
        // Streamed: written to a pipe-like file object, so every entry is
        // followed by a data descriptor.
        const std::string script = "import io,zipfile,sys\n"
                                   "class U(io.RawIOBase):\n"
                                   "    def __init__(s, f): s.f = f\n"
                                   "    def writable(s): return True\n"
                                   "    def write(s, b): return s.f.write(b)\n"
                                   "m = zipfile.ZIP_DEFLATED if sys.argv[2] == '1' else zipfile.ZIP_STORED\n"
                                   "f = open(sys.argv[1], 'wb')\n"
                                   "with zipfile.ZipFile(U(f) if sys.argv[3] == '1' else f, 'w', m) as z:\n"
                                   "    z.writestr('UpgradeInfo.txt', ' Result Type : Quorin V1\\r\\n')\n"
                                   "    z.write('src/SM_V1.2_x.bin', 'SM_V1.2_x.bin')\n"
                                   "    z.write('src/SF_V3_y.bin', 'SF_V3_y.bin')\n"
                                   "f.close()\n";
        const RunResult made = RunProgram(
            {"/usr/bin/python3", "-c", script, name, deflate ? "1" : "0", streamed ? "1" : "0"}, m_dir, 30s);
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

// Damaged archives: each once aborted info. Now one line names the entry and
// the cause, exit 2, and nothing is written.
struct DamageCase {
    const char* name;
    bool deflate;
    bool streamed;
    // Changes the archive's bytes; at: offset of the MAIN entry's local header.
    std::function<void(Bytes& bytes, std::size_t at)> damage;
    const char* cause;
};

class CliInfoDamage : public CliInfoTest, public ::testing::WithParamInterface<DamageCase> {};

TEST_P(CliInfoDamage, EndsInOneLineNamingTheEntryAndTheCauseAndWritesNothing)
{
    const DamageCase& c = GetParam();
    const fs::path qvp = MakeArchive("bad.qvp", c.deflate, c.streamed);
    Bytes bytes = ReadFileBytes(qvp);
    const std::string header = std::string("PK\x03\x04", 4);
    const std::string name = "SM_V1.2_x.bin";
    auto at = std::search(bytes.begin(), bytes.end(), name.begin(), name.end());
    ASSERT_NE(at, bytes.end());
    at = std::find_end(bytes.begin(), at, header.begin(), header.end());
    c.damage(bytes, static_cast<std::size_t>(at - bytes.begin()));
    WriteFileBytes(qvp, bytes);

    const auto before = ListTree(m_dir);
    const RunResult r = Cli({"info", qvp.string()});
    EXPECT_EQ(r.exitCode, 2) << r.out << r.err;
    const std::string line = "velunda-cli: bad-package: cannot load the package " + qvp.string() +
                             ": its entry " + name + " " + c.cause;
    EXPECT_NE(r.err.find(line), std::string::npos) << r.err;
    EXPECT_EQ(Lines(r.err).size(), 1u) << r.err;
    EXPECT_EQ(ListTree(m_dir), before);
}

INSTANTIATE_TEST_SUITE_P(
    Classes, CliInfoDamage,
    ::testing::Values(
        DamageCase{"LocalHeaderSignature", false, false, [](Bytes& b, std::size_t at) { b[at + 3] = 0x09; },
                   "is damaged (its data or headers do not match the directory)"},
        DamageCase{"LocalNameLength", true, false, [](Bytes& b, std::size_t at) { b[at + 26] ^= 0x01; },
                   "is damaged (its data or headers do not match the directory)"},
        DamageCase{"StoredDataByte", false, false,
                   [](Bytes& b, std::size_t at) { b[at + 30 + 13 + 2500] ^= 0x5A; }, "fails its CRC check"},
        DamageCase{"DeflateDataWithDescriptor", true, true,
                   [](Bytes& b, std::size_t at) {
                       for (std::size_t i = at + 30 + 13 + 10; i < at + 30 + 13 + 40; ++i)
                           b[i] = 0xFF;
                   },
                   "fails its CRC check"},
        DamageCase{"DescriptorDisagrees", true, true,
                   [](Bytes& b, std::size_t at) {
                       const std::string next = std::string("PK\x03\x04", 4);
                       auto end = std::search(b.begin() + static_cast<std::ptrdiff_t>(at) + 4, b.end(),
                                              next.begin(), next.end());
                       end[-1] ^= 0x01; // the descriptor's uncompressed size, just before the next entry
                   },
                   "is damaged (its data or headers do not match the directory)"}),
    [](const auto& info) { return std::string(info.param.name); });

// info and File Load over the same archives: the same model and part rows,
// and info succeeds exactly when File Load offers a part; when File Load
// refuses the package, info gives the same cause.
TEST_F(CliInfoTest, InfoAndFileLoadAgreeOnPartsFilesVersionsAndOutcome)
{
    const std::string script = R"(import zipfile, sys, os
D, S, B = zipfile.ZIP_DEFLATED, zipfile.ZIP_STORED, zipfile.ZIP_BZIP2
def info(model, *keys):
    return (' Result Type : %s\r\n' % model + ''.join(' %s : x\r\n' % k for k in keys)).encode()
part = bytes(range(256)) * 20
cases = {
  'v1': [('UpgradeInfo.txt', info('Quorin V1', 'Main Source File Path'), D), ('BH_V1.bin', part[:99], S),
         ('SM_V2.10_20131008.bin', part, D), ('SF_V1.3.bin', part[:7], S)],
  'flat': [('pkg/UpgradeInfo.txt', info('Quorin V1', 'CIS Master Source File Path'), D), ('pkg/', b'', S),
           ('x/SM_V1.bin', part[:10], S), ('y/z/SM_V1.bin', part[:1500], D), ('deep/er/SC_V3.bin', part[:70], D)],
  'v2': [('UpgradeInfo.txt', info('Quorin V2', 'Main Body Source File Path'), S), ('BH_V2.bin', part[:5], S),
         ('SM_V2.01_x.bin', part[:200], D), ('CDM_V1.02.NHB', part[:300], D), ('BC_V1.bin', part[:4], S)],
  'board': [('UpgradeInfo.txt', info('Upgrade Board'), S), ('board.UPH', part[:50], S), ('board.UPB', part[:60], D)],
  'headeronly': [('UpgradeInfo.txt', info('Quorin V1'), S), ('BH_V1.bin', part[:9], S)],
  'unknown': [('UpgradeInfo.txt', info('Quorin V9'), S), ('SM_V1.bin', part[:9], S)],
  'noinfo': [('SM_V1.bin', part[:9], S)],
  'long': [('UpgradeInfo.txt', info('Quorin V1'), S), ('SM_' + 'V' * 40 + '_' + 'n' * 280 + '.bin', part[:3], S)],
  'esc': [('UpgradeInfo.txt', info('Quorin V1'), S), ('SM_\x1b[2J\x07.bin', part[:3], S)],
  'bzip2': [('UpgradeInfo.txt', info('Quorin V1'), B), ('SM_V1.bin', part[:9], S)],
}
for name, entries in cases.items():
    with zipfile.ZipFile(os.path.join(sys.argv[1], name + '.qvp'), 'w') as z:
        for entry, data, method in entries:
            if entry.endswith('/'):
                z.mkdir(entry.rstrip('/'))
            else:
                z.writestr(entry, data, compress_type=method)
)";
    const RunResult made = RunProgram({"/usr/bin/python3", "-c", script, m_dir.string()}, m_dir, 60s);
    ASSERT_EQ(made.exitCode, 0) << made.err;
    for (const char* name :
         {"v1", "flat", "v2", "board", "headeronly", "unknown", "noinfo", "long", "esc", "bzip2"}) {
        const fs::path qvp = m_dir / (std::string(name) + ".qvp");
        const RunResult info = Cli({"info", qvp.string()});

        CHeadlessHost host;
        CUpgradeDlg dlg(host, CAppOptions{});
        dlg.OnInitDialog();
        host.QueueOpenFileAnswer(qvp.string());
        host.Click(IDC_BUTTON_FILE_LOAD);
        std::vector<std::vector<std::string>> rows;
        for (int r = 0; r < host.ListRowCount(IDC_LIST_PART); ++r) {
            std::vector<std::string> row;
            for (int column : {0, 3, 4, 5})
                row.push_back(PrintableName(host.ListGetCell(IDC_LIST_PART, r, column)));
            rows.push_back(row);
        }
        const bool offersAPart = host.Messages().empty() && State(dlg).m_nResultType != RESULT_TYPE_NONE &&
                                 std::any_of(State(dlg).m_strPartFile + 1, State(dlg).m_strPartFile + 6,
                                             [](const std::string& f) { return !f.empty(); });
        EXPECT_EQ(info.exitCode, offersAPart ? 0 : 2) << name << "\n" << info.out << info.err;
        if (!host.Messages().empty()) {
            // "Cannot load the package P: CAUSE." in the window.
            std::string cause = host.Messages()[0].text;
            cause = cause.substr(cause.find(": ") + 2);
            cause.pop_back();
            EXPECT_NE(info.err.find(cause), std::string::npos) << name << ": " << cause << "\n" << info.err;
        } else {
            const char* model = State(dlg).m_nResultType == RESULT_TYPE_QUORIN_V1   ? "Quorin V1"
                                : State(dlg).m_nResultType == RESULT_TYPE_QUORIN_V2 ? "Quorin V2"
                                : State(dlg).m_nResultType == RESULT_TYPE_BOARD     ? "Upgrade Board"
                                                                                    : "unknown";
            const std::string shown = "Package " + qvp.string() + ": " + model + "\n" +
                                      FormatTable({"Part", "File Name", "File Ver", "File Size"}, rows);
            EXPECT_NE(info.out.find(shown), std::string::npos) << name << "\n" << shown << "\n" << info.out;
        }
        EXPECT_EQ(info.out.find('\x1b'), std::string::npos) << name;
        host.CloseWindow();
    }
}

TEST_F(CliInfoTest, APartImageThatCarriesNoPartIsABadPackage)
{
    const fs::path dat = MakeDat({});
    const RunResult r = Cli({"info", dat.string()});
    EXPECT_EQ(r.exitCode, 2) << r.out << r.err;
    EXPECT_NE(r.err.find("the package holds no part"), std::string::npos) << r.err;
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
    // A line break inside the text, not at its end.
    const fs::path broken = MakeDat({{"--main", 1234, "17"}}, "broken.DAT");
    text = ReadFileBytes(broken);
    text.insert(text.begin() + 2 * (80 + 100), '\n');
    WriteFileBytes(broken, text);
    const RunResult shifted = Cli({"info", broken.string()});
    EXPECT_EQ(shifted.exitCode, 2);
    EXPECT_NE(shifted.err.find("Upgrade file is damaged."), std::string::npos) << shifted.err;
    const RunResult missing = Cli({"info", (m_dir / "none.DAT").string()});
    EXPECT_EQ(missing.exitCode, 2);
}

} // namespace
