#include "SimConfig.h"

#include "options/OptionTable.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <functional>
#include <map>

namespace {

const char* const kPartNames[6] = {"IR", "CF", "CIS-M", "CIS-S", "MAIN", "CDM"};

std::string Upper(std::string s)
{
    for (char& c : s)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return s;
}

bool ParseInt(const std::string& text, long min, long max, long& out)
{
    if (text.empty())
        return false;
    long value = 0;
    const char* first = text.data();
    const char* last = text.data() + text.size();
    int base = 10;
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        first += 2;
        base = 16;
    }
    auto [ptr, ec] = std::from_chars(first, last, value, base);
    if (ec != std::errc() || ptr != last || value < min || value > max)
        return false;
    out = value;
    return true;
}

std::vector<std::string> Split(const std::string& text, char sep)
{
    std::vector<std::string> parts;
    std::string cur;
    for (char c : text) {
        if (c == sep) {
            parts.push_back(cur);
            cur.clear();
        } else {
            cur.push_back(c);
        }
    }
    parts.push_back(cur);
    return parts;
}

bool Contains(const std::vector<std::string>& list, const std::string& s)
{
    return std::find(list.begin(), list.end(), s) != list.end();
}

std::string JoinKinds(const std::vector<std::string>& kinds)
{
    std::string out;
    for (const auto& k : kinds)
        out += (out.empty() ? "" : ", ") + k;
    return out;
}

// "kind" or "kind:N" with N >= 1.
bool ParsePoint(const std::string& text, const std::vector<std::string>& kinds, CSimPoint& out,
                std::string& error)
{
    const auto colon = text.find(':');
    out.kind = text.substr(0, colon);
    out.occurrence = 0;
    if (!Contains(kinds, out.kind)) {
        error = "unknown kind '" + out.kind + "' (expected one of: " + JoinKinds(kinds) + ")";
        return false;
    }
    if (colon != std::string::npos) {
        long n = 0;
        if (!ParseInt(text.substr(colon + 1), 1, 1000000000, n)) {
            error = "bad occurrence in '" + text + "' (expected KIND:N with N >= 1)";
            return false;
        }
        out.occurrence = static_cast<int>(n);
    }
    return true;
}

bool ParseItem(const std::string& text, int& out)
{
    static const std::map<std::string, int> names = {{"IR", 1},       {"CF", 2},    {"CIS-M", 3},
                                                     {"CIS-S", 4},    {"MAIN", 5},  {"CDM", 11},
                                                     {"MAIN-V2", 12}, {"BOARD", 20}};
    const auto it = names.find(Upper(text));
    if (it != names.end()) {
        out = it->second;
        return true;
    }
    long n = 0;
    if (!ParseInt(text, 0, 255, n))
        return false;
    out = static_cast<int>(n);
    return true;
}

std::vector<std::string> Concat(const std::vector<std::string>& a, const std::vector<std::string>& b)
{
    std::vector<std::string> out = a;
    out.insert(out.end(), b.begin(), b.end());
    return out;
}

// Acknowledgements and notices whose single payload byte is a result.
const std::vector<std::string>& ResultKinds()
{
    static const std::vector<std::string> kinds = {
        "board-check", "up-index",  "boot-down",  "boot-end",    "data-down",    "data-end",
        "finish",      "erase-end", "erase-fail", "program-end", "program-fail", "verify-end"};
    return kinds;
}

const std::vector<std::string>& RefuseKinds()
{
    static const std::vector<std::string> kinds = {"ready", "erase", "start", "block", "end", "finish"};
    return kinds;
}

} // namespace

const std::vector<std::string>& MachineRequestKinds()
{
    static const std::vector<std::string> kinds = {"board-check", "sys-check", "up-index", "boot-down",
                                                   "boot-end",    "data-down", "data-end", "finish"};
    return kinds;
}

const std::vector<std::string>& MachineNoticeKinds()
{
    static const std::vector<std::string> kinds = {
        "serial",       "erase-start", "erase-step",   "erase-end",    "erase-fail",  "program-start",
        "program-step", "program-end", "program-fail", "verify-start", "verify-step", "verify-end"};
    return kinds;
}

const std::vector<std::string>& BoardKinds()
{
    static const std::vector<std::string> kinds = {"probe", "boot",  "ready", "erase",
                                                   "start", "block", "end",   "finish"};
    return kinds;
}

std::string DefaultSysRecord(int model, const std::string& boardVersion)
{
    // Groups: IR, CF, CIS M, CIS S, MAIN, CDM.
    const std::string v1 = "YYYYYYYYYYYYYYYNNN";
    const std::string v2 = "NNNNNNNNNNNNYYYYYY";
    return (model == 2 ? v2 : v1) + boardVersion;
}

std::vector<std::uint8_t> BuildSerialText(const std::string& separator, const std::string& serial,
                                          const std::vector<std::string>& versions)
{
    std::string text = separator + serial + separator;
    for (const auto& v : versions)
        text += v;
    return std::vector<std::uint8_t>(text.begin(), text.end());
}

bool ParseSimDuration(const std::string& text, SimDuration& out)
{
    std::size_t digits = 0;
    while (digits < text.size() && std::isdigit(static_cast<unsigned char>(text[digits])))
        ++digits;
    if (digits == 0 || digits > 9)
        return false;
    long value = 0;
    if (!ParseInt(text.substr(0, digits), 0, 999999999, value))
        return false;
    const std::string unit = text.substr(digits);
    if (unit.empty() || unit == "ms")
        out = std::chrono::milliseconds(value);
    else if (unit == "us")
        out = std::chrono::microseconds(value);
    else if (unit == "s")
        out = std::chrono::seconds(value);
    else
        return false;
    return true;
}

bool ParseSimHex(const std::string& text, std::vector<std::uint8_t>& out)
{
    std::string digits;
    for (char c : text) {
        if (c == ' ' || c == ',' || c == ':')
            continue;
        if (!std::isxdigit(static_cast<unsigned char>(c)))
            return false;
        digits.push_back(c);
    }
    if (digits.empty() || digits.size() % 2 != 0)
        return false;
    out.clear();
    for (std::size_t i = 0; i < digits.size(); i += 2)
        out.push_back(static_cast<std::uint8_t>(std::stoul(digits.substr(i, 2), nullptr, 16)));
    return true;
}

namespace {

// The help around the option lines, which come from kSimOptions.
const char* const kSimHelpIntro = R"(Usage: quorin-sim [machine|board] [OPTIONS]

A virtual target on a pseudo-terminal. It prints the slave path on the first
line of stdout; point the tool at that path (USB: --usb-tty PATH, serial:
--port PATH). It runs until interrupted or until an unplug fault fires.

Modes:
  machine              (default) a Quorin V1/V2 machine speaking the frame
                       protocol: board check, SYS Check, item download,
                       erase/program/verify notices, Upgrade Finish
  board                the upgrade board's bootloader: probe 'A', boot image
                       byte by byte, READY, ERASE A..J, START, 1024-byte
                       blocks, END, finish record

Common options:
)";
const char* const kSimHelpCommonEnd =
    R"(  Options take their value as the next argument or after '=' (--model=2);
  '--' ends the options.

Machine options:
)";
const char* const kSimHelpMachineEnd = R"(
  Machine kinds: requests board-check, sys-check, up-index, boot-down,
  boot-end, data-down, data-end, finish (their answers carry the same name);
  notices serial, erase-start, erase-step, erase-end, erase-fail,
  program-start, program-step, program-end, program-fail, verify-start,
  verify-step, verify-end. N counts over the whole session.

Board options:
)";
const char* const kSimHelpEnd = R"(
  Board kinds: probe, boot (one per boot-image byte), ready, erase (N = 1 for
  ERASE A .. 10 for ERASE J), start, block, end, finish. --unplug-at probe
  vanishes on the probe before answering it with 'A'.

Records (--record-dir): machine: <item>-boot.bin, <item>-data.bin per item
code, frames.log (one line per received frame: command subcommand length, in
hex, hex, decimal), errors.log. Board: board-boot.bin, board-body.bin,
board-finish.bin, board.log (one line per message), board-baud.log (line
speed seen at probe, boot and READY), errors.log.

Exit status: 0 after an interrupt or an unplug, 1 when the pty cannot be set
up, 2 for a bad command line.
)";

} // namespace

namespace {

// What a parse gathers beyond the settings themselves.
struct CSimParse {
    explicit CSimParse(CSimConfig& config) : cfg(config) {}

    CSimConfig& cfg;
    bool board = false;
    bool help = false;
    std::vector<std::string> machineAnswerKinds = Concat(MachineRequestKinds(), MachineNoticeKinds());
    std::string boardVersion = "123";
    std::string rawRecord;
    std::string partsList;
    bool haveParts = false;
    std::string serial = "QV2024001";
    std::string separator = "##";
    std::vector<std::string> versions = {"1.0.01", "1.0.02", "1.0.03", "1.0.04", "1.0.05"};
    bool haveSerialPayload = false;

    const std::vector<std::string>& AnswerKinds() const { return board ? BoardKinds() : machineAnswerKinds; }
    const std::vector<std::string>& RequestKinds() const
    {
        return board ? BoardKinds() : MachineRequestKinds();
    }
};

bool PointInto(const std::string& v, const std::vector<std::string>& kinds, std::vector<CSimPoint>& into,
               std::string& error)
{
    CSimPoint point;
    if (!ParsePoint(v, kinds, point, error))
        return false;
    into.push_back(point);
    return true;
}

bool DurationInto(const std::string& v, SimDuration& into, std::string& error)
{
    if (ParseSimDuration(v, into))
        return true;
    error = "bad duration '" + v + "' (expected e.g. 50ms, 250us, 2s)";
    return false;
}

bool CountInto(const std::string& v, long min, long max, int& into, std::string& error, const char* expected)
{
    long n = 0;
    if (!ParseInt(v, min, max, n)) {
        error = expected;
        return false;
    }
    into = static_cast<int>(n);
    return true;
}

bool TextInto(const std::string& v, std::size_t size, std::string& into, std::string& error,
              const char* expected)
{
    into = v;
    error = expected;
    return v.size() == size;
}

bool PathInto(const std::string& v, std::string& into, std::string& error)
{
    into = v;
    error = "an empty path";
    return !v.empty();
}

// --delay and --late: KIND[:N]=DURATION.
bool DelayInto(const CSimParse& p, const std::string& v, std::vector<CSimDelayRule>& into, std::string& error)
{
    const auto eq = v.rfind('=');
    CSimDelayRule rule;
    if (eq == std::string::npos) {
        error = "expected KIND[:N]=DURATION, e.g. data-down=50ms";
        return false;
    }
    if (!ParsePoint(v.substr(0, eq), p.AnswerKinds(), rule.point, error) ||
        !DurationInto(v.substr(eq + 1), rule.delay, error))
        return false;
    into.push_back(rule);
    return true;
}

bool ReplaceInto(const CSimParse& p, const std::string& v, std::string& error)
{
    CSimStrayRule rule;
    const auto eq = v.rfind('=');
    if (eq == std::string::npos) {
        error = "expected KIND[:N]=HEX, e.g. ready=\"01 00 01 06 04\"";
        return false;
    }
    if (!ParsePoint(v.substr(0, eq), p.AnswerKinds(), rule.point, error))
        return false;
    const std::string hex = v.substr(eq + 1);
    error = "bad hexadecimal bytes '" + hex + "'";
    if (!ParseSimHex(hex, rule.bytes))
        return false;
    p.cfg.replaces.push_back(rule);
    return true;
}

bool StrayInto(const CSimParse& p, const std::string& v, std::string& error)
{
    CSimStrayRule rule;
    const auto eq = v.rfind('=');
    std::string hex = v;
    if (eq != std::string::npos) {
        if (!ParsePoint(v.substr(0, eq), p.AnswerKinds(), rule.point, error))
            return false;
        hex = v.substr(eq + 1);
    }
    if (!ParseSimHex(hex, rule.bytes)) {
        error = "bad hexadecimal bytes '" + hex + "' (expected e.g. \"00 FB 13\")";
        return false;
    }
    p.cfg.strays.push_back(rule);
    return true;
}

bool SerialWhenInto(const std::string& v, ESerialWhen& into, std::string& error)
{
    static const std::map<std::string, ESerialWhen> whens = {
        {"sys-check", ESerialWhen::AfterSysCheck},
        {"before-sys-check", ESerialWhen::BeforeSysCheck},
        {"board-check", ESerialWhen::AfterBoardCheck},
        {"never", ESerialWhen::Never}};
    const auto it = whens.find(v);
    error = "expected sys-check, before-sys-check, board-check or never";
    if (it == whens.end())
        return false;
    into = it->second;
    return true;
}

bool ItemInto(const std::string& v, std::vector<int>& into, std::string& error)
{
    int item = 0;
    error = "expected an item code 0..255 or IR, CF, CIS-M, CIS-S, MAIN, CDM, MAIN-V2";
    if (!ParseItem(v, item))
        return false;
    into.push_back(item);
    return true;
}

bool BootAnswerInto(const std::string& v, std::uint8_t& into, std::string& error)
{
    std::vector<std::uint8_t> bytes;
    error = "expected one byte in hexadecimal, e.g. 06";
    if (!ParseSimHex(v, bytes) || bytes.size() != 1)
        return false;
    into = bytes[0];
    return true;
}

bool SerialSubInto(const std::string& v, std::uint8_t& into, std::string& error)
{
    int n = 0;
    if (!CountInto(v, 1, 2, n, error, "expected 1 or 2"))
        return false;
    into = static_cast<std::uint8_t>(n);
    return true;
}

enum class ESimScope { Common, Machine, Board };

struct CSimOptionRow {
    const char* name;
    bool takesValue;
    ESimScope scope;
    const char* valueName; // as the help shows the value
    const char* help;
    bool (*take)(CSimParse& p, const std::string& v, std::string& error);
};

using P = CSimParse;
using S = std::string;
constexpr ESimScope kCommon = ESimScope::Common;
constexpr ESimScope kMachine = ESimScope::Machine;
constexpr ESimScope kBoard = ESimScope::Board;

const CSimOptionRow kSimOptions[] = {
    {"link", true, kCommon, "PATH", "also create a symlink PATH to the slave (removed at exit)",
     [](P& p, const S& v, S& e) { return PathInto(v, p.cfg.linkPath, e); }},
    {"record-dir", true, kCommon, "DIR", "record received images and logs into DIR (created)",
     [](P& p, const S& v, S& e) { return PathInto(v, p.cfg.recordDir, e); }},
    {"verbose", false, kCommon, "", "one line per event on stderr",
     [](P& p, const S&, S&) { return p.cfg.verbose = true; }},
    {"silent-at", true, kCommon, "KIND[:N]",
     "from the Nth KIND on (every one when N is left out,\n"
     "so the first), answer nothing at all any more",
     [](P& p, const S& v, S& e) { return PointInto(v, p.AnswerKinds(), p.cfg.silentAt, e); }},
    {"unplug-at", true, kCommon, "KIND[:N]",
     "when the Nth KIND request arrives, vanish: close the\n"
     "pty so that the tool sees the device disappear",
     [](P& p, const S& v, S& e) { return PointInto(v, p.RequestKinds(), p.cfg.unplugAt, e); }},
    {"delay", true, kCommon, "KIND[:N]=DUR",
     "wait DUR before the answer of that kind (DUR: 50ms,\n"
     "250us, 2s; a bare number is milliseconds)",
     [](P& p, const S& v, S& e) { return DelayInto(p, v, p.cfg.delays, e); }},
    {"stray", true, kCommon, "[KIND[:N]=]HEX",
     "send the bytes HEX (e.g. \"00 FB 13\") before the answer\n"
     "of that kind, or before every answer",
     [](P& p, const S& v, S& e) { return StrayInto(p, v, e); }},
    {"dup", true, kCommon, "KIND[:N]", "send that answer twice in a row",
     [](P& p, const S& v, S& e) { return PointInto(v, p.AnswerKinds(), p.cfg.dupAt, e); }},
    {"split", true, kCommon, "KIND[:N]", "send that answer in two pieces 50 ms apart",
     [](P& p, const S& v, S& e) { return PointInto(v, p.AnswerKinds(), p.cfg.splitAt, e); }},
    {"late", true, kCommon, "KIND[:N]=DUR",
     "send that answer DUR late; unlike --delay the target\n"
     "goes on meanwhile (later notices are not held back)",
     [](P& p, const S& v, S& e) { return DelayInto(p, v, p.cfg.lates, e); }},
    {"replace", true, kCommon, "KIND[:N]=HEX",
     "send the bytes HEX instead of that answer (a short,\n"
     "malformed or badly summed board acknowledgement)",
     [](P& p, const S& v, S& e) { return ReplaceInto(p, v, e); }},
    {"help", false, kCommon, "", "this text", [](P& p, const S&, S&) { return p.help = true; }},
    {"model", true, kMachine, "1|2", "Quorin V1 (default) or Quorin V2; sets the default parts",
     [](P& p, const S& v, S& e) { return CountInto(v, 1, 2, p.cfg.model, e, "expected 1 or 2"); }},
    {"parts", true, kMachine, "LIST",
     "parts present, comma separated, of MAIN, CIS-M, CIS-S,\n"
     "CF, IR, CDM (the others are reported absent: \"NNN\")",
     [](P& p, const S& v, S&) { return p.haveParts = true, p.partsList = v, true; }},
    {"record", true, kMachine, "TEXT",
     "the raw 21-character system-check record (overrides\n"
     "--model, --parts, --board-version)",
     [](P& p, const S& v, S& e) {
         const S expected = "the record must be exactly 21 characters, it has " + std::to_string(v.size());
         return TextInto(v, 21, p.rawRecord, e, expected.c_str());
     }},
    {"board-version", true, kMachine, "XYZ", "the 3 characters of the board version (default 123)",
     [](P& p, const S& v, S& e) {
         return TextInto(v, 3, p.boardVersion, e, "the board version must be exactly 3 characters");
     }},
    {"serial", true, kMachine, "TEXT", "serial number (default QV2024001)",
     [](P& p, const S& v, S&) { return p.serial = v, true; }},
    {"separator", true, kMachine, "XY", "the 2 separator characters (default ##)",
     [](P& p, const S& v, S& e) {
         return TextInto(v, 2, p.separator, e, "the separator must be exactly 2 characters");
     }},
    {"versions", true, kMachine, "A,B,C,D,E",
     "five 6-character versions, MAIN, CIS M, CIS S, CF, IR\n"
     "(default 1.0.01,1.0.02,1.0.03,1.0.04,1.0.05)",
     [](P& p, const S& v, S& e) {
         p.versions = Split(v, ',');
         e = "expected five comma-separated versions of exactly 6 characters each";
         return p.versions.size() == 5 &&
                std::all_of(p.versions.begin(), p.versions.end(), [](const S& x) { return x.size() == 6; });
     }},
    {"serial-payload", true, kMachine, "HEX", "the raw serial/version payload instead (e.g. 00)",
     [](P& p, const S& v, S& e) {
         p.haveSerialPayload = true;
         e = "bad hexadecimal bytes";
         return ParseSimHex(v, p.cfg.serialText);
     }},
    {"serial-sub", true, kMachine, "1|2", "subcommand of the serial/version frame (default 1)",
     [](P& p, const S& v, S& e) { return SerialSubInto(v, p.cfg.serialSubcommand, e); }},
    {"serial-when", true, kMachine, "WHEN",
     "sys-check (after the SYS Check acknowledgement,\n"
     "default), before-sys-check, board-check, never",
     [](P& p, const S& v, S& e) { return SerialWhenInto(v, p.cfg.serialWhen, e); }},
    {"erase-steps", true, kMachine, "N", "Erase Start count and Erase Steps sent (0..255, 10)",
     [](P& p, const S& v, S& e) {
         return CountInto(v, 0, 255, p.cfg.eraseSteps, e, "expected a count from 0 to 255");
     }},
    {"program-steps", true, kMachine, "N", "Program Start count and Program Steps (0..65535, 10)",
     [](P& p, const S& v, S& e) {
         return CountInto(v, 0, 65535, p.cfg.programSteps, e, "expected a count from 0 to 65535");
     }},
    {"verify-steps", true, kMachine, "N", "CDM only: Verify Start count and steps (0..65535, 10)",
     [](P& p, const S& v, S& e) {
         return CountInto(v, 0, 65535, p.cfg.verifySteps, e, "expected a count from 0 to 65535");
     }},
    {"step-delay", true, kMachine, "DUR", "pause before each erase/program/verify notice (2ms)",
     [](P& p, const S& v, S& e) { return DurationInto(v, p.cfg.stepDelay, e); }},
    {"silent", false, kMachine, "", "never answer anything",
     [](P& p, const S&, S&) { return p.cfg.silent = true; }},
    {"nak", true, kMachine, "KIND[:N]", "answer with result 00 instead of 01",
     [](P& p, const S& v, S& e) { return PointInto(v, ResultKinds(), p.cfg.nakAt, e); }},
    {"bad-size", true, kMachine, "KIND[:N]",
     "answer with a payload of the wrong size (one byte\n"
     "more; an empty one for serial)",
     [](P& p, const S& v, S& e) { return PointInto(v, p.machineAnswerKinds, p.cfg.badSizeAt, e); }},
    {"corrupt", true, kMachine, "KIND[:N]", "answer with a wrong checksum",
     [](P& p, const S& v, S& e) { return PointInto(v, p.machineAnswerKinds, p.cfg.corruptAt, e); }},
    {"unplug-after", true, kMachine, "N", "vanish when the Nth frame arrives (it stays unanswered)",
     [](P& p, const S& v, S& e) {
         return CountInto(v, 1, 1000000000, p.cfg.unplugAfterFrames, e,
                          "expected a frame count of at least 1");
     }},
    {"erase-fail", true, kMachine, "ITEM",
     "for that item send Erase Fail (0C/04 01) instead of\n"
     "Erase End, then stop (ITEM: code or IR, CF, CIS-M,\n"
     "CIS-S, MAIN, CDM, MAIN-V2)",
     [](P& p, const S& v, S& e) { return ItemInto(v, p.cfg.eraseFailItems, e); }},
    {"program-fail", true, kMachine, "ITEM", "likewise Program Fail (0D/04 01) instead of Program End",
     [](P& p, const S& v, S& e) { return ItemInto(v, p.cfg.programFailItems, e); }},
    {"wrong-cmd", true, kMachine, "KIND[:N]",
     "answer with the acknowledgement of another request\n"
     "(UP Index gets Boot Down's, Boot Down Boot End's, and\n"
     "so on round the list of requests)",
     [](P& p, const S& v, S& e) { return PointInto(v, MachineRequestKinds(), p.cfg.wrongCmdAt, e); }},
    {"boot-answer", true, kBoard, "HEX", "the byte answered to each boot-image byte (default 06)",
     [](P& p, const S& v, S& e) { return BootAnswerInto(v, p.cfg.bootAnswer, e); }},
    {"refuse", true, kBoard, "MSG[:N]",
     "answer MSG with a wrong acknowledgement (01 00 01 15 04\n"
     "11); MSG: ready, erase, start, block, end, finish",
     [](P& p, const S& v, S& e) { return PointInto(v, RefuseKinds(), p.cfg.refuseAt, e); }},
    {"boot-gap", true, kBoard, "DUR",
     "a 01 byte after this much silence ends the boot image\n"
     "and starts READY (default 1000ms)",
     [](P& p, const S& v, S& e) { return DurationInto(v, p.cfg.bootGap, e); }},
    {"end-quiet", true, kBoard, "DUR",
     "quiet time after the 8 bytes of END before they count\n"
     "as END rather than the start of a block (100ms)",
     [](P& p, const S& v, S& e) { return DurationInto(v, p.cfg.endQuiet, e); }},
    {"finish-window", true, kBoard, "DUR",
     "quiet time after END's acknowledgement (or the last\n"
     "finish byte) that closes the finish record (400ms)",
     [](P& p, const S& v, S& e) { return DurationInto(v, p.cfg.finishWindow, e); }},
    {"short-block-timeout", true, kBoard, "DUR",
     "quiet time after which fewer than 1024 body bytes are\n"
     "refused as a short block (1000ms)",
     [](P& p, const S& v, S& e) { return DurationInto(v, p.cfg.shortBlockTimeout, e); }},
};

// The rows as the parser takes them: an option of the other mode is refused
// by name, a bad value with the value quoted.
COptionTable SimOptionTable(CSimParse& p)
{
    COptionTable table;
    for (const CSimOptionRow& row : kSimOptions) {
        const std::string name = std::string("--") + row.name;
        const bool help = std::string(row.name) == "help";
        COption::Action action = [&p, row, name](const std::string& v, std::string& error) {
            if (p.board && row.scope == kMachine)
                error = name + " is a machine option; it does not apply to board mode";
            else if (!p.board && row.scope == kBoard)
                error = name + " is a board option; use 'quorin-sim board " + name + " ...'";
            else if (!row.take(p, v, error))
                error = name + " '" + v + "': " + error;
            else
                return true;
            return false;
        };
        table.push_back({row.name, help ? 'h' : '\0', row.takesValue, action, help});
    }
    return table;
}

// One scope's rows as the help lists them.
COptionTable SimHelpRows(ESimScope scope)
{
    COptionTable table;
    for (const CSimOptionRow& row : kSimOptions)
        if (row.scope == scope)
            table.push_back({row.name, std::string(row.name) == "help" ? 'h' : '\0', row.takesValue, nullptr,
                             false, row.valueName, row.help});
    return table;
}

// The system-check record and the serial text, from what the options gave.
bool FinishSimConfig(CSimParse& p, std::string& error)
{
    CSimConfig& cfg = p.cfg;
    if (!p.rawRecord.empty()) {
        cfg.sysRecord = p.rawRecord;
    } else if (p.haveParts) {
        std::string record(18, 'N');
        for (std::string part : Split(p.partsList, ',')) {
            part = Upper(part);
            std::replace(part.begin(), part.end(), '_', '-');
            if (part == "CISM")
                part = "CIS-M";
            if (part == "CISS")
                part = "CIS-S";
            const auto* it = std::find(std::begin(kPartNames), std::end(kPartNames), part);
            if (it == std::end(kPartNames)) {
                error = "--parts: unknown part '" + part + "' (expected MAIN, CIS-M, CIS-S, CF, IR, CDM)";
                return false;
            }
            record.replace(static_cast<std::size_t>(it - std::begin(kPartNames)) * 3, 3, "YYY");
        }
        cfg.sysRecord = record + p.boardVersion;
    } else {
        cfg.sysRecord = DefaultSysRecord(cfg.model, p.boardVersion);
    }
    if (!p.haveSerialPayload)
        cfg.serialText = BuildSerialText(p.separator, p.serial, p.versions);
    return true;
}

} // namespace

CSimArgsResult ParseSimArgs(const std::vector<std::string>& args)
{
    CSimArgsResult result;
    CSimParse p(result.config);
    std::vector<std::string> argv = {"quorin-sim"};
    std::size_t first = 0;
    if (!args.empty() && (args[0] == "machine" || args[0] == "board")) {
        result.config.mode = args[0] == "board" ? ESimMode::Board : ESimMode::Machine;
        first = 1;
    }
    p.board = result.config.mode == ESimMode::Board;
    argv.insert(argv.end(), args.begin() + static_cast<std::ptrdiff_t>(first), args.end());
    COptionParse how;
    how.positional = [](const std::string& arg, std::string& error) {
        if (arg == "machine" || arg == "board")
            error = "the mode '" + arg + "' must come first";
        else
            error = "unexpected argument '" + arg + "'";
        return false;
    };
    if (!ParseOptions(argv, SimOptionTable(p), how, result.error))
        return result;
    result.help = p.help;
    result.ok = result.help || FinishSimConfig(p, result.error);
    return result;
}

std::string SimHelpText()
{
    const CHelpLayout layout{23, true};
    return kSimHelpIntro + OptionHelp(SimHelpRows(kCommon), layout) + kSimHelpCommonEnd +
           OptionHelp(SimHelpRows(kMachine), layout) + kSimHelpMachineEnd +
           OptionHelp(SimHelpRows(kBoard), layout) + kSimHelpEnd;
}
