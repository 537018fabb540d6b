// The pieces of velunda-cli that decide: the message table, the command line
// and the JSON text.
#include "CliTestSupport.h"
#include "cli/CliOptions.h"
#include "cli/Json.h"
#include "cli/Outcome.h"

using namespace clitest;

namespace {

struct MessageCase {
    const char* text;
    int exitCode;
    bool ends;
};

TEST(CliOutcome, EveryWindowMessageMapsToItsExitStatus)
{
    const MessageCase cases[] = {
        {"Upgrade Complete.", 0, true},
        {"Upgrade finished with errors.", 1, true},
        {"The machine stopped responding during the upgrade.", 1, true},
        {"Board upgrade failed.", 1, true},
        {"Download boot error occurred", 1, true},
        {"Upgrade::Erase Fail!", 1, false},
        {"ACK Data Down Protocal Result : FALSE!", 1, true},
        {"ACK SYS Check Protocol Data Size Err", 1, true},
        {"Upgrade Error::Erase Fail!", 1, true},
        {"Machine type and the file type does not match!", 1, true},
        {"USB connection failed!", 3, true},
        {"The machine does not respond to the protocol.", 3, true},
        {"Check boot mode failed.", 3, true},
        {"Upgrade formats of file is not!", 2, true},
        {"Upgrade file is damaged.", 2, true},
        {"Can not find the boot folder (no .OHH boot image in ./Boot)", 2, true},
        {"Cannot load the package x.qvp: bad", 2, true},
        {"No upgrade file.", 2, true},
        {"Error while creating ThreadWatchComm,/dev/ttyS0", 3, true},
    };
    for (const MessageCase& c : cases) {
        const CMessageRule* rule = FindMessageRule(c.text);
        ASSERT_NE(rule, nullptr) << c.text;
        EXPECT_EQ(ExitCodeOf(rule->outcome), c.exitCode) << c.text;
        EXPECT_EQ(rule->endsRun, c.ends) << c.text;
    }
}

TEST(CliOutcome, TextsThatOnlyResembleAMessageDecideNothing)
{
    for (const char* text : {"Upgrade Complete", "upgrade complete.", " Protocol Data Size Err",
                             "Cannot load the package ", "Upgrade Complete. ", ""})
        EXPECT_EQ(FindMessageRule(text), nullptr) << '"' << text << '"';
}

TEST(CliOutcome, AFailureIsNeverHiddenByALaterSuccess)
{
    EXPECT_EQ(WorseOf(ECliOutcome::Failed, ECliOutcome::Success), ECliOutcome::Failed);
    EXPECT_EQ(WorseOf(ECliOutcome::Success, ECliOutcome::Failed), ECliOutcome::Failed);
    EXPECT_EQ(WorseOf(ECliOutcome::None, ECliOutcome::Success), ECliOutcome::Success);
    EXPECT_EQ(WorseOf(ECliOutcome::Rejected, ECliOutcome::ConnectFailed), ECliOutcome::ConnectFailed);
    EXPECT_EQ(ExitCodeOf(ECliOutcome::None), 1);
}

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
    };
    for (const ArgsCase& c : cases) {
        std::vector<std::string> argv = {"velunda-cli"};
        argv.insert(argv.end(), c.args.begin(), c.args.end());
        std::vector<char*> ptrs;
        for (auto& a : argv)
            ptrs.push_back(a.data());
        CCliOptions options;
        std::string error;
        EXPECT_EQ(ParseCliOptions(static_cast<int>(ptrs.size()), ptrs.data(), options, error), c.ok)
            << c.what;
        if (!c.ok)
            EXPECT_FALSE(error.empty()) << c.what;
    }
}

TEST(CliOptions, TheChosenValuesReachTheRun)
{
    std::vector<std::string> argv = {"velunda-cli", "--port", "/dev/pts/9",      "--baud", "38300", "--items",
                                     "ir,cis-s,IR", "--json", "--stall-timeout", "2.5",    "x.qvp"};
    std::vector<char*> ptrs;
    for (auto& a : argv)
        ptrs.push_back(a.data());
    CCliOptions o;
    std::string error;
    ASSERT_TRUE(ParseCliOptions(static_cast<int>(ptrs.size()), ptrs.data(), o, error)) << error;
    EXPECT_EQ(o.port, "/dev/pts/9");
    EXPECT_EQ(o.app.extraPorts, (std::vector<std::string>{"/dev/pts/9"}));
    EXPECT_EQ(o.baud, "38300");
    EXPECT_EQ(o.items, (std::vector<std::string>{"IR", "CIS-S"}));
    EXPECT_TRUE(o.json);
    EXPECT_EQ(o.app.stallTimeoutMs, 2500);
    EXPECT_EQ(o.package, "x.qvp");
}

TEST(CliJson, TextsFromATargetStayValidJson)
{
    const std::string raw = std::string("q\"b\\s\n\x01\xff", 9);
    const std::string line = CJsonObject().Add("text", raw).Add("n", 42).Add("ok", true).Text();
    WriteFileBytes(fs::temp_directory_path() / "velunda-cli-json.txt", Bytes(line.begin(), line.end()));
    const RunResult r = RunProgram({"/usr/bin/python3", "-c",
                                    "import json,sys\n"
                                    "e = json.load(open(sys.argv[1]))\n"
                                    "print([ord(c) for c in e['text']], e['n'], e['ok'])\n",
                                    (fs::temp_directory_path() / "velunda-cli-json.txt").string()},
                                   fs::temp_directory_path(), 30s);
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.out, "[113, 34, 98, 92, 115, 10, 1, 255, 0] 42 True\n") << line;
    fs::remove(fs::temp_directory_path() / "velunda-cli-json.txt");
}

TEST(CliHelp, TheHelpNamesEveryExitStatusAndEveryOption)
{
    const RunResult r = RunProgram({VELUNDA_CLI, "--help"}, fs::temp_directory_path(), 30s);
    EXPECT_EQ(r.exitCode, 0);
    for (const char* word :
         {"--port", "--baud", "--usb-tty", "--items", "--check-only", "--log", "--stall-timeout", "--json",
          "info PACKAGE", "  0  ", "  1  ", "  2  ", "  3  ", "\"Upgrade Complete.\""})
        EXPECT_NE(r.out.find(word), std::string::npos) << word;
}

} // namespace
