#pragma once
// A pseudo-terminal whose master plays the other end of a serial line (the
// target, the board, a bridge): the code under test opens SlavePath().
#include "TestBytes.h"

#include <chrono>
#include <cstddef>
#include <string>

using namespace std::chrono_literals;

// A fresh pty; the master is non-blocking and stays open for the test unless
// CloseMaster ends it. A pty that cannot be made fails the test.
class CPty {
public:
    CPty();
    ~CPty();
    CPty(const CPty&) = delete;
    CPty& operator=(const CPty&) = delete;

    bool IsOpen() const { return m_master >= 0 && !m_slavePath.empty(); }
    int Master() const { return m_master; }
    const std::string& SlavePath() const { return m_slavePath; }
    // The far end hangs up: the slave side then reads end of file or EIO.
    void CloseMaster();

    // Writes everything through the master; false, and the test fails, when
    // the slave did not take it all within 10 s.
    bool Write(const Bytes& bytes);
    // Reads from the master until n bytes came or timeout passed.
    Bytes Read(std::size_t n, std::chrono::milliseconds timeout = 3000ms);
    // Everything that arrives until the line has been quiet for quiet.
    Bytes ReadQuiet(std::chrono::milliseconds quiet);
    // The slave's output speed as the master sees it, and its input speed in
    // inBaud; 0 when it cannot be read.
    unsigned SlaveSpeed(unsigned* inBaud = nullptr) const;

private:
    int m_master = -1;
    std::string m_slavePath;
};
