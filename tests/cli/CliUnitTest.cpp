// The pieces of velunda-cli that decide: the message table, the command line
// and the JSON text.
#include "CliTestSupport.h"
#include "app/TraceLog.h"
#include "cli/CliOptions.h"
#include "cli/CliReport.h"
#include "cli/ExitStatus.h"
#include "cli/Json.h"
#include "cli/Station.h"
#include "cli/StationEvents.h"

#include "history/RecordTime.h"
#include "history/Sha256.h"

#include <map>
#include <regex>
#include <set>

using namespace clitest;

namespace {

struct MessageCase {
    EMsg id;
    const char* detail;
    const char* text; // as the window shows it
    int exitCode;
    bool ends;
};

TEST(CliOutcome, EveryWindowMessageMapsToItsExitStatus)
{
    // The exit status --help and the README document for each kind.
    const std::map<EResultKind, int> documented = {
        {EResultKind::Success, 0},  {EResultKind::Failed, 1},     {EResultKind::Rejected, 1},
        {EResultKind::BadUsage, 2}, {EResultKind::BadPackage, 2}, {EResultKind::ConnectFailed, 3}};
    for (const auto& [kind, code] : documented)
        EXPECT_EQ(ExitCodeOf(OutcomeOf(kind)), code) << static_cast<int>(kind);
    std::set<EMsg> ids;
    std::set<std::string> texts;
    for (const CMessageEntry& entry : MessageTable()) {
        EXPECT_TRUE(ids.insert(entry.id).second) << entry.text;
        EXPECT_TRUE(texts.insert(entry.text).second) << entry.text;
        EXPECT_EQ(&MessageEntry(entry.id), &entry) << entry.text;
        EXPECT_EQ(documented.count(entry.kind), 1U) << entry.text;
    }
    EXPECT_EQ(ids.size(), static_cast<std::size_t>(EMsg::NoUpgradeFile) + 1);

    const MessageCase cases[] = {
        {EMsg::UpgradeComplete, "", "Upgrade Complete.", 0, true},
        {EMsg::FinishedWithErrors, "", "Upgrade finished with errors.", 1, true},
        {EMsg::MachineStopped, "", "The machine stopped responding during the upgrade.", 1, true},
        {EMsg::BoardFailed, "", "Board upgrade failed.", 1, true},
        {EMsg::BootDownloadError, "", "Download boot error occurred", 1, true},
        {EMsg::EraseFailed, "", "Upgrade::Erase Fail!", 1, false},
        {EMsg::AckResultFalse, "ACK Data Down Protocal", "ACK Data Down Protocal Result : FALSE!", 1, true},
        {EMsg::AckDataSize, "ACK SYS Check", "ACK SYS Check Protocol Data Size Err", 1, true},
        {EMsg::EraseActive, "", "Upgrade Error::Erase Fail!", 1, true},
        {EMsg::ModelMismatch, "", "Machine type and the file type does not match!", 1, true},
        {EMsg::UsbConnectFailed, "", "USB connection failed!", 3, true},
        {EMsg::NoProtocolAnswer, "", "The machine does not respond to the protocol.", 3, true},
        {EMsg::BootModeFailed, "", "Check boot mode failed.", 3, true},
        {EMsg::UnknownFileFormat, "", "Upgrade formats of file is not!", 2, true},
        {EMsg::PartImageDamaged, "", "Upgrade file is damaged.", 2, true},
        {EMsg::NoBootFolder, " (no .OHH boot image in ./Boot)",
         "Can not find the boot folder (no .OHH boot image in ./Boot)", 2, true},
        {EMsg::PackageNotLoaded, "x.qvp: bad", "Cannot load the package x.qvp: bad", 2, true},
        {EMsg::NoUpgradeFile, "", "No upgrade file.", 2, true},
        {EMsg::SerialThreadFailed, "/dev/ttyS0", "Error while creating ThreadWatchComm,/dev/ttyS0", 3, true},
    };
    for (const MessageCase& c : cases) {
        EXPECT_EQ(MessageText(c.id, c.detail), c.text);
        EXPECT_EQ(ExitCodeOf(OutcomeOf(MessageEntry(c.id).kind)), c.exitCode) << c.text;
        EXPECT_EQ(MessageEntry(c.id).endsRun, c.ends) << c.text;
    }
}

TEST(CliOutcome, AFailureIsNeverHiddenByALaterSuccess)
{
    EXPECT_EQ(WorseOf(ECliOutcome::Failed, ECliOutcome::Success), ECliOutcome::Failed);
    EXPECT_EQ(WorseOf(ECliOutcome::Success, ECliOutcome::Failed), ECliOutcome::Failed);
    EXPECT_EQ(WorseOf(ECliOutcome::None, ECliOutcome::Success), ECliOutcome::Success);
    EXPECT_EQ(WorseOf(ECliOutcome::Rejected, ECliOutcome::ConnectFailed), ECliOutcome::ConnectFailed);
    EXPECT_EQ(ExitCodeOf(ECliOutcome::None), 1);
}

// A command line as main gets it, after the program's name.
class CArgv {
public:
    explicit CArgv(const std::vector<std::string>& args) : m_texts(args)
    {
        m_texts.insert(m_texts.begin(), "velunda-cli");
        for (auto& text : m_texts)
            m_values.push_back(text.data());
    }
    CArgv(const CArgv&) = delete;
    CArgv& operator=(const CArgv&) = delete;
    int Count() const { return static_cast<int>(m_values.size()); }
    char** Values() { return m_values.data(); }

private:
    std::vector<std::string> m_texts;
    std::vector<char*> m_values;
};

struct ArgsCase {
    std::vector<std::string> args;
    bool ok;
    const char* what;
};

TEST(CliOptions, CommandLinesAreAcceptedOrRefusedWithAReason)
{
    const ArgsCase cases[] = {
        {{"p.DAT"}, true, "a package alone"},
        {{"--port", "USB", "--items", "main,cis m,CF", "p.DAT"}, true, "items in any spelling"},
        {{"--port", "/dev/pts/3", "--baud", "115200", "b.qvp"}, true, "a board on a serial path"},
        {{"info", "p.qvp"}, true, "info"},
        {{}, false, "no package"},
        {{"a.DAT", "b.DAT"}, false, "two packages"},
        {{"--items", "MAIN,XY", "p.DAT"}, false, "an unknown item"},
        {{"--baud", "fast", "p.DAT"}, false, "a baud rate that is no number"},
        {{"--port", "/dev/a", "--port", "/dev/b", "p.qvp"}, false, "two ports"},
        {{"--check-only", "--items", "MAIN", "p.DAT"}, false, "items with --check-only"},
        {{"--stall-timeout", "0", "p.DAT"}, false, "a zero stall time-out"},
        {{"--frobnicate", "p.DAT"}, false, "an unknown option"},
        {{"--log"}, false, "an option without its value"},
        {{"--allow-serial", "A1, B2", "--skip-current", "p.qvp"}, true, "an allow list and --skip-current"},
        {{"--allow-serial", " , ", "p.qvp"}, false, "an allow list that names nothing"},
        {{"history", "--serial", "A1", "--since", "2026-12-01", "--json"}, true, "history with its filters"},
        {{"history", "p.DAT"}, false, "history with a package"},
        {{"--serial", "A1", "p.DAT"}, false, "a history filter on an upgrade"},
        {{"-q", "--no-history", "p.DAT"}, true, "quiet, without history"},
        {{"--port=/dev/pts/3", "--baud=115200", "--items=MAIN", "b.qvp"}, true, "values after '='"},
        {{"--json", "--", "-p.DAT"}, true, "a package named like an option after --"},
        {{"--json=yes", "p.DAT"}, false, "a flag given a value"},
        {{"--verb", "p.DAT"}, false, "an option cut short"},
        {{"-qx", "p.DAT"}, false, "an unknown letter among flags"},
        {{"--port", "USB", "--port=USB", "p.DAT"}, false, "USB twice"},
    };
    for (const ArgsCase& c : cases) {
        CArgv argv(c.args);
        CCliOptions options;
        std::string error;
        EXPECT_EQ(ParseCliOptions(argv.Count(), argv.Values(), options, error), c.ok) << c.what;
        if (!c.ok) {
            EXPECT_FALSE(error.empty()) << c.what;
        }
    }
}

TEST(CliOptions, TheChosenValuesReachTheRun)
{
    CArgv argv({"--port", "/dev/pts/9", "--baud", "38300", "--items", "ir,cis-s,IR", "--json",
                "--stall-timeout", "2.5", "x.qvp"});
    CCliOptions o;
    std::string error;
    ASSERT_TRUE(ParseCliOptions(argv.Count(), argv.Values(), o, error)) << error;
    EXPECT_EQ(o.port, "/dev/pts/9");
    EXPECT_EQ(o.app.extraPorts, (std::vector<std::string>{"/dev/pts/9"}));
    EXPECT_EQ(o.baud, "38300");
    EXPECT_EQ(o.items, (std::vector<std::string>{"IR", "CIS-S"}));
    EXPECT_TRUE(o.json);
    EXPECT_EQ(o.app.stallTimeoutMs, 2500);
    EXPECT_EQ(o.package, "x.qvp");
    // --usb-port names the bridge's port as --usb-tty does.
    CArgv usb({"--usb-port", "/dev/ttyUSB3", "x.DAT"});
    CCliOptions u;
    ASSERT_TRUE(ParseCliOptions(usb.Count(), usb.Values(), u, error)) << error;
    EXPECT_EQ(u.app.usbTty, "/dev/ttyUSB3");
}

// The parser every program shares: the forms of a value, the end of the
// options, what is left to the caller, and its one error style.
TEST(OptionTable, EveryFormIsTakenAndEveryMistakeNamedOneWay)
{
    struct Case {
        std::vector<std::string> args;
        bool passOn; // unknown options are left to the caller
        const char* result;
    };
    const Case cases[] = {
        {{"--name", "a", "-v", "x"}, false, "name=a v x"},
        {{"--name=a=b", "y", "--name="}, false, "name=a=b y name="},
        {{"-na", "-vv", "-vnb"}, false, "name=a v v v name=b"},
        {{"-n", "-v", "--name", "--verbose"}, false, "name=-v name=--verbose"},
        {{"--", "--name", "-v"}, false, "--name -v"},
        {{"-", "x", "--", "--"}, false, "- x --"},
        {{"--help", "--bogus"}, false, "help"},
        {{"--bogus", "--help"}, false, "error: unknown option '--bogus'"},
        {{"--bogus=1"}, false, "error: unknown option '--bogus'"},
        {{"--nam", "a"}, false, "error: unknown option '--nam'"},
        {{"--nam"}, false, "error: unknown option '--nam'"},
        {{"--verb=1"}, false, "error: unknown option '--verb'"},
        {{"-x"}, false, "error: unknown option '-x'"},
        {{"-vx"}, false, "error: unknown option '-x'"},
        {{"--name"}, false, "error: option '--name' needs a value"},
        {{"-vn"}, false, "error: option '-n' needs a value"},
        {{"--verbose=1"}, false, "error: option '--verbose' takes no value"},
        {{"--verbose=true"}, false, "error: option '--verbose' takes no value"},
        {{"--verbose="}, false, "error: option '--verbose' takes no value"},
        {{"--name=", "-v", "--name=", "x"}, false, "name= v name= x"},
        {{"--bogus", "--name"}, false, "error: unknown option '--bogus'"},
        {{"--name", "bad"}, false, "error: not a good name"},
        {{"--other", "x", "-av", "--name=a", "--nam", "b", "--o=1"},
         true,
         "x name=a | --other -av --nam b --o=1"},
        {{"--verbose=1"}, true, "error: option '--verbose' takes no value"},
    };
    for (const Case& c : cases) {
        std::string taken;
        const auto note = [&taken](const std::string& what) { taken += (taken.empty() ? "" : " ") + what; };
        const COptionTable table = {
            {"name", 'n', true,
             [&](const std::string& v, std::string& error) {
                 error = v == "bad" ? "not a good name" : "";
                 note("name=" + v);
                 return error.empty();
             }},
            {"verbose", 'v', false, [&](const std::string&, std::string&) { return note("v"), true; }},
            {"help", 0, false, [&](const std::string&, std::string&) { return note("help"), true; }, true}};
        std::vector<std::string> left;
        COptionParse how;
        how.positional = [&](const std::string& arg, std::string&) { return note(arg), true; };
        how.unknown = c.passOn ? &left : nullptr;
        std::vector<std::string> argv = {"prog"};
        argv.insert(argv.end(), c.args.begin(), c.args.end());
        std::string error;
        std::string result = ParseOptions(argv, table, how, error) ? taken : "error: " + error;
        for (std::size_t i = 0; i < left.size(); ++i)
            result += (i == 0 ? " | " : " ") + left[i];
        EXPECT_EQ(result, c.result) << c.args.front();
    }
}

// The help's option lines: a short name padded to the column, a long one
// with its description two blanks on or on the next line, every further
// line of a description under the first.
TEST(OptionTable, HelpLinesAreLaidOutFromTheRows)
{
    const COptionTable table = {
        {.name = "quiet", .letter = 'q', .help = "say less"},
        {.name = "hidden", .takesValue = true},
        {.name = "device", .takesValue = true, .valueName = "SERIAL|BUS-PORT", .help = "the bridge\nto use"}};
    EXPECT_EQ(OptionHelp(table, {16, false}),
              "  -q, --quiet   say less\n  --device SERIAL|BUS-PORT  the bridge\n                to use\n");
    EXPECT_EQ(OptionHelp(table, {16, true}), "  -q, --quiet   say less\n  --device SERIAL|BUS-PORT\n"
                                             "                the bridge\n                to use\n");
}

// Station mode reads the CLI's rows: the targets are its own, every other
// option is passed on to each worker.
TEST(CliStationOptions, TargetsStayAndTheRestGoesToEveryWorker)
{
    struct Case {
        std::vector<std::string> args;
        const char* result; // the targets, then the workers' options; or the error
    };
    const Case cases[] = {
        {{"--station", "--usb-tty=/dev/a", "--usb-device", "1-2", "-q", "--items=MAIN", "--json", "p.DAT"},
         "--usb-tty /dev/a, --usb-device 1-2 | --quiet --items MAIN p.DAT"},
        {{"station", "--port", "/dev/b", "--port", "USB", "--", "-p.DAT"},
         "--port /dev/b | --port USB ./-p.DAT"},
        {{"--station", "--usb-tty", "/dev/a", "--usb-tty=/dev/a", "p.DAT"},
         "the target /dev/a is given twice"},
        {{"--station", "p.DAT"},
         "--station needs its machines: --usb-tty PATH, --port PATH or --usb-device ID (each may be "
         "repeated), "
         "or --all-devices"},
        {{"--station", "--all-devices", "--help"}, "--help does not combine with --station"},
        {{"--station", "--all-devices", "--bogus", "p.DAT"}, "unknown option '--bogus'"},
        {{"--station", "--all-devices", "--skip-current=1", "p.DAT"},
         "option '--skip-current' takes no value"},
        {{"--station", "--all-devices", "info", "p.DAT"}, "--station runs upgrades and checks only"},
    };
    for (const Case& c : cases) {
        CArgv argv(c.args);
        CStationOptions options;
        std::string result;
        if (ParseStationOptions(argv.Count(), argv.Values(), options, result)) {
            for (const CStationTarget& t : options.targets)
                result += (result.empty() ? "" : ", ") + t.option + " " + t.value;
            result += " |";
            for (const std::string& a : options.workerArgs)
                result += " " + a;
        }
        EXPECT_EQ(result, c.result) << c.args.at(1);
    }
}

TEST(CliJson, TextsFromATargetStayValidJson)
{
    const std::string raw = std::string("q\"b\\s\n\x01\xff", 9);
    const std::string line = CJsonObject().Add("text", raw).Add("n", 42).Add("ok", true).Text();
    const CTempFolder dir;
    const RunResult r = RunProgram({"/usr/bin/python3", "-c",
                                    "import json,sys\n"
                                    "e = json.load(open(sys.argv[1]))\n"
                                    "print([ord(c) for c in e['text']], e['n'], e['ok'])\n",
                                    dir.Write("json.txt", Bytes(line.begin(), line.end()))},
                                   dir.Path(), 30s);
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.out, "[113, 34, 98, 92, 115, 10, 1, 255, 0] 42 True\n") << line;
}

// What the station reads from a worker: a part may be named "item" or
// "part"; anything that is not an event object is no event.
TEST(CliStationEvents, WorkerLinesAreReadOrRefused)
{
    struct Case {
        const char* line;
        bool ok;
        const char* kind;
        const char* item;
        int percent;
    };
    const Case cases[] = {
        {R"({"event":"item_result","part":"CIS M","result":"Complete"})", true, "item_result", "CIS M", -1},
        {R"({"event":"item_result","item":"CDM","result":"Upgrade fail"})", true, "item_result", "CDM", -1},
        {R"({"event":"progress","item":"MAIN","row":"Erase","percent":40})", true, "progress", "MAIN", 40},
        {R"({"event":"progress","item":"MAIN","percent":"40"})", true, "progress", "MAIN", -1},
        {R"({"text":"no event name"})", false, "", "", -1},
        {R"(["event","note"])", false, "", "", -1},
        {"Upgrade Complete.", false, "", "", -1},
        {R"({"event":"note","text":"cut off)", false, "", "", -1},
    };
    for (const Case& c : cases) {
        CWorkerEvent e;
        EXPECT_EQ(ParseWorkerEvent(c.line, e), c.ok) << c.line;
        EXPECT_EQ(e.kind, c.kind) << c.line;
        EXPECT_EQ(e.item, c.item) << c.line;
        EXPECT_EQ(e.percent, c.percent) << c.line;
    }
    CWorkerEvent outcome;
    ASSERT_TRUE(
        ParseWorkerEvent(R"({"event":"outcome","result":"failed","exit_code":1,"reason":"x"})", outcome));
    EXPECT_EQ(outcome.result, "failed");
    EXPECT_EQ(outcome.exitCode, 1);
    EXPECT_EQ(outcome.text, "x");
    // Passed on with the target added and every other field as it came.
    EXPECT_EQ(WithTarget(outcome.object, "/dev/pts/4"),
              R"({"event":"outcome","result":"failed","exit_code":1,"reason":"x","target":"/dev/pts/4"})");
}

TEST(CliHelp, TheHelpNamesEveryExitStatusAndEveryOption)
{
    const RunResult r = RunProgram({TestPath("VELUNDA_CLI"), "--help"}, fs::temp_directory_path(), 30s);
    EXPECT_EQ(r.exitCode, 0);
    for (const char* word :
         {"--port", "--baud", "--usb-tty", "--items", "--check-only", "--log", "--stall-timeout", "--json",
          "info PACKAGE", "  0  ", "  1  ", "  2  ", "  3  ", "\"Upgrade Complete.\""})
        EXPECT_NE(r.out.find(word), std::string::npos) << word;
    CCliOptions unused;
    for (const COption& row : CliOptionRows(unused))
        EXPECT_NE(r.out.find("--" + row.name), std::string::npos) << row.name;
}

} // namespace

namespace {

TEST(CliJson, Utf8StaysAsItIsAndOtherBytesAreReadAsLatin1)
{
    struct Case {
        std::string in;
        std::string out;
    };
    const Case cases[] = {
        {"Pr\xC3\xBC"
         "fung-\xC3\xA9.QVP",
         "Pr\xC3\xBC"
         "fung-\xC3\xA9.QVP"},                        // valid UTF-8: unchanged
        {"SN\xE9", "SN\xC3\xA9"},                     // Latin-1 e-acute
        {"\xC3", "\xC3\x83"},                         // a lead byte alone
        {"\xC0\xAF", "\xC3\x80\xC2\xAF"},             // an overlong form
        {"\xED\xA0\x80", "\xC3\xAD\xC2\xA0\xC2\x80"}, // a surrogate
        {"\xF0\x9F\x98\x80", "\xF0\x9F\x98\x80"},     // four bytes, valid
        {"plain", "plain"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(JsonText(c.in), c.out) << ::testing::PrintToString(c.in);
}

TEST(CliRecords, Sha256MatchesTheStandardVectorsAndCoreutils)
{
    auto hex = [](const std::string& text) {
        CSha256 sha;
        sha.Update(reinterpret_cast<const std::uint8_t*>(text.data()), text.size());
        return sha.HexDigest();
    };
    EXPECT_EQ(hex(""), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
    EXPECT_EQ(hex("abc"), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    // 56 bytes: the length no longer fits in the first block.
    EXPECT_EQ(hex("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq"),
              "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1");
    // Sizes around the block edges, against sha256sum.
    const CTempFolder dir;
    const fs::path file = dir / "sha";
    for (std::size_t size : {63u, 64u, 65u, 119u, 120u, 70000u}) {
        WriteFileBytes(file, Pattern(size, static_cast<unsigned>(size)));
        const RunResult sum =
            RunProgram({"/usr/bin/sha256sum", file.string()}, fs::temp_directory_path(), 30s);
        std::uint64_t read = 0;
        EXPECT_EQ(Sha256OfFile(file.string(), &read), sum.out.substr(0, 64)) << size;
        EXPECT_EQ(read, size);
    }
    fs::remove(file);
    EXPECT_EQ(Sha256OfFile(file.string()), "");
}

TEST(CliRecords, SinceTakesADateOrAUtcTimeAndNothingElse)
{
    const std::pair<const char*, const char*> cases[] = {
        {"2026-12-09", "2026-12-09T00:00:00"},
        {"2026-12-09T10:30", "2026-12-09T10:30:00"},
        {"2026-12-09T10:30:05", "2026-12-09T10:30:05"},
        {"2026-12-09T10:30:05Z", "2026-12-09T10:30:05"},
        {"2026-13-01", ""},
        {"yesterday", ""},
        {"2026-12-9", ""},
        {"2026-12-09T25:00", ""},
        {"", ""},
    };
    for (const auto& [in, out] : cases)
        EXPECT_EQ(SinceBound(in), out) << in;
    EXPECT_TRUE(std::regex_match(Rfc3339Now(), std::regex(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z)")));
}

TEST(CliReport, BarsFitTheWidthTheyAreGiven)
{
    const CProgressRowView row{"Data Download", 40, true};
    for (int columns : {20, 30, 40, 60, 80, 200}) {
        const std::string line = BarLine(row, columns);
        EXPECT_LT(static_cast<int>(line.size()), columns > 30 ? columns : 30) << columns << ": " << line;
        EXPECT_NE(line.find(" 40 %"), std::string::npos) << line;
    }
    EXPECT_EQ(BarLine(row, 20).find('['), std::string::npos); // too narrow for a bar
    EXPECT_NE(BarLine(row, 80).find("[####"), std::string::npos);
}

// The report's text as a terminal would receive it.
std::string ReportText(bool bars, bool quiet)
{
    std::FILE* out = std::tmpfile();
    CCliReport report(false, bars, out, out);
    report.SetQuiet(quiet);
    report.SetColumns(60);
    report.Note("loaded");
    report.ItemStart("MAIN");
    std::vector<CProgressRowView> rows = {{"Boot Download", 100, true}, {"Data Download", 0, true}};
    for (int pct : {50, 100}) {
        rows[1].percent = pct;
        report.Progress(1, rows, "MAIN");
    }
    report.ItemResult("MAIN", "Complete");
    report.Message("Upgrade Complete.", false);
    report.EndProgress();
    report.Outcome(ECliOutcome::Success, "Upgrade Complete.");
    std::string text;
    std::rewind(out);
    for (int c; (c = std::fgetc(out)) != EOF;)
        text.push_back(static_cast<char>(c));
    std::fclose(out);
    return text;
}

TEST(CliReport, TheFinalBarsStandBeforeTheOutcomeAndOnlyATerminalGetsCursorMoves)
{
    const std::string terminal = ReportText(true, false);
    const auto lastBar = terminal.rfind("100 %");
    const auto outcome = terminal.find("velunda-cli: success");
    ASSERT_NE(lastBar, std::string::npos) << terminal;
    EXPECT_LT(lastBar, terminal.find("MAIN: Complete")) << terminal;
    EXPECT_LT(terminal.find("Upgrade Complete.\n"), outcome) << terminal;
    // Nothing is erased after the result: the cursor never goes up again.
    EXPECT_EQ(terminal.find("\x1b[", terminal.find("MAIN: Complete")), std::string::npos) << terminal;

    const std::string pipe = ReportText(false, false);
    EXPECT_EQ(pipe.find('\x1b'), std::string::npos) << pipe;
    EXPECT_NE(pipe.find("  MAIN Data Download 100 %\n"), std::string::npos) << pipe;

    // -q: the message boxes and the outcome, nothing else.
    EXPECT_EQ(ReportText(true, true),
              "Upgrade Complete.\nvelunda-cli: success: Upgrade Complete. (exit status 0)\n");
}

TEST(CliRecords, ANewSessionLogLeavesTheNewestFiftyAndOtherFilesAlone)
{
    const CTempFolder folder;
    const fs::path dir = folder.Path();
    for (int i = 0; i < 55; ++i) {
        char name[64];
        std::snprintf(name, sizeof name, "velunda-20260101T0000%02dZ-1.log", i);
        WriteFileBytes(dir / name, {'x'});
    }
    WriteFileBytes(dir / "notes.txt", {'n'});
    const std::string path = NewSessionLogPath(dir.string(), 50);
    ASSERT_FALSE(path.empty());
    EXPECT_EQ(fs::path(path).parent_path(), dir);
    const auto left = ListTree(dir);
    EXPECT_EQ(left.size(), 50u); // 49 old logs and the note; the new log makes 50
    EXPECT_EQ(left.front(), "notes.txt");
    EXPECT_EQ(left[1], "velunda-20260101T000006Z-1.log"); // the six oldest went
}

TEST(CliVersion, EveryProgramAnswersVersionWithoutADisplay)
{
    std::vector<std::pair<std::string, std::string>> programs = {{"velunda-cli", TestPath("VELUNDA_CLI")},
                                                                 {"velunda-pack", TestPath("VELUNDA_PACK")},
                                                                 {"quorin-sim", TestPath("QUORIN_SIM")}};
    const std::string window = OptionalTestPath("VELUNDA_GUI");
    if (!window.empty())
        programs.push_back({"velunda", window});
    // No display of any kind: the window must answer before it needs one.
    ::unsetenv("DISPLAY");
    ::unsetenv("WAYLAND_DISPLAY");
    ::unsetenv("QT_QPA_PLATFORM");
    for (const auto& [name, path] : programs) {
        const RunResult r = RunProgram({path, "--version"}, fs::temp_directory_path(), 30s);
        EXPECT_EQ(r.exitCode, 0) << name << r.err;
        EXPECT_TRUE(std::regex_match(
            r.out, std::regex(name + R"( \d+\.\d+\.\d+( \(git [0-9a-f]+(-modified)?\))?\n)")))
            << name << ": " << r.out;
    }
    if (window.empty())
        return;
    const RunResult help = RunProgram({window, "--help"}, fs::temp_directory_path(), 30s);
    EXPECT_EQ(help.exitCode, 0) << help.err;
    EXPECT_NE(help.out.find("--version"), std::string::npos);
    // Written from the shared rows, every one of them.
    EXPECT_EQ(help.out, WindowHelpText());
    CAppOptions unused;
    for (const COption& row : AppOptionRows(unused))
        EXPECT_NE(help.out.find("  --" + row.name + " "), std::string::npos) << row.name;
}

} // namespace
