#pragma once

#include "zip/FileException.h"
#include "zip/ZipBigFile.h"
#include "zip/ZipCentralDir.h"
#include "zip/ZipException.h"
#include "zip/ZipFileHeader.h"
#include "zip/ZipStorage.h"

#include <cstdint>
#include <ctime>
#include <functional>
#include <set>
#include <string>
#include <vector>
#include <zlib.h>

// Progress of ExtractEntry: bytes written so far; false stops the copying.
using ZipCallbackFn = bool (*)(uint32_t uProgress, void* pUserData);

// A file or folder that an extraction created on disk (Linux path).
struct CZipExtractedPath {
    std::string strPath;
    bool bFolder;
};

// Reads single-volume ZIP archives (stored and deflated entries, no Zip64) and
// extracts their entries into a folder.
//
// Error contract:
// - Misuse (wrong state, bad index, an entry that cannot be extracted such as
//   an encrypted one or a name that leaves no file) writes one line to the
//   trace sink and returns false, -1, 0 or nothing; nothing changes.
// - A damaged archive or a decompression failure throws CZipException, whose
//   cause tells which (BadArchive, EndRecordMissing, CrcMismatch, Zlib...).
// - A failing file operation (the archive or an output file) throws
//   CFileException with errno and the path.
// Nothing is ever written outside the destination folder, whatever the stored
// name says.
class CZipArchive {
public:
    using TraceSink = std::function<void(const std::string&)>;

    CZipArchive();
    CZipArchive(const CZipArchive&) = delete;
    CZipArchive& operator=(const CZipArchive&) = delete;
    virtual ~CZipArchive();

    // Where misuse is reported; by default standard error.
    void SetTraceSink(TraceSink sink) { m_trace = std::move(sink); }

    // nMode 0: read and write access to an existing archive; 1: read-only.
    // Creating archives (2, 3) is not supported. Volume size is kept for the
    // shape of the call; only single-volume archives are read.
    void Open(const std::string& strPath, int nMode = 0, uint32_t nVolumeSize = 0);
    // Read-only, through a copy of fd, an open descriptor of strPath: the
    // archive read is the file the caller holds, whatever the path names now.
    void OpenDescriptor(int fd, const std::string& strPath);
    bool IsClosed(bool bArchiveLevel = true) const { return m_storage.IsClosed(bArchiveLevel); }
    int GetEntryCount() const { return static_cast<int>(m_centralDir.m_headers.size()); }
    bool GetEntryInfo(CZipFileHeader& header, uint16_t uIndex) const;
    bool IsEntryDirectory(uint16_t uIndex) const;
    // After an exception while an entry was open, pass true: releases without checks.
    void Close(bool bAfterException = false);

    bool ExtractEntry(uint16_t uIndex, const std::string& strFolder, bool bFullPath = false,
                      const char* lpszNewName = nullptr, ZipCallbackFn pCallback = nullptr,
                      void* pUserData = nullptr, uint32_t nBufSize = 65535);

    bool OpenEntry(uint16_t uIndex);
    uint32_t ReadEntry(void* pBuf, uint32_t uSize);
    // 1 complete with a matching CRC (and with a path: time and attributes
    // applied); -1 not all data was read; -2 attributes not applied; 0 no entry
    // open or the time could not be set.
    int CloseEntry(const char* lpszFilePath = nullptr, bool bAfterException = false);
    int CloseEntry(CZipBigFile& file);

    // Creates every missing folder of the chain (a Linux path: only '/'
    // separates); true when it exists afterwards.
    bool CreateFolderChain(const std::string& strPath);
    // -1 an existing folder, 1 an existing file, 0 nothing.
    static int PathKind(const std::string& strPath);
    static bool IsFolderReachable(const std::string& strPath);

    // What the extractions since the last Open created, in order: files
    // created or overwritten, and folders made by CreateFolderChain (folders
    // that existed before are not listed).
    const std::vector<CZipExtractedPath>& GetExtractedPaths() const { return m_extracted; }
    // The file or folder the last ExtractEntry wrote; empty when it wrote nothing.
    const std::string& GetLastDestination() const { return m_strLastDestination; }
    uint64_t GetPrefixLength() const { return m_centralDir.m_uPrefixLength; }
    const std::vector<uint8_t>& GetGlobalComment() const { return m_centralDir.m_pszComment; }

    // Every block the decompressor allocates is listed so that an abandoned
    // entry can always be released.
    bool m_bTrackBlocks = true;

private:
    static constexpr uint32_t kReadBufSize = 16384;

    static voidpf ZlibAlloc(voidpf opaque, uInt uItems, uInt uSize);
    static void ZlibFree(voidpf opaque, voidpf pBlock);
    void FreeBlocks();
    void EndInflate();
    void ReleaseEntry();
    // The rest of an open once openStorage has opened the file.
    void Start(const std::function<void()>& openStorage);
    void Trace(const char* pszText) const;
    void RecordCreated(const std::string& strPath, bool bFolder);

    TraceSink m_trace;
    // Extraction state of the open entry.
    z_stream m_zstream{};
    bool m_bInflateOpen = false;
    uint32_t m_uOutLeft = 0; // uncompressed bytes still to be produced
    uint32_t m_uInLeft = 0;  // compressed bytes still to be read from the archive
    uint32_t m_uCrcRun = 0;
    uint64_t m_uDataStart = 0; // file offset of the open entry's data
    std::vector<uint8_t> m_readBuf;

    CZipStorage m_storage;
    std::vector<void*> m_blockList;
    int8_t m_nEntryState = 0; // 0 none, -1 an entry is open for extraction
    CZipCentralDir m_centralDir;

    std::vector<CZipExtractedPath> m_extracted;
    std::set<std::string> m_extractedSet;
    std::string m_strLastDestination;
    // The folder the last entry was extracted into, known to exist.
    std::string m_strFolderReady;
    // The last entry time stamp converted (DOS date << 16 | time) and its result.
    uint32_t m_uLastStamp = UINT32_MAX;
    time_t m_tLastTime = 0;
    bool m_bLastTimeValid = false;
};
