#include "BoardTarget.h"

#include "protocol/Frame.h"

#include <algorithm>
#include <cstdio>

const std::uint8_t BOARD_ACK[6] = {0x01, 0x00, 0x01, 0x06, 0x04, 0x02};
const std::uint8_t BOARD_REFUSAL[6] = {0x01, 0x00, 0x01, 0x15, 0x04, 0x11};

namespace {
const std::uint8_t kProbe = 'A';
const std::uint8_t kEnd[8] = {0x01, 0x00, 0x03, 'E', 'N', 'D', 0x04, 0x49};
const std::size_t kEndSize = sizeof kEnd;

std::string Hex(std::uint8_t b)
{
    char text[4];
    std::snprintf(text, sizeof text, "%02X", b);
    return text;
}
} // namespace

CBoardTarget::CBoardTarget(const CSimConfig& config, ISimHost& host) : CSimRole(config, host)
{
}

void CBoardTarget::Arm(SimDuration after)
{
    m_host.After(after, [this] { OnQuiet(); });
}

void CBoardTarget::LogBaud(const char* when)
{
    m_host.Recorder().Line("board-baud.log", std::string(when) + " " + std::to_string(m_host.LineSpeed()));
}

const char* CBoardTarget::StateKind() const
{
    switch (m_state) {
    case EState::Ready:
        return "ready";
    case EState::Erase:
        return "erase";
    case EState::Start:
        return "start";
    case EState::Body:
        return "end";
    default:
        return "finish";
    }
}

bool CBoardTarget::Acknowledge(const std::string& kind, int n, const std::string& logLine)
{
    const bool refuse = Hit(m_cfg.refuseAt, kind, n);
    m_host.Recorder().Line("board.log", logLine + (refuse ? " refused" : ""));
    m_host.Trace(logLine + (refuse ? " refused" : ""));
    if (UnplugIfAsked(kind, n))
        return false;
    const std::uint8_t* answer = refuse ? BOARD_REFUSAL : BOARD_ACK;
    Emit(kind, n, std::vector<std::uint8_t>(answer, answer + 6));
    return !refuse;
}

void CBoardTarget::Refuse(const std::string& kind, int n, const std::string& why)
{
    Error(why);
    m_host.Recorder().Line("board.log", "BAD " + kind);
    Emit(kind, n, std::vector<std::uint8_t>(BOARD_REFUSAL, BOARD_REFUSAL + 6));
}

void CBoardTarget::OnProbeByte(std::uint8_t b)
{
    if (b != kProbe) {
        Error("byte " + Hex(b) + " before the probe ignored");
        return;
    }
    const int n = Count("probe");
    // A new session: earlier recordings give way.
    CSimRecorder& rec = m_host.Recorder();
    rec.Truncate("board-boot.bin");
    rec.Truncate("board-body.bin");
    rec.Truncate("board-finish.bin");
    rec.Line("board.log", "PROBE");
    LogBaud("probe");
    m_nBootBytes = 0;
    m_nEraseIndex = 1;
    m_rx.clear();
    m_state = EState::Boot;
    if (UnplugIfAsked("probe", n))
        return;
    Emit("probe", n, {kProbe});
}

void CBoardTarget::OnBytes(const std::uint8_t* bytes, std::size_t count, SimClock::time_point now)
{
    std::size_t i = 0;
    while (i < count && !m_bGone) {
        switch (m_state) {
        case EState::Probe:
            OnProbeByte(bytes[i++]);
            m_lastByte = now;
            break;
        case EState::Boot:
            if (m_nBootBytes > 0 && bytes[i] == 0x01 && now - m_lastByte >= m_cfg.bootGap) {
                m_host.Recorder().Line("board.log", "BOOT " + std::to_string(m_nBootBytes));
                m_state = EState::Ready;
                break; // the same byte starts READY
            } else {
                const int n = Count("boot");
                ++m_nBootBytes;
                if (n == 1)
                    LogBaud("boot");
                m_host.Recorder().Append("board-boot.bin", &bytes[i], 1);
                ++i;
                m_lastByte = now;
                if (!UnplugIfAsked("boot", n))
                    Emit("boot", n, {m_cfg.bootAnswer});
            }
            break;
        case EState::Finish:
            m_rx.insert(m_rx.end(), bytes + i, bytes + count);
            i = count;
            m_lastByte = now;
            m_finishSince = now;
            Arm(m_cfg.finishWindow);
            break;
        case EState::Body:
            m_rx.insert(m_rx.end(), bytes + i, bytes + count);
            i = count;
            m_lastByte = now;
            ProcessBody();
            break;
        default: {
            m_rx.insert(m_rx.end(), bytes + i, bytes + count);
            i = count;
            m_lastByte = now;
            ProcessMessages();
            if (m_state == EState::Boot || m_state == EState::Probe) {
                // A probe came instead of a message: the rest is boot image.
                std::vector<std::uint8_t> rest;
                rest.swap(m_rx);
                OnBytes(rest.data(), rest.size(), now);
            } else if (m_state == EState::Body) {
                ProcessBody();
            }
            break;
        }
        }
    }
}

void CBoardTarget::ProcessMessages()
{
    while (!m_rx.empty() && !m_bGone &&
           (m_state == EState::Ready || m_state == EState::Erase || m_state == EState::Start)) {
        if (m_rx[0] == kProbe) {
            // The tool connected anew: start over from the probe.
            m_rx.erase(m_rx.begin());
            m_state = EState::Probe;
            OnProbeByte(kProbe);
            return;
        }
        if (m_rx[0] != 0x01) {
            Error("stray byte " + Hex(m_rx[0]) + " where a message should start");
            m_rx.erase(m_rx.begin());
            continue;
        }
        if (m_rx.size() < 3)
            return;
        const std::size_t n = m_rx[2];
        const std::size_t total = n + 5;
        if (m_rx.size() < total)
            return;
        const std::string text(m_rx.begin() + 3, m_rx.begin() + 3 + static_cast<std::ptrdiff_t>(n));
        const bool good = m_rx[1] == 0x00 && m_rx[3 + n] == 0x04 &&
                          ComputeChecksum(m_rx.data(), total - 1) == m_rx[total - 1];
        m_rx.erase(m_rx.begin(), m_rx.begin() + static_cast<std::ptrdiff_t>(total));
        if (!good) {
            const std::string kind = StateKind();
            Refuse(kind, Count(kind), "malformed message '" + text + "'");
            continue;
        }
        OnMessage(text);
    }
}

void CBoardTarget::OnMessage(const std::string& text)
{
    switch (m_state) {
    case EState::Ready: {
        const int n = Count("ready");
        if (text != "READY") {
            Refuse("ready", n, "expected READY, got '" + text + "'");
            return;
        }
        LogBaud("ready");
        if (Acknowledge("ready", n, "READY")) {
            m_state = EState::Erase;
            m_nEraseIndex = 1;
        }
        return;
    }
    case EState::Erase: {
        const int n = Count("erase");
        const std::string expected = std::string("ERASE") + static_cast<char>('A' + m_nEraseIndex - 1);
        if (text != expected) {
            Refuse("erase", n, "expected " + expected + ", got '" + text + "'");
            return;
        }
        if (Acknowledge("erase", n, "ERASE " + expected.substr(5)) && ++m_nEraseIndex > 10)
            m_state = EState::Start;
        return;
    }
    case EState::Start: {
        const int n = Count("start");
        if (text != "START") {
            Refuse("start", n, "expected START, got '" + text + "'");
            return;
        }
        if (Acknowledge("start", n, "START"))
            m_state = EState::Body;
        return;
    }
    default:
        return;
    }
}

void CBoardTarget::ProcessBody()
{
    while (m_state == EState::Body && m_rx.size() >= BOARD_BLOCK_SIZE && !m_bGone) {
        const int n = Count("block");
        m_host.Recorder().Append("board-body.bin", m_rx.data(), BOARD_BLOCK_SIZE);
        m_rx.erase(m_rx.begin(), m_rx.begin() + BOARD_BLOCK_SIZE);
        if (!m_rx.empty())
            Error("block " + std::to_string(n) + " followed at once by " + std::to_string(m_rx.size()) +
                  " more bytes");
        Acknowledge("block", n, "BLOCK " + std::to_string(n));
    }
    if (m_state != EState::Body || m_rx.empty())
        return;
    if (m_rx.size() == kEndSize && std::equal(m_rx.begin(), m_rx.end(), kEnd))
        Arm(m_cfg.endQuiet);
    Arm(m_cfg.shortBlockTimeout);
}

void CBoardTarget::OnQuiet()
{
    if (m_bGone)
        return;
    const auto now = m_host.Now();
    if (m_state == EState::Body && !m_rx.empty()) {
        const auto quiet = now - m_lastByte;
        if (m_rx.size() == kEndSize && std::equal(m_rx.begin(), m_rx.end(), kEnd)) {
            if (quiet < m_cfg.endQuiet)
                return;
            m_rx.clear();
            if (Acknowledge("end", Count("end"), "END")) {
                m_state = EState::Finish;
                m_finishSince = now;
                Arm(m_cfg.finishWindow);
            }
        } else if (quiet >= m_cfg.shortBlockTimeout) {
            const int n = Count("block");
            m_host.Recorder().Append("board-body.bin", m_rx.data(), m_rx.size());
            Error("short block " + std::to_string(n) + " of " + std::to_string(m_rx.size()) + " bytes");
            m_rx.clear();
            m_host.Recorder().Line("board.log", "BLOCK " + std::to_string(n) + " short");
            Emit("block", n, std::vector<std::uint8_t>(BOARD_REFUSAL, BOARD_REFUSAL + 6));
        }
        return;
    }
    if (m_state == EState::Finish && now - m_finishSince >= m_cfg.finishWindow) {
        const int n = Count("finish");
        if (m_rx.size() > BOARD_MAX_FINISH)
            Error("finish record of " + std::to_string(m_rx.size()) + " bytes, more than 4");
        m_host.Recorder().Truncate("board-finish.bin");
        m_host.Recorder().Append("board-finish.bin", m_rx.data(), m_rx.size());
        const std::string line = "FINISH " + std::to_string(m_rx.size());
        m_rx.clear();
        m_state = EState::Probe;
        Acknowledge("finish", n, line);
    }
}
