#pragma once
// A backend that hands every operation to another one: the base of wrappers
// that watch, count or disturb what crosses (benchmarks, fault injection).
#include "link/FtdiBackend.h"

#include <memory>
#include <utility>

class CForwardingFtdiBackend : public IFtdiBackend {
public:
    explicit CForwardingFtdiBackend(std::unique_ptr<IFtdiBackend> inner) : m_pInner(std::move(inner)) {}

    FtdiStatus ListDevices(std::uint32_t& count) override { return m_pInner->ListDevices(count); }
    FtdiStatus Open(std::uint32_t index, FtdiHandle& handle) override
    {
        return m_pInner->Open(index, handle);
    }
    FtdiStatus SetUsbParameters(FtdiHandle handle, std::uint32_t in, std::uint32_t out) override
    {
        return m_pInner->SetUsbParameters(handle, in, out);
    }
    FtdiStatus Purge(FtdiHandle handle, std::uint32_t mask) override { return m_pInner->Purge(handle, mask); }
    FtdiStatus SetTimeouts(FtdiHandle handle, std::uint32_t readMs, std::uint32_t writeMs) override
    {
        return m_pInner->SetTimeouts(handle, readMs, writeMs);
    }
    FtdiStatus SetLatencyTimer(FtdiHandle handle, std::uint8_t latencyMs) override
    {
        return m_pInner->SetLatencyTimer(handle, latencyMs);
    }
    FtdiStatus GetStatus(FtdiHandle handle, std::uint32_t& rxBytes, std::uint32_t& txBytes,
                         std::uint32_t& events, FtdiSysError& error) override
    {
        return m_pInner->GetStatus(handle, rxBytes, txBytes, events, error);
    }
    FtdiStatus Read(FtdiHandle handle, std::uint8_t* buffer, std::uint32_t count, std::uint32_t& bytesRead,
                    FtdiSysError& error) override
    {
        return m_pInner->Read(handle, buffer, count, bytesRead, error);
    }
    FtdiStatus Write(FtdiHandle handle, const std::uint8_t* buffer, std::uint32_t count,
                     std::uint32_t& written) override
    {
        return m_pInner->Write(handle, buffer, count, written);
    }
    FtdiStatus Close(FtdiHandle handle) override { return m_pInner->Close(handle); }
    void WaitForData(FtdiHandle handle, int timeoutMs) override { m_pInner->WaitForData(handle, timeoutMs); }
    void SetTrace(TraceFn trace) override { m_pInner->SetTrace(std::move(trace)); }

protected:
    IFtdiBackend& Inner() { return *m_pInner; }

private:
    std::unique_ptr<IFtdiBackend> m_pInner;
};
