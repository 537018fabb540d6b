#pragma once

#include <cstdint>
#include <ctime>
#include <string>
#include <vector>

class CZipStorage;

// One central-directory file header. The name, extra-field and comment lengths
// are the sizes of their buffers.
class CZipFileHeader {
public:
    static constexpr uint32_t ZIP_CENTRAL_HEADER_SIZE = 46;
    static constexpr uint32_t ZIP_LOCAL_HEADER_SIZE = 30;

    static constexpr uint16_t ZIP_FLAG_ENCRYPTED = 0x0001;
    static constexpr uint16_t ZIP_FLAG_DESCRIPTOR = 0x0008;
    static constexpr uint16_t ZIP_METHOD_STORED = 0;
    static constexpr uint16_t ZIP_METHOD_DEFLATED = 8;
    static constexpr uint32_t ZIP_ATTR_DIRECTORY = 0x10;
    static constexpr uint32_t ZIP_ATTR_READONLY = 0x01;
    static constexpr uint8_t ZIP_HOST_UNIX = 3;

    CZipFileHeader() = default;
    virtual ~CZipFileHeader() = default;
    CZipFileHeader(const CZipFileHeader&) = default;
    CZipFileHeader& operator=(const CZipFileHeader&) = default;

    // Reads the header at the current position. False when the signature is
    // not a central header's; BadArchive when the file ends inside it.
    bool Read(CZipStorage& storage);

    // Reads the local header at the current position and checks it against
    // this header; on success hands back the local extra length and leaves
    // the position after the name.
    bool ReadLocal(CZipStorage& storage, uint16_t& uExtraLen) const;

    // Stored names keep their bytes (no code page applies on this platform);
    // '/' becomes '\', the separator of destination building.
    void ConvertName();

    std::string GetFileName() const { return {m_pszFileName.begin(), m_pszFileName.end()}; }
    bool IsEncrypted() const { return (m_uFlag & ZIP_FLAG_ENCRYPTED) != 0; }
    bool IsDirectory() const { return (m_uExternalAttr & ZIP_ATTR_DIRECTORY) != 0; }
    uint8_t GetSystemCompatibility() const { return static_cast<uint8_t>(m_uVersionMadeBy >> 8); }

    // The DOS date and time as local time; false when they name no valid time
    // or the platform's time type cannot hold it.
    bool GetTime(time_t& tTime) const;

    uint8_t m_szSignature[4] = {0x50, 0x4B, 0x01, 0x02};
    uint16_t m_uVersionMadeBy = 0;
    uint16_t m_uVersionNeeded = 0;
    uint16_t m_uFlag = 0;
    uint16_t m_uMethod = ZIP_METHOD_DEFLATED;
    uint16_t m_uModTime = 0; // DOS: seconds / 2 in bits 0-4, minutes 5-10, hours 11-15
    uint16_t m_uModDate = 0; // DOS: day in bits 0-4, month 5-8, years since 1980 9-15
    uint32_t m_uCrc32 = 0;
    uint32_t m_uComprSize = 0;
    uint32_t m_uUncomprSize = 0;
    uint16_t m_uDiskStart = 0; // volume of the local header
    uint16_t m_uInternalAttr = 0;
    uint32_t m_uExternalAttr = 0x20;
    uint32_t m_uOffset = 0; // local header offset, before the archive's prefix
    std::vector<uint8_t> m_pExtraField;
    std::vector<uint8_t> m_pszFileName; // no terminator
    std::vector<uint8_t> m_pszComment;
};

// Little-endian fields of the on-disk records.
inline uint16_t ZipGet16(const uint8_t* p)
{
    return static_cast<uint16_t>(p[0] | (p[1] << 8));
}
inline uint32_t ZipGet32(const uint8_t* p)
{
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
           (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}
