#pragma once
// quorin-sim in this process, on a pty of its own: started from a
// configuration or from the words a user gives quorin-sim, stopped when it
// goes; what it recorded is read back from its record folder.
#include "QuorinSim.h"
#include "TestBytes.h"

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

class CSimTarget {
public:
    // A target that does not start fails the test; Started() then says so.
    explicit CSimTarget(CSimConfig config);
    // args as quorin-sim takes them ("board", "--nak", "erase:1", ...); a
    // non-empty recordDir is added as --record-dir.
    explicit CSimTarget(std::vector<std::string> args, const std::string& recordDir = {});
    CSimTarget(const CSimTarget&) = delete;
    CSimTarget& operator=(const CSimTarget&) = delete;

    // The configuration quorin-sim makes of args, or a failed test and the defaults.
    static CSimConfig ConfigOf(std::vector<std::string> args, const std::string& recordDir = {});

    bool Started() const { return m_bStarted; }
    CQuorinSim& Sim() { return *m_pSim; }
    const std::string& SlavePath() const { return m_pSim->SlavePath(); }
    void Stop() { m_pSim->Stop(); }

    // A file of the record folder, and the images of an item ("boot", "data").
    std::filesystem::path RecordPath(const std::string& name) const;
    Bytes Recorded(int item, const char* kind) const;
    // One line per frame the target received.
    std::string FramesLog() const;

private:
    std::unique_ptr<CQuorinSim> m_pSim;
    bool m_bStarted = false;
};
