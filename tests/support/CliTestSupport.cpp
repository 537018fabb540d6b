#include "CliTestSupport.h"

#include <unistd.h>

namespace clitest {

std::vector<nlohmann::json> JsonEvents(const std::string& out, const std::string& event)
{
    std::vector<nlohmann::json> events;
    for (const auto& line : Lines(out)) {
        nlohmann::json e = nlohmann::json::parse(line, nullptr, false);
        if (e.is_object() && (event.empty() || e.value("event", "") == event))
            events.push_back(std::move(e));
    }
    return events;
}

CliTest::CliTest()
{
    // Open to the ordinary user some tests run the programs as.
    fs::permissions(m_root.Path(), fs::perms(0755));
    fs::create_directories(m_dir);
    // Runs record their history and logs beside the working folder, whose
    // contents some tests compare, never in the user's own.
    ::setenv("XDG_STATE_HOME", m_state.c_str(), 1);
    // Signature policy and trusted keys: the test's own, never the machine's.
    ::setenv("VELUNDA_CONFIG_DIR", m_etc.c_str(), 1);
    ::setenv("XDG_CONFIG_HOME", m_config.c_str(), 1);
    // Nor do they send records to a server this machine may be pointed at.
    ::setenv("VELUNDA_RECORDS_URL", "", 1);
    // The program's defaults: a Quorin V1 with every part, its serial number and versions.
    sim = ParseSimArgs({}).config;
    sim.recordDir = (m_dir / "rec").string();
    sim.stepDelay = std::chrono::milliseconds(1);
}

CliTest::~CliTest()
{
    m_targets.clear();
    m_target.reset();
}

void CliTest::StartTarget()
{
    m_target = std::make_unique<CSimTarget>(sim);
    ASSERT_TRUE(m_target->Started());
}

fs::path CliTest::Part(const std::string& name, std::size_t size, unsigned seed)
{
    WriteFileBytes(m_dir / "parts" / name, Pattern(size, seed));
    return m_dir / "parts" / name;
}

CliTest::V2Package CliTest::MakeV2Qvp(std::size_t mainSize, const std::string& name)
{
    V2Package p;
    p.header = Part("BH_V1.0.bin", 1200, 1);
    p.main = Part("SM_V2.10_a.bin", mainSize, 2);
    p.cdm = Part("CDM_V1.02.NHB", 9000, 3);
    p.cdmBoot = Part("BC_V1.bin", 700, 4);
    p.qvp = Pack({"--model", "v2", "--header", p.header.string(), "--main", p.main.string(), "--cdm",
                  p.cdm.string(), "--cdm-boot", p.cdmBoot.string()},
                 name);
    return p;
}

::testing::AssertionResult CliTest::RecordedV2(const fs::path& recordDir, const V2Package& p) const
{
    const std::pair<const char*, const fs::path*> expected[] = {
        {"12-boot", &p.header}, {"12-data", &p.main}, {"11-boot", &p.cdmBoot}, {"11-data", &p.cdm}};
    for (const auto& [name, source] : expected) {
        const fs::path got = recordDir / (std::string(name) + ".bin");
        if (!fs::exists(got))
            return ::testing::AssertionFailure() << got << " was not recorded";
        if (!SameBytes(ReadFileBytes(got), ReadFileBytes(*source)))
            return ::testing::AssertionFailure() << got << " differs from " << *source;
    }
    return ::testing::AssertionSuccess();
}

CQuorinSim& CliTest::AddTarget(CSimConfig config)
{
    config.recordDir = (m_dir / ("rec-" + std::to_string(m_targets.size() + 1))).string();
    m_targets.push_back(std::make_unique<CQuorinSim>(std::move(config)));
    std::string error;
    EXPECT_TRUE(m_targets.back()->Start(error)) << error;
    return *m_targets.back();
}

RunResult CliTest::Cli(std::vector<std::string> args, std::chrono::seconds timeout)
{
    args.insert(args.begin(), TestPath("VELUNDA_CLI"));
    return RunProgram(args, m_dir, timeout);
}

RunResult CliTest::CliUsb(std::vector<std::string> args, std::chrono::seconds timeout)
{
    if (!m_target) {
        ADD_FAILURE() << "the target was not started";
        return {};
    }
    args.insert(args.begin(), {"--usb-tty", m_target->SlavePath()});
    return Cli(std::move(args), timeout);
}

} // namespace clitest
