#include "zip/ZipCentralDir.h"

#include "zip/ZipException.h"
#include "zip/ZipStorage.h"

#include <algorithm>
#include <cstring>

namespace {

const uint8_t kEndSignature[4] = {0x50, 0x4B, 0x05, 0x06};
const uint8_t kDescriptorSignature[4] = {0x50, 0x4B, 0x07, 0x08};
const uint8_t kZip64LocatorSignature[4] = {0x50, 0x4B, 0x06, 0x07};
constexpr uint64_t kZip64LocatorSize = 20;

} // namespace

void CZipCentralDir::Init()
{
    m_bOnDisk = false;
    m_uPrefixLength = 0;
    m_uEndRecordPos = 0;
    m_pOpenedFile = nullptr;
    m_pszComment.clear();
}

void CZipCentralDir::Clear()
{
    m_pOpenedFile = nullptr;
    m_pLocalExtraField.clear();
    m_headers.clear();
    m_pszComment.clear();
}

uint64_t CZipCentralDir::FindEndRecord()
{
    const uint64_t uFileLen = m_storage.GetLength();
    const uint64_t uLimit = std::min<uint64_t>(ZIP_END_RECORD_SIZE + ZIP_MAX_COMMENT, uFileLen);
    std::vector<uint8_t> window(m_uSearchBufSize);
    uint64_t uCovered = 0;
    uint64_t uReach = 0;
    while (uReach < uLimit) {
        uReach = std::min<uint64_t>(uCovered + m_uSearchBufSize, uLimit);
        const auto n = static_cast<uint32_t>(uReach - uCovered);
        m_storage.Seek(-static_cast<int64_t>(uReach), CZipBigFile::end);
        m_storage.ReadExact(window.data(), n);
        // Scan from the end: the record nearest to the end of the file wins.
        for (uint32_t i = n >= 4 ? n - 4 + 1 : 0; i-- > 0;) {
            if (std::memcmp(window.data() + i, kEndSignature, 4) == 0)
                return uFileLen - (uReach - i);
        }
        // Consecutive windows overlap by 3 bytes, so a signature across a boundary is found.
        uCovered += n > 3 ? n - 3 : n;
    }
    m_storage.ThrowError(ZIP_ERR_END_RECORD_MISSING);
}

void CZipCentralDir::Read()
{
    m_uEndRecordPos = FindEndRecord();
    m_storage.Seek(static_cast<int64_t>(m_uEndRecordPos), CZipBigFile::begin);
    uint8_t buf[ZIP_END_RECORD_SIZE];
    m_storage.ReadExact(buf, sizeof buf);
    std::memcpy(m_szSignature, buf, 4);
    m_uThisDisk = ZipGet16(buf + 4);
    m_uDiskWithCD = ZipGet16(buf + 6);
    m_uDiskEntriesNo = ZipGet16(buf + 8);
    m_uEntriesNumber = ZipGet16(buf + 10);
    m_uSize = ZipGet32(buf + 12);
    m_uOffset = ZipGet32(buf + 16);
    const uint16_t uCommentLen = ZipGet16(buf + 20);

    // A ZIP64 archive puts its real values in a record of its own, found
    // through a locator just before this one, and marks these as unknown.
    if ((m_uEntriesNumber == 0xFFFF || m_uSize == 0xFFFFFFFF || m_uOffset == 0xFFFFFFFF) &&
        m_uEndRecordPos >= kZip64LocatorSize) {
        uint8_t locator[4];
        m_storage.Seek(static_cast<int64_t>(m_uEndRecordPos - kZip64LocatorSize), CZipBigFile::begin);
        if (m_storage.Read(locator, 4) == 4 && std::memcmp(locator, kZip64LocatorSignature, 4) == 0)
            m_storage.ThrowError(ZIP_ERR_ZIP64);
        m_storage.Seek(static_cast<int64_t>(m_uEndRecordPos + ZIP_END_RECORD_SIZE), CZipBigFile::begin);
    }

    m_storage.m_nVolume = m_uThisDisk;
    // From here on the archive counts as open. Volumes are not read: an archive
    // spread over several is refused as damaged.
    if (m_uThisDisk != 0 || m_uDiskWithCD != 0)
        m_storage.ThrowError(ZIP_ERR_BAD_ARCHIVE);
    m_storage.m_nSpanMode = CZipStorage::spanNone;

    // 64-bit sum: offsets near 4 GiB must not wrap past the check.
    if (m_uEndRecordPos < static_cast<uint64_t>(m_uOffset) + m_uSize)
        m_storage.ThrowError(ZIP_ERR_BAD_ARCHIVE);
    m_pszComment.resize(uCommentLen);
    m_storage.ReadExact(m_pszComment.data(), uCommentLen);
    m_uPrefixLength = m_uEndRecordPos - m_uSize - m_uOffset;
    if ((m_uSize == 0) != (m_uEntriesNumber == 0))
        m_storage.ThrowError(ZIP_ERR_BAD_ARCHIVE);
    m_bOnDisk = true;
    if (m_uSize == 0)
        return;
    LoadHeaders();
}

void CZipCentralDir::LoadHeaders()
{
    m_storage.Seek(static_cast<int64_t>(m_uOffset + m_uPrefixLength), CZipBigFile::begin);
    m_headers.clear();
    m_headers.reserve(m_uEntriesNumber);
    for (uint32_t i = 0; i < m_uEntriesNumber; ++i) {
        m_headers.push_back(std::make_unique<CZipFileHeader>());
        CZipFileHeader& header = *m_headers.back();
        if (!header.Read(m_storage))
            m_storage.ThrowError(ZIP_ERR_BAD_ARCHIVE);
        header.ConvertName();
    }
}

uint64_t CZipCentralDir::OpenLocalHeader(uint16_t uIndex)
{
    m_pOpenedFile = m_headers[uIndex].get();
    // Only the first volume exists.
    if (m_pOpenedFile->m_uDiskStart != 0)
        m_storage.ThrowError(ZIP_ERR_BAD_ARCHIVE);
    m_storage.Seek(static_cast<int64_t>(m_pOpenedFile->m_uOffset + m_uPrefixLength), CZipBigFile::begin);
    uint16_t uExtraLen = 0;
    if (!m_pOpenedFile->ReadLocal(m_storage, uExtraLen))
        m_storage.ThrowError(ZIP_ERR_BAD_ARCHIVE);
    m_pLocalExtraField.resize(uExtraLen);
    m_storage.ReadExact(m_pLocalExtraField.data(), uExtraLen);
    return m_pOpenedFile->m_uOffset + m_uPrefixLength + CZipFileHeader::ZIP_LOCAL_HEADER_SIZE +
           m_pOpenedFile->m_pszFileName.size() + uExtraLen;
}

void CZipCentralDir::ForgetLocalHeader()
{
    m_pLocalExtraField.clear();
    m_pOpenedFile = nullptr;
}

void CZipCentralDir::CloseLocalHeader(uint64_t uDescriptorPos)
{
    m_pLocalExtraField.clear();
    const CZipFileHeader* pHeader = m_pOpenedFile;
    if (pHeader != nullptr && (pHeader->m_uFlag & CZipFileHeader::ZIP_FLAG_DESCRIPTOR)) {
        m_storage.Seek(static_cast<int64_t>(uDescriptorPos), CZipBigFile::begin);
        uint8_t buf[12];
        m_storage.ReadExact(buf, 4);
        if (std::memcmp(buf, kDescriptorSignature, 4) != 0)
            m_storage.Seek(-4, CZipBigFile::current);
        m_storage.ReadExact(buf, 12);
        if (ZipGet32(buf) != pHeader->m_uCrc32 || ZipGet32(buf + 4) != pHeader->m_uComprSize ||
            ZipGet32(buf + 8) != pHeader->m_uUncomprSize)
            m_storage.ThrowError(ZIP_ERR_BAD_ARCHIVE);
    }
    m_pOpenedFile = nullptr;
}
