#include "SimConfig.h"

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

std::string SimHelpText()
{
    return R"(Usage: quorin-sim [machine|board] [OPTIONS]

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
  --link PATH          also create a symlink PATH to the slave (removed at exit)
  --record-dir DIR     record received images and logs into DIR (created)
  --verbose            one line per event on stderr
  --silent-at KIND[:N] from the Nth KIND on (every one when N is left out,
                       so the first), answer nothing at all any more
  --unplug-at KIND[:N] when the Nth KIND request arrives, vanish: close the
                       pty so that the tool sees the device disappear
  --delay KIND[:N]=DUR wait DUR before the answer of that kind (DUR: 50ms,
                       250us, 2s; a bare number is milliseconds)
  --stray [KIND[:N]=]HEX
                       send the bytes HEX (e.g. "00 FB 13") before the answer
                       of that kind, or before every answer
  --dup KIND[:N]       send that answer twice in a row
  --split KIND[:N]     send that answer in two pieces 50 ms apart
  --late KIND[:N]=DUR  send that answer DUR late; unlike --delay the target
                       goes on meanwhile (later notices are not held back)
  --replace KIND[:N]=HEX
                       send the bytes HEX instead of that answer (a short,
                       malformed or badly summed board acknowledgement)
  -h, --help           this text

Machine options:
  --model 1|2          Quorin V1 (default) or Quorin V2; sets the default parts
  --parts LIST         parts present, comma separated, of MAIN, CIS-M, CIS-S,
                       CF, IR, CDM (the others are reported absent: "NNN")
  --record TEXT        the raw 21-character system-check record (overrides
                       --model, --parts, --board-version)
  --board-version XYZ  the 3 characters of the board version (default 123)
  --serial TEXT        serial number (default QV2024001)
  --separator XY       the 2 separator characters (default ##)
  --versions A,B,C,D,E five 6-character versions, MAIN, CIS M, CIS S, CF, IR
                       (default 1.0.01,1.0.02,1.0.03,1.0.04,1.0.05)
  --serial-payload HEX the raw serial/version payload instead (e.g. 00)
  --serial-sub 1|2     subcommand of the serial/version frame (default 1)
  --serial-when WHEN   sys-check (after the SYS Check acknowledgement,
                       default), before-sys-check, board-check, never
  --erase-steps N      Erase Start count and Erase Steps sent (0..255, 10)
  --program-steps N    Program Start count and Program Steps (0..65535, 10)
  --verify-steps N     CDM only: Verify Start count and steps (0..65535, 10)
  --step-delay DUR     pause before each erase/program/verify notice (2ms)
  --silent             never answer anything
  --nak KIND[:N]       answer with result 00 instead of 01
  --bad-size KIND[:N]  answer with a payload of the wrong size (one byte
                       more; an empty one for serial)
  --corrupt KIND[:N]   answer with a wrong checksum
  --unplug-after N     vanish when the Nth frame arrives (it stays unanswered)
  --erase-fail ITEM    for that item send Erase Fail (0C/04 01) instead of
                       Erase End, then stop (ITEM: code or IR, CF, CIS-M,
                       CIS-S, MAIN, CDM, MAIN-V2)
  --program-fail ITEM  likewise Program Fail (0D/04 01) instead of Program End
  --wrong-cmd KIND[:N] answer with the acknowledgement of another request
                       (UP Index gets Boot Down's, Boot Down Boot End's, and
                       so on round the list of requests)

  Machine kinds: requests board-check, sys-check, up-index, boot-down,
  boot-end, data-down, data-end, finish (their answers carry the same name);
  notices serial, erase-start, erase-step, erase-end, erase-fail,
  program-start, program-step, program-end, program-fail, verify-start,
  verify-step, verify-end. N counts over the whole session.

Board options:
  --boot-answer HEX    the byte answered to each boot-image byte (default 06)
  --refuse MSG[:N]     answer MSG with a wrong acknowledgement (01 00 01 15 04
                       11); MSG: ready, erase, start, block, end, finish
  --boot-gap DUR       a 01 byte after this much silence ends the boot image
                       and starts READY (default 1000ms)
  --end-quiet DUR      quiet time after the 8 bytes of END before they count
                       as END rather than the start of a block (100ms)
  --finish-window DUR  quiet time after END's acknowledgement (or the last
                       finish byte) that closes the finish record (400ms)
  --short-block-timeout DUR
                       quiet time after which fewer than 1024 body bytes are
                       refused as a short block (1000ms)

  Board kinds: probe, boot (one per boot-image byte), ready, erase (N = 1 for
  ERASE A .. 10 for ERASE J), start, block, end, finish.

Records (--record-dir): machine: <item>-boot.bin, <item>-data.bin per item
code, frames.log (one line per received frame: command subcommand length, in
hex, hex, decimal), errors.log. Board: board-boot.bin, board-body.bin,
board-finish.bin, board.log (one line per message), board-baud.log (line
speed seen at probe, boot and READY), errors.log.

Exit status: 0 after an interrupt or an unplug, 1 when the pty cannot be set
up, 2 for a bad command line.
)";
}

CSimArgsResult ParseSimArgs(const std::vector<std::string>& args)
{
    CSimArgsResult result;
    CSimConfig& cfg = result.config;
    std::size_t i = 0;
    if (!args.empty() && (args[0] == "machine" || args[0] == "board")) {
        cfg.mode = args[0] == "board" ? ESimMode::Board : ESimMode::Machine;
        ++i;
    }
    const bool board = cfg.mode == ESimMode::Board;

    std::string boardVersion = "123";
    std::string rawRecord;
    std::string partsList;
    bool haveParts = false;
    std::string serial = "QV2024001";
    std::string separator = "##";
    std::vector<std::string> versions = {"1.0.01", "1.0.02", "1.0.03", "1.0.04", "1.0.05"};
    bool haveSerialPayload = false;

    const auto fail = [&](const std::string& message) {
        result.ok = false;
        result.error = message;
        return result;
    };

    const std::vector<std::string> machineAnswerKinds = Concat(MachineRequestKinds(), MachineNoticeKinds());
    const std::vector<std::string>& answerKinds = board ? BoardKinds() : machineAnswerKinds;
    const std::vector<std::string>& requestKinds = board ? BoardKinds() : MachineRequestKinds();

    const std::vector<std::string> machineOnly = {
        "--model",        "--parts",         "--record",         "--board-version", "--serial",
        "--separator",    "--versions",      "--serial-payload", "--serial-sub",    "--serial-when",
        "--erase-steps",  "--program-steps", "--verify-steps",   "--step-delay",    "--silent",
        "--nak",          "--bad-size",      "--corrupt",        "--unplug-after",  "--erase-fail",
        "--program-fail", "--wrong-cmd"};
    const std::vector<std::string> boardOnly = {"--boot-answer", "--refuse",        "--boot-gap",
                                                "--end-quiet",   "--finish-window", "--short-block-timeout"};
    const std::vector<std::string> flags = {"--verbose", "--silent", "-h", "--help"};
    const std::vector<std::string> common = {"--link",  "--record-dir", "--silent-at", "--unplug-at",
                                             "--delay", "--stray",      "--dup",       "--split",
                                             "--late",  "--replace"};

    for (; i < args.size(); ++i) {
        std::string name = args[i];
        std::string value;
        bool haveValue = false;
        if (name.rfind("--", 0) == 0) {
            const auto eq = name.find('=');
            if (eq != std::string::npos) {
                value = name.substr(eq + 1);
                name = name.substr(0, eq);
                haveValue = true;
            }
        }
        const bool known = Contains(machineOnly, name) || Contains(boardOnly, name) ||
                           Contains(flags, name) || Contains(common, name);
        if (!known) {
            if (name == "machine" || name == "board")
                return fail("the mode '" + name + "' must come first");
            return fail("unknown option '" + name + "' (see --help)");
        }
        if (board && Contains(machineOnly, name))
            return fail(name + " is a machine option; it does not apply to board mode");
        if (!board && Contains(boardOnly, name))
            return fail(name + " is a board option; use 'quorin-sim board " + name + " ...'");
        if (Contains(flags, name)) {
            if (haveValue)
                return fail(name + " takes no value");
            if (name == "-h" || name == "--help") {
                result.ok = true;
                result.help = true;
                return result;
            }
            if (name == "--verbose")
                cfg.verbose = true;
            else
                cfg.silent = true;
            continue;
        }
        if (!haveValue) {
            if (i + 1 >= args.size())
                return fail(name + " needs a value (see --help)");
            value = args[++i];
        }

        std::string error;
        long n = 0;
        CSimPoint point;
        const auto point_into = [&](const std::vector<std::string>& kinds, std::vector<CSimPoint>& into) {
            if (!ParsePoint(value, kinds, point, error))
                return false;
            into.push_back(point);
            return true;
        };
        const auto duration_into = [&](SimDuration& into) {
            if (!ParseSimDuration(value, into)) {
                error = "bad duration '" + value + "' (expected e.g. 50ms, 250us, 2s)";
                return false;
            }
            return true;
        };
        bool good = true;
        if (name == "--link") {
            cfg.linkPath = value;
            good = !value.empty();
            error = "an empty path";
        } else if (name == "--record-dir") {
            cfg.recordDir = value;
            good = !value.empty();
            error = "an empty path";
        } else if (name == "--silent-at") {
            good = point_into(board ? BoardKinds() : machineAnswerKinds, cfg.silentAt);
        } else if (name == "--unplug-at") {
            good = point_into(requestKinds, cfg.unplugAt);
        } else if (name == "--delay" || name == "--late") {
            const auto eq = value.rfind('=');
            CSimDelayRule rule;
            if (eq == std::string::npos) {
                good = false;
                error = "expected KIND[:N]=DURATION, e.g. data-down=50ms";
            } else if ((good = ParsePoint(value.substr(0, eq), answerKinds, rule.point, error))) {
                value = value.substr(eq + 1);
                if ((good = duration_into(rule.delay)))
                    (name == "--delay" ? cfg.delays : cfg.lates).push_back(rule);
            }
        } else if (name == "--dup") {
            good = point_into(answerKinds, cfg.dupAt);
        } else if (name == "--split") {
            good = point_into(answerKinds, cfg.splitAt);
        } else if (name == "--wrong-cmd") {
            good = point_into(MachineRequestKinds(), cfg.wrongCmdAt);
        } else if (name == "--replace") {
            CSimStrayRule rule;
            const auto eq = value.rfind('=');
            if (eq == std::string::npos) {
                good = false;
                error = "expected KIND[:N]=HEX, e.g. ready=\"01 00 01 06 04\"";
            } else if ((good = ParsePoint(value.substr(0, eq), answerKinds, rule.point, error))) {
                const std::string hex = value.substr(eq + 1);
                good = ParseSimHex(hex, rule.bytes);
                error = "bad hexadecimal bytes '" + hex + "'";
                if (good)
                    cfg.replaces.push_back(rule);
            }
        } else if (name == "--stray") {
            CSimStrayRule rule;
            const auto eq = value.rfind('=');
            std::string hex = value;
            if (eq != std::string::npos) {
                good = ParsePoint(value.substr(0, eq), answerKinds, rule.point, error);
                hex = value.substr(eq + 1);
            }
            if (good && !ParseSimHex(hex, rule.bytes)) {
                good = false;
                error = "bad hexadecimal bytes '" + hex + "' (expected e.g. \"00 FB 13\")";
            }
            if (good)
                cfg.strays.push_back(rule);
        } else if (name == "--model") {
            good = ParseInt(value, 1, 2, n);
            error = "expected 1 or 2";
            cfg.model = static_cast<int>(n);
        } else if (name == "--parts") {
            haveParts = true;
            partsList = value;
        } else if (name == "--record") {
            good = value.size() == 21;
            error = "the record must be exactly 21 characters, it has " + std::to_string(value.size());
            rawRecord = value;
        } else if (name == "--board-version") {
            good = value.size() == 3;
            error = "the board version must be exactly 3 characters";
            boardVersion = value;
        } else if (name == "--serial") {
            serial = value;
        } else if (name == "--separator") {
            good = value.size() == 2;
            error = "the separator must be exactly 2 characters";
            separator = value;
        } else if (name == "--versions") {
            versions = Split(value, ',');
            good = versions.size() == 5 && std::all_of(versions.begin(), versions.end(),
                                                       [](const std::string& v) { return v.size() == 6; });
            error = "expected five comma-separated versions of exactly 6 characters each";
        } else if (name == "--serial-payload") {
            good = ParseSimHex(value, cfg.serialText);
            error = "bad hexadecimal bytes";
            haveSerialPayload = true;
        } else if (name == "--serial-sub") {
            good = ParseInt(value, 1, 2, n);
            error = "expected 1 or 2";
            cfg.serialSubcommand = static_cast<std::uint8_t>(n);
        } else if (name == "--serial-when") {
            static const std::map<std::string, ESerialWhen> whens = {
                {"sys-check", ESerialWhen::AfterSysCheck},
                {"before-sys-check", ESerialWhen::BeforeSysCheck},
                {"board-check", ESerialWhen::AfterBoardCheck},
                {"never", ESerialWhen::Never}};
            const auto it = whens.find(value);
            good = it != whens.end();
            error = "expected sys-check, before-sys-check, board-check or never";
            if (good)
                cfg.serialWhen = it->second;
        } else if (name == "--erase-steps") {
            good = ParseInt(value, 0, 255, n);
            error = "expected a count from 0 to 255";
            cfg.eraseSteps = static_cast<int>(n);
        } else if (name == "--program-steps" || name == "--verify-steps") {
            good = ParseInt(value, 0, 65535, n);
            error = "expected a count from 0 to 65535";
            (name == "--program-steps" ? cfg.programSteps : cfg.verifySteps) = static_cast<int>(n);
        } else if (name == "--step-delay") {
            good = duration_into(cfg.stepDelay);
        } else if (name == "--nak") {
            good = point_into(ResultKinds(), cfg.nakAt);
        } else if (name == "--bad-size") {
            good = point_into(machineAnswerKinds, cfg.badSizeAt);
        } else if (name == "--corrupt") {
            good = point_into(machineAnswerKinds, cfg.corruptAt);
        } else if (name == "--unplug-after") {
            good = ParseInt(value, 1, 1000000000, n);
            error = "expected a frame count of at least 1";
            cfg.unplugAfterFrames = static_cast<int>(n);
        } else if (name == "--erase-fail" || name == "--program-fail") {
            int item = 0;
            good = ParseItem(value, item);
            error = "expected an item code 0..255 or IR, CF, CIS-M, CIS-S, MAIN, CDM, MAIN-V2";
            (name == "--erase-fail" ? cfg.eraseFailItems : cfg.programFailItems).push_back(item);
        } else if (name == "--boot-answer") {
            std::vector<std::uint8_t> bytes;
            good = ParseSimHex(value, bytes) && bytes.size() == 1;
            error = "expected one byte in hexadecimal, e.g. 06";
            if (good)
                cfg.bootAnswer = bytes[0];
        } else if (name == "--refuse") {
            good = point_into(RefuseKinds(), cfg.refuseAt);
        } else if (name == "--boot-gap") {
            good = duration_into(cfg.bootGap);
        } else if (name == "--end-quiet") {
            good = duration_into(cfg.endQuiet);
        } else if (name == "--finish-window") {
            good = duration_into(cfg.finishWindow);
        } else if (name == "--short-block-timeout") {
            good = duration_into(cfg.shortBlockTimeout);
        }
        if (!good)
            return fail(name + " '" + value + "': " + error);
    }

    if (!rawRecord.empty()) {
        cfg.sysRecord = rawRecord;
    } else if (haveParts) {
        std::string record(18, 'N');
        for (std::string part : Split(partsList, ',')) {
            part = Upper(part);
            std::replace(part.begin(), part.end(), '_', '-');
            if (part == "CISM")
                part = "CIS-M";
            if (part == "CISS")
                part = "CIS-S";
            const auto* it = std::find(std::begin(kPartNames), std::end(kPartNames), part);
            if (it == std::end(kPartNames))
                return fail("--parts: unknown part '" + part +
                            "' (expected MAIN, CIS-M, CIS-S, CF, IR, CDM)");
            record.replace(static_cast<std::size_t>(it - std::begin(kPartNames)) * 3, 3, "YYY");
        }
        cfg.sysRecord = record + boardVersion;
    } else {
        cfg.sysRecord = DefaultSysRecord(cfg.model, boardVersion);
    }
    if (!haveSerialPayload)
        cfg.serialText = BuildSerialText(separator, serial, versions);
    result.ok = true;
    return result;
}
