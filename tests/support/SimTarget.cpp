#include "SimTarget.h"

#include <gtest/gtest.h>

CSimTarget::CSimTarget(CSimConfig config) : m_pSim(std::make_unique<CQuorinSim>(std::move(config)))
{
    std::string error;
    m_bStarted = m_pSim->Start(error);
    if (!m_bStarted)
        ADD_FAILURE() << "the target did not start: " << error;
}

CSimTarget::CSimTarget(std::vector<std::string> args, const std::string& recordDir)
    : CSimTarget(ConfigOf(std::move(args), recordDir))
{
}

CSimConfig CSimTarget::ConfigOf(std::vector<std::string> args, const std::string& recordDir)
{
    if (!recordDir.empty())
        args.insert(args.end(), {"--record-dir", recordDir});
    CSimArgsResult parsed = ParseSimArgs(args);
    if (!parsed.ok)
        ADD_FAILURE() << "quorin-sim options: " << parsed.error;
    return parsed.config;
}

std::filesystem::path CSimTarget::RecordPath(const std::string& name) const
{
    return std::filesystem::path(m_pSim->RecordDir()) / name;
}

Bytes CSimTarget::Recorded(int item, const char* kind) const
{
    return ReadFileBytes(RecordPath(std::to_string(item) + "-" + kind + ".bin"));
}

std::string CSimTarget::FramesLog() const
{
    const Bytes b = ReadFileBytes(RecordPath("frames.log"));
    return std::string(b.begin(), b.end());
}
