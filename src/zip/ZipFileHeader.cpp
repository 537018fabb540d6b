#include "zip/ZipFileHeader.h"

#include "zip/ZipStorage.h"

#include <algorithm>
#include <cstring>

namespace {

const uint8_t kCentralSignature[4] = {0x50, 0x4B, 0x01, 0x02};
const uint8_t kLocalSignature[4] = {0x50, 0x4B, 0x03, 0x04};

void ReadBuffer(CZipStorage& storage, std::vector<uint8_t>& buf, uint16_t uLength)
{
    buf.resize(uLength);
    storage.ReadExact(buf.data(), uLength);
}

} // namespace

bool CZipFileHeader::Read(CZipStorage& storage)
{
    uint8_t buf[ZIP_CENTRAL_HEADER_SIZE];
    storage.ReadExact(buf, sizeof buf);
    std::memcpy(m_szSignature, buf, 4);
    m_uVersionMadeBy = ZipGet16(buf + 4);
    m_uVersionNeeded = ZipGet16(buf + 6);
    m_uFlag = ZipGet16(buf + 8);
    m_uMethod = ZipGet16(buf + 10);
    m_uModTime = ZipGet16(buf + 12);
    m_uModDate = ZipGet16(buf + 14);
    m_uCrc32 = ZipGet32(buf + 16);
    m_uComprSize = ZipGet32(buf + 20);
    m_uUncomprSize = ZipGet32(buf + 24);
    uint16_t uNameLen = ZipGet16(buf + 28);
    uint16_t uExtraLen = ZipGet16(buf + 30);
    uint16_t uCommentLen = ZipGet16(buf + 32);
    m_uDiskStart = ZipGet16(buf + 34);
    m_uInternalAttr = ZipGet16(buf + 36);
    m_uExternalAttr = ZipGet32(buf + 38);
    m_uOffset = ZipGet32(buf + 42);
    if (std::memcmp(m_szSignature, kCentralSignature, 4) != 0)
        return false;
    ReadBuffer(storage, m_pszFileName, uNameLen);
    ReadBuffer(storage, m_pExtraField, uExtraLen);
    ReadBuffer(storage, m_pszComment, uCommentLen);
    return true;
}

bool CZipFileHeader::ReadLocal(CZipStorage& storage, uint16_t& uExtraLen) const
{
    uint8_t buf[ZIP_LOCAL_HEADER_SIZE];
    storage.ReadExact(buf, sizeof buf);
    if (std::memcmp(buf, kLocalSignature, 4) != 0)
        return false;
    uint16_t uFlag = ZipGet16(buf + 6);
    bool bDescriptor = (uFlag & ZIP_FLAG_DESCRIPTOR) != 0;
    if (uFlag != m_uFlag || ZipGet16(buf + 8) != m_uMethod ||
        (m_uMethod != ZIP_METHOD_STORED && m_uMethod != ZIP_METHOD_DEFLATED) ||
        ZipGet16(buf + 26) != m_pszFileName.size())
        return false;
    if (!bDescriptor && (ZipGet32(buf + 14) != m_uCrc32 || ZipGet32(buf + 18) != m_uComprSize ||
                         ZipGet32(buf + 22) != m_uUncomprSize))
        return false;
    uExtraLen = ZipGet16(buf + 28);
    storage.Seek(ZipGet16(buf + 26), CZipBigFile::current);
    return true;
}

void CZipFileHeader::ConvertName()
{
    std::replace(m_pszFileName.begin(), m_pszFileName.end(), uint8_t('/'), uint8_t('\\'));
}

bool CZipFileHeader::GetTime(time_t& tTime) const
{
    int nDay = m_uModDate & 0x1F;
    int nMonth = (m_uModDate >> 5) & 0x0F;
    int nYear = 1980 + (m_uModDate >> 9);
    int nSecond = (m_uModTime & 0x1F) * 2;
    int nMinute = (m_uModTime >> 5) & 0x3F;
    int nHour = m_uModTime >> 11;
    static const int kDaysInMonth[12] = {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (nMonth < 1 || nMonth > 12 || nDay < 1 || nDay > kDaysInMonth[nMonth - 1] || nHour > 23 ||
        nMinute > 59 || nSecond > 59)
        return false;
    bool bLeap = (nYear % 4 == 0 && nYear % 100 != 0) || nYear % 400 == 0;
    if (nMonth == 2 && nDay == 29 && !bLeap)
        return false;
    struct tm tmLocal {};
    tmLocal.tm_year = nYear - 1900;
    tmLocal.tm_mon = nMonth - 1;
    tmLocal.tm_mday = nDay;
    tmLocal.tm_hour = nHour;
    tmLocal.tm_min = nMinute;
    tmLocal.tm_sec = nSecond;
    tmLocal.tm_isdst = -1; // daylight-saving time as the system determines it
    time_t t = std::mktime(&tmLocal);
    if (t == static_cast<time_t>(-1))
        return false;
    tTime = t;
    return true;
}
