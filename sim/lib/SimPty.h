#pragma once
// The pseudo-terminal the virtual target sits on. The target owns the master;
// the tool opens the slave by its path. The target keeps a slave descriptor of
// its own so that the master stays valid (no hang-up) while the tool has the
// slave closed, before it first opens it and while it reopens it at another
// line speed.
#include <cstdint>
#include <string>

class CSimPty {
public:
    CSimPty() = default;
    ~CSimPty();
    CSimPty(const CSimPty&) = delete;
    CSimPty& operator=(const CSimPty&) = delete;

    // Opens master and slave, raw 8N1 on the slave, the master non-blocking.
    // linkPath, when not empty, gets a symlink to the slave. On failure error
    // names the call and the OS error.
    bool Open(const std::string& linkPath, std::string& error);
    // Closes both sides and removes the symlink: the device vanishes.
    void Close();

    bool IsOpen() const { return m_nMaster >= 0; }
    int Master() const { return m_nMaster; }
    const std::string& SlavePath() const { return m_strSlavePath; }
    // Output line speed the slave is set to now (what the tool chose), 0 when
    // it cannot be read.
    std::uint32_t SlaveSpeed() const;

private:
    int m_nMaster = -1;
    int m_nSlave = -1;
    std::string m_strSlavePath;
    std::string m_strLinkPath;
};

// Baud rate of a terminal in bits per second, including rates set with
// BOTHER; 0 when it cannot be read.
std::uint32_t ReadLineSpeed(int fd);
