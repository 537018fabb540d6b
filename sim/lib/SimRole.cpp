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
    std::vector<std::uint8_t> out;
    for (const auto& rule : m_cfg.strays)
        if (rule.point.kind.empty() || rule.point.Matches(kind, n))
            out.insert(out.end(), rule.bytes.begin(), rule.bytes.end());
    out.insert(out.end(), bytes.begin(), bytes.end());
    const SimDuration delay = applyDelay ? DelayFor(kind, n) : SimDuration{0};
    if (delay.count() > 0) {
        m_host.After(delay, [this, out] {
            if (!m_bGone)
                m_host.Write(out);
        });
    } else {
        m_host.Write(out);
    }
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
