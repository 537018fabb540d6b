#pragma once
// The tool's side of the wire for the virtual target's tests: plain POSIX I/O
// on the slave, frames built with BuildFrame and read back by a parser of the
// test's own, so that a fault in the target's codec cannot hide itself.
#include "SimTarget.h"
#include "TempFolder.h"
#include "TestBytes.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

using namespace std::chrono_literals;

std::string HexText(const Bytes& bytes);

bool SetLineSpeed(int fd, std::uint32_t baud);

struct CRxFrame {
    std::uint8_t command = 0;
    std::uint8_t subcommand = 0;
    Bytes payload;
    bool checksumOk = true;
    Bytes before; // bytes seen before the start marker
};

// One open slave descriptor, raw.
class CSlave {
public:
    explicit CSlave(const std::string& path);
    ~CSlave();
    CSlave(const CSlave&) = delete;
    CSlave& operator=(const CSlave&) = delete;

    bool IsOpen() const { return m_fd >= 0; }
    int Fd() const { return m_fd; }
    void Close();
    bool Reopen(const std::string& path);

    bool WriteAll(const Bytes& bytes);
    bool SendFrame(std::uint8_t command, std::uint8_t subcommand, const Bytes& payload);
    // Bytes until count arrived or timeout passed.
    Bytes Read(std::size_t count, std::chrono::milliseconds timeout);
    // Everything that arrives until the line is quiet for quiet.
    Bytes ReadQuiet(std::chrono::milliseconds quiet);
    // Next frame, or nothing on timeout.
    std::optional<CRxFrame> ReadFrame(std::chrono::milliseconds timeout = 2000ms);
    // True when the far side went away (hang-up or EIO) within timeout.
    bool WaitHangup(std::chrono::milliseconds timeout);

private:
    int m_fd = -1;
    Bytes m_pending;
};

// A target on its own thread, configured from command-line words as a user
// would, with its own pty and record folder.
class CSimFixture {
public:
    explicit CSimFixture(std::vector<std::string> args, bool withRecordDir = true);
    CQuorinSim& Sim() { return m_pTarget->Sim(); }
    const std::string& Dir() const { return m_dir.Path(); }
    std::string RecordPath(const std::string& name) const { return m_dir.Path() + "/" + name; }
    CSlave& Slave() { return *m_pSlave; }

private:
    CTempFolder m_dir;
    std::unique_ptr<CSimTarget> m_pTarget;
    std::unique_ptr<CSlave> m_pSlave;
};

#define EXPECT_SAME_BYTES(expected, actual)                                                                  \
    do {                                                                                                     \
        const std::string diff_ = FirstDifference((expected), (actual));                                     \
        EXPECT_TRUE(diff_.empty()) << diff_;                                                                 \
    } while (0)
