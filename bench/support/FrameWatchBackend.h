#pragma once
// A backend that hands everything on and tells which upgrade frames crossed
// and when: the stopwatch of the download benchmarks.
#include "link/FtdiBackendForward.h"
#include "protocol/Frame.h"

#include <chrono>
#include <cstdint>
#include <memory>
#include <utility>

class CFrameWatchBackend : public CForwardingFtdiBackend {
public:
    using Clock = std::chrono::steady_clock;

    explicit CFrameWatchBackend(std::unique_ptr<IFtdiBackend> inner)
        : CForwardingFtdiBackend(std::move(inner))
    {
    }

    FtdiStatus Read(FtdiHandle h, std::uint8_t* buffer, std::uint32_t count, std::uint32_t& got,
                    FtdiSysError& e) final
    {
        const FtdiStatus status = Inner().Read(h, buffer, count, got, e);
        const auto now = Clock::now();
        // Answers are small and come whole at this pace: look for FB 04 0B xx.
        for (std::uint32_t i = 0; status == FTDI_OK && i + 3 < got; ++i) {
            if (buffer[i] == 0xFB && buffer[i + 1] == 0x04 && buffer[i + 2] == CMD_UPGRADE)
                OnAnswerRead(buffer[i + 3], now);
        }
        return status;
    }

    FtdiStatus Write(FtdiHandle h, const std::uint8_t* buffer, std::uint32_t count,
                     std::uint32_t& written) final
    {
        if (count >= 4 && buffer[2] == CMD_UPGRADE)
            OnRequestWritten(buffer[3], Clock::now());
        return Inner().Write(h, buffer, count, written);
    }

protected:
    // An upgrade answer with this subcommand has just been read.
    virtual void OnAnswerRead(std::uint8_t subcommand, Clock::time_point now) = 0;
    // An upgrade request with this subcommand is about to be written.
    virtual void OnRequestWritten(std::uint8_t subcommand, Clock::time_point now) = 0;
};
