#pragma once
// A Quorin V1 / V2 machine on the frame protocol: answers the tool's requests,
// records the images it receives per item and, after Data End, plays its own
// erase, program and (for CDM) verify notices.
#include "SimFrameParser.h"
#include "SimRole.h"

class CMachineTarget final : public CSimRole {
public:
    CMachineTarget(const CSimConfig& config, ISimHost& host);
    void OnBytes(const std::uint8_t* bytes, std::size_t count, SimClock::time_point now) override;

private:
    struct CNotice {
        const char* kind;
        std::uint8_t command;
        std::uint8_t subcommand;
        std::vector<std::uint8_t> payload;
    };

    void OnFrame(const CSimFrame& frame);
    void Answer(const std::string& kind, int n, std::uint8_t command, std::uint8_t subcommand,
                std::vector<std::uint8_t> payload, bool hasResult);
    std::vector<std::uint8_t> MakeFrame(const std::string& kind, int n, std::uint8_t command,
                                        std::uint8_t subcommand, std::vector<std::uint8_t> payload,
                                        bool hasResult);
    void SendSerial();
    void StartWork(int item);
    void RunWork(unsigned generation, std::size_t index);
    std::string ImageName(const char* what) const;

    CSimFrameParser m_parser;
    int m_nItem = 0;      // item code of the last UP Index
    int m_nFrames = 0;    // frames received
    unsigned m_nWork = 0; // bumps on every Data End, cancelling an older run of notices
    std::vector<CNotice> m_work;
};
