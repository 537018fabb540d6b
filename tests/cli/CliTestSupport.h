#pragma once
// velunda-cli as a user runs it: the program in a process of its own, in a
// temporary working folder (its Boot folder lives there), against the
// virtual target on a pty of its own. Packages are made with velunda-pack;
// what the target recorded is read back from its record folder.
#include "QuorinSim.h"
#include "TestBytes.h"
#include "TestPaths.h"

#include <gtest/gtest.h>

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

struct RunResult {
    int exitCode = -1; // -1: killed after the time-out or by a signal
    std::string out;
    std::string err;
};

// Runs argv[0] with the arguments in cwd; kills it after timeout. started,
// when given, is called with the program's process id once it runs (to
// signal it mid-run), on a thread of its own while the output is collected;
// the program is reaped only after started has returned.
RunResult RunProgram(const std::vector<std::string>& argv, const fs::path& cwd, std::chrono::seconds timeout,
                     const std::function<void(pid_t)>& started = {});

std::vector<std::string> Lines(const std::string& text);
// text holds line as one whole line.
bool HasLine(const std::string& text, const std::string& line);
// Every file below dir, as relative paths, sorted.
std::vector<std::string> ListTree(const fs::path& dir);

struct DatPart {
    const char* option; // "--main", "--cis-m", ...
    std::size_t size;
    const char* version;
};

class CliTest : public ::testing::Test {
protected:
    CliTest();
    ~CliTest() override;

    // Starts the target with `sim` as configured so far.
    void StartTarget();
    // A Quorin V1 .DAT with the given parts in the working folder, and a boot
    // image in its Boot folder; the part files stay beside it for comparing.
    fs::path MakeDat(const std::vector<DatPart>& parts, const std::string& name = "pkg.DAT");
    RunResult Cli(std::vector<std::string> args, std::chrono::seconds timeout = 60s);
    // Cli with --usb-tty pointing at the target.
    RunResult CliUsb(std::vector<std::string> args, std::chrono::seconds timeout = 60s);
    // velunda-pack qvp with args, written to out in the working folder.
    fs::path Pack(const std::vector<std::string>& args, const std::string& out);
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

    fs::path PartFile(const char* option) const { return m_dir / (std::string(option + 2) + ".bin"); }
    fs::path Recorded(int item, const char* kind) const
    {
        return m_dir / "rec" / (std::to_string(item) + "-" + kind + ".bin");
    }

    fs::path m_dir;
    fs::path m_state;  // XDG_STATE_HOME of the programs the test runs
    fs::path m_etc;    // VELUNDA_CONFIG_DIR: velunda.conf and the system's trusted-keys/
    fs::path m_config; // XDG_CONFIG_HOME: the user's velunda/trusted-keys/
    CSimConfig sim;
    std::unique_ptr<CQuorinSim> m_target;
    std::vector<std::unique_ptr<CQuorinSim>> m_targets; // AddTarget's
    Bytes m_boot;
};

} // namespace clitest
