#pragma once
// velunda-cli as a user runs it: the program in a process of its own, in a
// temporary working folder (its Boot folder lives there), against the
// virtual target on a pty of its own. Packages are made with velunda-pack;
// what the target recorded is read back from its record folder.
#include "ProgramRun.h"
#include "SimTarget.h"
#include "TempFolder.h"
#include "TestPackages.h"
#include "TestPaths.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <sys/types.h>

namespace clitest {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

// The JSON objects among the lines of a --json output; only the events named
// event when it is given.
std::vector<nlohmann::json> JsonEvents(const std::string& out, const std::string& event = "");

class CliTest : public ::testing::Test {
protected:
    CliTest();
    ~CliTest() override;

    // Starts the target with `sim` as configured so far.
    void StartTarget();
    // A Quorin V1 .DAT with the given parts in the working folder, and a boot
    // image in its Boot folder; the part files stay beside it for comparing.
    fs::path MakeDat(const std::vector<DatPart>& parts, const std::string& name = "pkg.DAT")
    {
        return PackDat(m_dir, parts, name, &m_boot);
    }
    RunResult Cli(std::vector<std::string> args, std::chrono::seconds timeout = 60s);
    // Cli with --usb-tty pointing at the target.
    RunResult CliUsb(std::vector<std::string> args, std::chrono::seconds timeout = 60s);
    // velunda-pack qvp with args, written to out in the working folder.
    fs::path Pack(const std::vector<std::string>& args, const std::string& out)
    {
        return PackQvp(m_dir, args, out);
    }
    // A part file with its own byte pattern under parts/.
    fs::path Part(const std::string& name, std::size_t size, unsigned seed);
    struct V2Package {
        fs::path qvp, header, main, cdm, cdmBoot;
    };
    // A Quorin V2 archive: header, MAIN, CDM and the CDM boot image.
    V2Package MakeV2Qvp(std::size_t mainSize = 17000, const std::string& name = "v2.qvp");
    // Every part of p arrived in recordDir byte for byte, with its boot image.
    ::testing::AssertionResult RecordedV2(const fs::path& recordDir, const V2Package& p) const;
    // Another virtual machine, as config says, recording into its own folder.
    CQuorinSim& AddTarget(CSimConfig config);

    fs::path PartFile(const char* option) const { return DatPartFile(m_dir, option); }
    fs::path Recorded(int item, const char* kind) const
    {
        return m_dir / "rec" / (std::to_string(item) + "-" + kind + ".bin");
    }

    CTempFolder m_root;
    fs::path m_dir = fs::path(m_root.Path()) / "work";
    fs::path m_state = fs::path(m_root.Path()) / "state"; // XDG_STATE_HOME of the programs the test runs
    fs::path m_etc = fs::path(m_root.Path()) / "etc";     // VELUNDA_CONFIG_DIR: velunda.conf, trusted-keys/
    fs::path m_config =
        fs::path(m_root.Path()) / "config"; // XDG_CONFIG_HOME: the user's velunda/trusted-keys/
    CSimConfig sim;
    std::unique_ptr<CSimTarget> m_target;
    std::vector<std::unique_ptr<CQuorinSim>> m_targets; // AddTarget's
    Bytes m_boot;
};

} // namespace clitest
