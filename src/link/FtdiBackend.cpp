#include "link/FtdiBackend.h"

#include <chrono>
#include <thread>

void IFtdiBackend::WaitForData(FtdiHandle, int timeoutMs)
{
    if (timeoutMs > 0)
        std::this_thread::sleep_for(std::chrono::milliseconds(timeoutMs));
}

void IFtdiBackend::Trace(const std::string& line) const
{
    if (m_fnTrace)
        m_fnTrace(line);
}

void IFtdiBackend::Explain(const std::string& why) const
{
    m_strOpenFailure = why;
    Trace("USB: " + why + "\r\n");
}

bool IFtdiBackend::IsValidTransferSize(std::uint32_t size)
{
    // 0 leaves the size to the driver; otherwise whole USB packets up to 64 KiB.
    return size == 0 || (size >= 64 && size <= 65536 && size % 64 == 0);
}
