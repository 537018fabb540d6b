#include "MachineTarget.h"

#include "protocol/Frame.h"

#include <algorithm>
#include <cstdio>

namespace {

const char* RequestKind(std::uint8_t command, std::uint8_t subcommand)
{
    switch (command) {
    case CMD_BOARD_CHECK:
        return subcommand == SUB_REQUEST ? "board-check" : nullptr;
    case CMD_SYS_CHECK:
        return subcommand == SUB_REQUEST ? "sys-check" : nullptr;
    case CMD_FINISH:
        return subcommand == SUB_REQUEST ? "finish" : nullptr;
    case CMD_UPGRADE:
        switch (subcommand) {
        case SUB_REQUEST:
            return "up-index";
        case SUB_BOOT_DOWN:
            return "boot-down";
        case SUB_BOOT_END:
            return "boot-end";
        case SUB_DATA_DOWN:
            return "data-down";
        case SUB_DATA_END:
            return "data-end";
        default:
            return nullptr;
        }
    default:
        return nullptr;
    }
}

bool Has(const std::vector<int>& items, int item)
{
    return std::find(items.begin(), items.end(), item) != items.end();
}

// The acknowledgements of the requests, in the order --wrong-cmd goes round.
struct AckOf {
    const char* kind;
    std::uint8_t command;
    std::uint8_t subcommand;
};
constexpr AckOf kAcks[] = {
    {"up-index", CMD_UPGRADE, SUB_ACK},          {"boot-down", CMD_UPGRADE, SUB_BOOT_DOWN_ACK},
    {"boot-end", CMD_UPGRADE, SUB_BOOT_END_ACK}, {"data-down", CMD_UPGRADE, SUB_DATA_DOWN_ACK},
    {"data-end", CMD_UPGRADE, SUB_DATA_END_ACK}, {"finish", CMD_FINISH, SUB_ACK},
    {"board-check", CMD_BOARD_CHECK, SUB_ACK},   {"sys-check", CMD_SYS_CHECK, SUB_ACK},
};

std::vector<std::uint8_t> Be16(int value)
{
    return {static_cast<std::uint8_t>((value >> 8) & 0xFF), static_cast<std::uint8_t>(value & 0xFF)};
}

} // namespace

CMachineTarget::CMachineTarget(const CSimConfig& config, ISimHost& host)
    : CSimRole(config, host),
      m_parser([this](const CSimFrame& f) { OnFrame(f); }, [this](const std::string& why) { Error(why); })
{
}

void CMachineTarget::OnBytes(const std::uint8_t* bytes, std::size_t count, SimClock::time_point)
{
    if (!m_bGone)
        m_parser.Feed(bytes, count);
}

std::string CMachineTarget::ImageName(const char* what) const
{
    return std::to_string(m_nItem) + "-" + what + ".bin";
}

void CMachineTarget::OnFrame(const CSimFrame& frame)
{
    if (m_bGone)
        return;
    ++m_nFrames;
    char line[64];
    std::snprintf(line, sizeof line, "%02X %02X %zu", frame.command, frame.subcommand, frame.payload.size());
    m_host.Recorder().Line("frames.log", line);
    m_host.Trace(std::string("rx ") + line);

    const char* kindName = RequestKind(frame.command, frame.subcommand);
    if (kindName == nullptr) {
        Error(std::string("unexpected frame ") + line);
        return;
    }
    const std::string kind = kindName;
    const int n = Count(kind);
    CSimRecorder& rec = m_host.Recorder();

    // Record first, so that whatever the faults do the images are complete.
    if (kind == "up-index") {
        if (frame.payload.size() != 1)
            Error("UP Index with " + std::to_string(frame.payload.size()) + " payload bytes");
        m_nItem = frame.payload.empty() ? 0 : frame.payload[0];
        rec.Truncate(ImageName("boot"));
        rec.Truncate(ImageName("data"));
    } else if (kind == "boot-down") {
        rec.Append(ImageName("boot"), frame.payload.data(), frame.payload.size());
    } else if (kind == "data-down") {
        rec.Append(ImageName("data"), frame.payload.data(), frame.payload.size());
    } else if (frame.payload.size() != 1 || (kind != "sys-check" && frame.payload[0] != 0x01)) {
        Error(kind + " with an unusual payload: " + line);
    }

    if ((m_cfg.unplugAfterFrames > 0 && m_nFrames >= m_cfg.unplugAfterFrames) ||
        Hit(m_cfg.unplugAt, kind, n)) {
        m_host.Trace("unplug at frame " + std::to_string(m_nFrames));
        m_bGone = true;
        m_host.Unplug();
        return;
    }

    if (kind == "board-check") {
        Answer(kind, n, CMD_BOARD_CHECK, SUB_ACK, {0x01}, true);
        if (m_cfg.serialWhen == ESerialWhen::AfterBoardCheck)
            SendSerial();
    } else if (kind == "sys-check") {
        if (m_cfg.serialWhen == ESerialWhen::BeforeSysCheck)
            SendSerial();
        Answer(kind, n, CMD_SYS_CHECK, SUB_ACK,
               std::vector<std::uint8_t>(m_cfg.sysRecord.begin(), m_cfg.sysRecord.end()), false);
        if (m_cfg.serialWhen == ESerialWhen::AfterSysCheck)
            SendSerial();
    } else if (kind == "up-index") {
        Answer(kind, n, CMD_UPGRADE, 0x02, {0x01}, true);
    } else if (kind == "boot-down") {
        Answer(kind, n, CMD_UPGRADE, SUB_BOOT_DOWN_ACK, {0x01}, true);
    } else if (kind == "boot-end") {
        Answer(kind, n, CMD_UPGRADE, SUB_BOOT_END_ACK, {0x01}, true);
    } else if (kind == "data-down") {
        Answer(kind, n, CMD_UPGRADE, SUB_DATA_DOWN_ACK, {0x01}, true);
    } else if (kind == "data-end") {
        Answer(kind, n, CMD_UPGRADE, SUB_DATA_END_ACK, {0x01}, true);
        // A machine that refused Data End does not erase or program.
        if (!Hit(m_cfg.nakAt, kind, n))
            StartWork(m_nItem);
    } else if (kind == "finish") {
        Answer(kind, n, CMD_FINISH, SUB_ACK, {0x01}, true);
    }
}

std::vector<std::uint8_t> CMachineTarget::MakeFrame(const std::string& kind, int n, std::uint8_t command,
                                                    std::uint8_t subcommand,
                                                    std::vector<std::uint8_t> payload, bool hasResult)
{
    if (hasResult && Hit(m_cfg.nakAt, kind, n) && !payload.empty())
        payload[0] = 0x00;
    if (Hit(m_cfg.badSizeAt, kind, n)) {
        // The serial text must carry at least one byte; every other answer
        // has a fixed size, so one byte more breaks it.
        if (kind == "serial")
            payload.clear();
        else
            payload.push_back(0x00);
    }
    if (Hit(m_cfg.wrongCmdAt, kind, n)) {
        // The next request's acknowledgement, with a good result.
        std::size_t i = 0;
        while (i < std::size(kAcks) && kind != kAcks[i].kind)
            ++i;
        const AckOf& other = kAcks[(i + 1) % std::size(kAcks)];
        command = other.command;
        subcommand = other.subcommand;
        payload = {0x01};
    }
    std::vector<std::uint8_t> frame =
        BuildFrame(command, subcommand, payload.data(), static_cast<std::int32_t>(payload.size()));
    if (Hit(m_cfg.corruptAt, kind, n))
        frame.back() ^= 0xFF;
    char line[80];
    std::snprintf(line, sizeof line, "tx %02X %02X %zu (%s %d)", command, subcommand, payload.size(),
                  kind.c_str(), n);
    m_host.Trace(line);
    return frame;
}

void CMachineTarget::Answer(const std::string& kind, int n, std::uint8_t command, std::uint8_t subcommand,
                            std::vector<std::uint8_t> payload, bool hasResult)
{
    Emit(kind, n, MakeFrame(kind, n, command, subcommand, std::move(payload), hasResult));
}

void CMachineTarget::SendSerial()
{
    Answer("serial", Count("serial"), CMD_SERIAL_VERSION, m_cfg.serialSubcommand, m_cfg.serialText, false);
}

void CMachineTarget::StartWork(int item)
{
    m_work.clear();
    const auto add = [this](const char* kind, std::uint8_t cmd, std::uint8_t sub,
                            std::vector<std::uint8_t> p) {
        m_work.push_back(CNotice{kind, cmd, sub, std::move(p)});
    };
    add("erase-start", CMD_ERASE, SUB_PHASE_START, {static_cast<std::uint8_t>(m_cfg.eraseSteps)});
    for (int i = 1; i <= m_cfg.eraseSteps; ++i)
        add("erase-step", CMD_ERASE, SUB_PHASE_STEP, {static_cast<std::uint8_t>(i)});
    if (Has(m_cfg.eraseFailItems, item)) {
        add("erase-fail", CMD_ERASE, SUB_PHASE_FAIL, {0x01});
    } else {
        add("erase-end", CMD_ERASE, SUB_PHASE_END, {0x01});
        add("program-start", CMD_PROGRAM, SUB_PHASE_START, Be16(m_cfg.programSteps));
        for (int i = 1; i <= m_cfg.programSteps; ++i)
            add("program-step", CMD_PROGRAM, SUB_PHASE_STEP, Be16(i));
        if (Has(m_cfg.programFailItems, item)) {
            add("program-fail", CMD_PROGRAM, SUB_PHASE_FAIL, {0x01});
        } else {
            add("program-end", CMD_PROGRAM, SUB_PHASE_END, {0x01});
            if (item == ITEM_CDM) {
                add("verify-start", CMD_VERIFY, SUB_PHASE_START, Be16(m_cfg.verifySteps));
                for (int i = 1; i <= m_cfg.verifySteps; ++i)
                    add("verify-step", CMD_VERIFY, SUB_PHASE_STEP, {static_cast<std::uint8_t>(i & 0xFF)});
                add("verify-end", CMD_VERIFY, SUB_PHASE_END, {0x01});
            }
        }
    }
    RunWork(++m_nWork, 0);
}

void CMachineTarget::RunWork(unsigned generation, std::size_t index)
{
    if (generation != m_nWork || index >= m_work.size() || m_bGone)
        return;
    // Count at scheduling time so that a delay for this notice holds back the
    // ones after it as well: the order on the wire never changes.
    const std::string kind = m_work[index].kind;
    const int n = Count(kind);
    m_host.After(m_cfg.stepDelay + DelayFor(kind, n), [this, generation, index, kind, n] {
        if (generation != m_nWork || m_bGone)
            return;
        const CNotice& notice = m_work[index];
        const bool hasResult = notice.subcommand == SUB_PHASE_END || notice.subcommand == SUB_PHASE_FAIL;
        Emit(kind, n, MakeFrame(kind, n, notice.command, notice.subcommand, notice.payload, hasResult),
             false);
        RunWork(generation, index + 1);
    });
}
