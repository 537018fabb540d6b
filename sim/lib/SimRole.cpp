#include "SimRole.h"

bool CSimRole::Hit(const std::vector<CSimPoint>& points, const std::string& kind, int n)
{
    for (const auto& p : points)
        if (p.Matches(kind, n))
            return true;
    return false;
}

SimDuration CSimRole::DelayFor(const std::string& kind, int n) const
{
    SimDuration total{0};
    for (const auto& rule : m_cfg.delays)
        if (rule.point.Matches(kind, n))
            total += rule.delay;
    return total;
}

void CSimRole::Emit(const std::string& kind, int n, const std::vector<std::uint8_t>& bytes, bool applyDelay)
{
    if (m_bGone)
        return;
    if (m_cfg.silent || Hit(m_cfg.silentAt, kind, n)) {
        if (!m_bSilent)
            m_host.Trace("silent from " + kind + " " + std::to_string(n) + " on");
        m_bSilent = true;
    }
    if (m_bSilent)
        return;
    const std::vector<std::uint8_t>* body = &bytes;
    for (const auto& rule : m_cfg.replaces)
        if (rule.point.Matches(kind, n))
            body = &rule.bytes;
    std::vector<std::uint8_t> out;
    for (const auto& rule : m_cfg.strays)
        if (rule.point.kind.empty() || rule.point.Matches(kind, n))
            out.insert(out.end(), rule.bytes.begin(), rule.bytes.end());
    out.insert(out.end(), body->begin(), body->end());
    if (Hit(m_cfg.dupAt, kind, n))
        out.insert(out.end(), body->begin(), body->end());

    SimDuration delay = applyDelay ? DelayFor(kind, n) : SimDuration{0};
    for (const auto& rule : m_cfg.lates)
        if (rule.point.Matches(kind, n))
            delay += rule.delay;
    // Nothing overtakes the second piece of a split answer.
    if (const SimClock::time_point now = m_host.Now(); m_holdUntil > now + delay)
        delay = std::chrono::duration_cast<SimDuration>(m_holdUntil - now);
    const auto send = [this](SimDuration after, std::vector<std::uint8_t> piece) {
        if (after.count() <= 0) {
            m_host.Write(piece);
            return;
        }
        m_host.After(after, [this, piece] {
            if (!m_bGone)
                m_host.Write(piece);
        });
    };
    if (Hit(m_cfg.splitAt, kind, n) && out.size() > 1) {
        const auto half = static_cast<std::ptrdiff_t>(out.size() / 2);
        send(delay, std::vector<std::uint8_t>(out.begin(), out.begin() + half));
        const SimDuration gap = std::chrono::milliseconds(50);
        send(delay + gap, std::vector<std::uint8_t>(out.begin() + half, out.end()));
        m_holdUntil = m_host.Now() + delay + gap;
        return;
    }
    send(delay, std::move(out));
}

bool CSimRole::UnplugIfAsked(const std::string& kind, int n)
{
    if (!Hit(m_cfg.unplugAt, kind, n))
        return false;
    m_host.Trace("unplug at " + kind + " " + std::to_string(n));
    m_bGone = true;
    m_host.Unplug();
    return true;
}

void CSimRole::Error(const std::string& line)
{
    m_host.Recorder().Line("errors.log", line);
    m_host.Trace("error: " + line);
}
