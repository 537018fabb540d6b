#include "zip/ZipStorage.h"

#include "zip/ZipException.h"

#include <algorithm>
#include <cstring>

namespace {
constexpr uint32_t kAheadSize = 16 * 1024;
}

void CZipStorage::Open(const std::string& strPath, bool bReadOnly, uint32_t nVolumeSize)
{
    m_file.Open(strPath, bReadOnly ? CZipBigFile::modeRead : CZipBigFile::modeReadWrite);
    DropAhead(0);
    m_nSpanMode = nVolumeSize == 0 ? spanUndecided : spanExpectFiles;
}

void CZipStorage::OpenDescriptor(int fd, const std::string& strPath)
{
    m_file.OpenDescriptor(fd, strPath);
    DropAhead(0);
    m_nSpanMode = spanUndecided;
}

void CZipStorage::Close(bool bAfterException)
{
    m_nVolume = -1;
    m_nSpanMode = spanNone;
    DropAhead(0);
    if (bAfterException)
        m_file.Abort();
    else
        m_file.Close();
}

void CZipStorage::DropAhead(uint64_t uPos)
{
    m_ahead.clear();
    m_uAheadStart = uPos;
    m_nAheadPos = 0;
}

uint32_t CZipStorage::Read(void* pBuf, uint32_t nCount)
{
    auto* pOut = static_cast<uint8_t*>(pBuf);
    uint32_t nDone = 0;
    while (nDone < nCount) {
        const std::size_t nHeld = m_ahead.size() - m_nAheadPos;
        if (nHeld > 0) {
            const auto n = static_cast<uint32_t>(std::min<std::size_t>(nHeld, nCount - nDone));
            std::memcpy(pOut + nDone, m_ahead.data() + m_nAheadPos, n);
            m_nAheadPos += n;
            nDone += n;
            continue;
        }
        const uint64_t uEnd = m_uAheadStart + m_ahead.size();
        if (nCount - nDone >= kAheadSize) {
            // Large data goes straight to the caller.
            const uint32_t n = m_file.Read(pOut + nDone, nCount - nDone);
            DropAhead(uEnd + n);
            return nDone + n;
        }
        m_ahead.resize(kAheadSize);
        const uint32_t n = m_file.Read(m_ahead.data(), kAheadSize);
        m_ahead.resize(n);
        m_uAheadStart = uEnd;
        m_nAheadPos = 0;
        if (n == 0)
            break;
    }
    return nDone;
}

uint64_t CZipStorage::Seek(int64_t nOffset, CZipBigFile::SeekFrom nFrom)
{
    if (nFrom != CZipBigFile::end) {
        const int64_t nBase =
            nFrom == CZipBigFile::current ? static_cast<int64_t>(m_uAheadStart + m_nAheadPos) : 0;
        const int64_t nTarget = nBase + nOffset;
        // Inside the window: no system call, the file's offset stays at its end.
        if (nTarget >= static_cast<int64_t>(m_uAheadStart) &&
            nTarget <= static_cast<int64_t>(m_uAheadStart + m_ahead.size())) {
            m_nAheadPos = static_cast<std::size_t>(nTarget - static_cast<int64_t>(m_uAheadStart));
            return static_cast<uint64_t>(nTarget);
        }
        const uint64_t uPos = m_file.Seek(nTarget, CZipBigFile::begin);
        DropAhead(uPos);
        return uPos;
    }
    const uint64_t uPos = m_file.Seek(nOffset, nFrom);
    DropAhead(uPos);
    return uPos;
}

bool CZipStorage::IsClosed(bool bArchiveLevel) const
{
    return bArchiveLevel ? m_nVolume == -1 : !m_file.IsOpen();
}

void CZipStorage::ReadExact(void* pBuf, uint32_t nCount)
{
    if (nCount == 0)
        return;
    if (Read(pBuf, nCount) != nCount)
        ThrowError(ZIP_ERR_BAD_ARCHIVE);
}

void CZipStorage::ThrowError(int nError) const
{
    throw CZipException(nError, IsClosed(true) ? std::string() : m_file.GetFilePath());
}
