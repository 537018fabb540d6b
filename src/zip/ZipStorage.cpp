#include "zip/ZipStorage.h"

#include "zip/ZipException.h"

void CZipStorage::Open(const std::string& strPath, bool bReadOnly, uint32_t nVolumeSize)
{
    m_file.Open(strPath, bReadOnly ? CZipBigFile::modeRead : CZipBigFile::modeReadWrite);
    m_nSpanMode = nVolumeSize == 0 ? spanUndecided : spanExpectFiles;
}

void CZipStorage::Close(bool bAfterException)
{
    m_nVolume = -1;
    m_nSpanMode = spanNone;
    if (bAfterException)
        m_file.Abort();
    else
        m_file.Close();
}

bool CZipStorage::IsClosed(bool bArchiveLevel) const
{
    return bArchiveLevel ? m_nVolume == -1 : !m_file.IsOpen();
}

void CZipStorage::ReadExact(void* pBuf, uint32_t nCount)
{
    if (nCount == 0)
        return;
    if (m_file.Read(pBuf, nCount) != nCount)
        ThrowError(ZIP_ERR_BAD_ARCHIVE);
}

void CZipStorage::ThrowError(int nError) const
{
    throw CZipException(nError, IsClosed(true) ? std::string() : m_file.GetFilePath());
}
