#pragma once
// Helpers for the bootloader download tests: a pseudo-terminal whose master
// plays the board, temporary folders, byte patterns and comparisons.
#include "TempFolder.h"
#include "TestBytes.h"
#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

using namespace std::chrono_literals;

// The board's end of a pty. The master is non-blocking.
class CBoardPty {
public:
    CBoardPty();
    ~CBoardPty();
    CBoardPty(const CBoardPty&) = delete;
    CBoardPty& operator=(const CBoardPty&) = delete;

    bool IsOpen() const { return m_master >= 0; }
    const std::string& SlavePath() const { return m_slavePath; }
    void Write(const Bytes& bytes);
    // Bytes until n arrived or timeout passed.
    Bytes Read(std::size_t n, std::chrono::milliseconds timeout);
    // Everything that arrives until the line has been quiet for quiet.
    Bytes ReadQuiet(std::chrono::milliseconds quiet);
    // The slave's line speed as the board sees it.
    unsigned SlaveSpeed() const;

private:
    int m_master = -1;
    std::string m_slavePath;
};

// n bytes of a pattern per seed, never containing '#' unless allowHash.
Bytes BodyPattern(std::size_t n, unsigned seed, bool allowHash = false);
Bytes Text(const std::string& text);
Bytes Concat(std::initializer_list<Bytes> parts);
std::vector<std::string> ReadFileLines(const std::string& path);
