#pragma once

#include "zip/ZipFileHeader.h"

#include <cstdint>
#include <memory>
#include <vector>

class CZipStorage;

// The end record, the array of entry headers and the entry now open.
class CZipCentralDir {
public:
    static constexpr uint32_t ZIP_END_RECORD_SIZE = 22;
    static constexpr uint32_t ZIP_MAX_COMMENT = 65535;

    explicit CZipCentralDir(CZipStorage& storage) : m_storage(storage) {}
    CZipCentralDir(const CZipCentralDir&) = delete;
    CZipCentralDir& operator=(const CZipCentralDir&) = delete;
    virtual ~CZipCentralDir() = default;

    // Forgets the previous archive's end record before an open.
    void Init();
    // Finds the end record and loads every header (BadArchive, EndRecordMissing).
    void Read();
    // Drops the headers, the open entry and the comment.
    void Clear();

    // Makes entry uIndex the open header and positions the file at its data.
    // Reads the entry's local header; returns the file offset of its data.
    uint64_t OpenLocalHeader(uint16_t uIndex);
    // Reads the data descriptor when the entry has one; it starts at
    // uDescriptorPos, past any compressed bytes left unread. No header is
    // open afterwards.
    void CloseLocalHeader(uint64_t uDescriptorPos);
    // Drops the open entry without reading anything.
    void ForgetLocalHeader();

    uint64_t FindEndRecord();
    void LoadHeaders();

    uint8_t m_szSignature[4] = {};
    uint16_t m_uThisDisk = 0;          // end record offset 4
    uint16_t m_uDiskWithCD = 0;        // end record offset 6
    uint16_t m_uDiskEntriesNo = 0;     // end record offset 8
    uint16_t m_uEntriesNumber = 0;     // end record offset 10
    uint32_t m_uSize = 0;              // end record offset 12
    uint32_t m_uOffset = 0;            // end record offset 16
    std::vector<uint8_t> m_pszComment; // follows the end record
    CZipFileHeader* m_pOpenedFile = nullptr;
    uint64_t m_uEndRecordPos = 0; // file offset where the end record starts
    uint64_t m_uPrefixLength = 0; // bytes in the file before the archive proper
    uint32_t m_uSearchBufSize = 32768;
    bool m_bOnDisk = false;
    std::vector<std::unique_ptr<CZipFileHeader>> m_headers;
    std::vector<uint8_t> m_pLocalExtraField;

private:
    CZipStorage& m_storage;
};
