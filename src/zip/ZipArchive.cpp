#include "zip/ZipArchive.h"

#include "files/FileSystem.h"
#include "zip/ZipPath.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

namespace {

constexpr uint32_t kPermBits = 0777;
constexpr uint32_t kWriteBits = 0222;
constexpr uint32_t kOwnerAll = 0700;
// The file type bits of a Unix mode as the entry stores it, and a link's type.
constexpr uint32_t kTypeBits = 0170000;
constexpr uint32_t kTypeLink = 0120000;

// Entry attributes onto Linux permissions. Unix-made entries carry their mode
// in the high 16 bits: only rwx is taken, never setuid, setgid or sticky, and a
// link entry (written as a plain file) keeps the mode it was created with.
// Otherwise the DOS read-only bit removes write permission. Folders keep owner
// rwx so that the rest of the extraction, and removing it later, still work.
bool ApplyAttributes(const std::string& strPath, const CZipFileHeader& header, bool bFolder)
{
    const uint32_t uUnixMode = header.m_uExternalAttr >> 16;
    const bool bUnixMode = header.GetSystemCompatibility() == CZipFileHeader::ZIP_HOST_UNIX && uUnixMode != 0;
    uint32_t mode = 0;
    if (bUnixMode && (uUnixMode & kTypeBits) != kTypeLink) {
        // The entry names the whole mode: the one on disk is not needed.
        mode = uUnixMode & kPermBits;
    } else {
        CFsInfo info;
        if (!FsStat(strPath, info))
            return false;
        mode = info.uPermissions & kPermBits;
    }
    if (!bUnixMode && (header.m_uExternalAttr & CZipFileHeader::ZIP_ATTR_READONLY))
        mode &= ~kWriteBits;
    if (bFolder)
        mode |= kOwnerAll;
    return FsSetPermissions(strPath, mode);
}

} // namespace

CZipArchive::CZipArchive()
    : m_trace([](const std::string& s) { std::fputs(s.c_str(), stderr); }), m_centralDir(m_storage)
{
}

CZipArchive::~CZipArchive()
{
    ReleaseEntry();
}

void CZipArchive::Trace(const char* pszText) const
{
    if (m_trace)
        m_trace(pszText);
}

voidpf CZipArchive::ZlibAlloc(voidpf opaque, uInt uItems, uInt uSize)
{
    void* pBlock = std::malloc(static_cast<size_t>(uItems) * uSize);
    if (pBlock != nullptr && opaque != nullptr) {
        try {
            static_cast<std::vector<void*>*>(opaque)->push_back(pBlock);
        } catch (...) { // no exception may cross zlib
            std::free(pBlock);
            return Z_NULL;
        }
    }
    return pBlock;
}

void CZipArchive::ZlibFree(voidpf opaque, voidpf pBlock)
{
    if (opaque != nullptr) {
        auto& list = *static_cast<std::vector<void*>*>(opaque);
        auto it = std::find(list.begin(), list.end(), pBlock);
        if (it != list.end())
            list.erase(it);
    }
    std::free(pBlock);
}

void CZipArchive::FreeBlocks()
{
    for (void* pBlock : m_blockList)
        std::free(pBlock);
    m_blockList.clear();
}

void CZipArchive::EndInflate()
{
    if (m_bInflateOpen)
        inflateEnd(&m_zstream);
    m_bInflateOpen = false;
}

void CZipArchive::ReleaseEntry()
{
    EndInflate();
    m_readBuf = {};
    m_nEntryState = 0;
    FreeBlocks();
}

void CZipArchive::RecordCreated(const std::string& strPath, bool bFolder)
{
    if (m_extractedSet.insert(strPath).second)
        m_extracted.push_back({strPath, bFolder});
}

void CZipArchive::Open(const std::string& strPath, int nMode, uint32_t nVolumeSize)
{
    if (!IsClosed()) {
        Trace("ZipArchive already opened.\n");
        return;
    }
    if (nMode != 0 && nMode != 1) {
        Trace("Creating archives is not supported.\n");
        return;
    }
    Start([&] { m_storage.Open(strPath, nMode == 1, nVolumeSize); });
}

void CZipArchive::OpenDescriptor(int fd, const std::string& strPath)
{
    if (!IsClosed()) {
        Trace("ZipArchive already opened.\n");
        return;
    }
    Start([&] { m_storage.OpenDescriptor(fd, strPath); });
}

void CZipArchive::Start(const std::function<void()>& openStorage)
{
    ReleaseEntry();
    m_extracted.clear();
    m_extractedSet.clear();
    m_strLastDestination.clear();
    m_strFolderReady.clear();
    m_uLastStamp = UINT32_MAX; // the time zone may have changed since
    openStorage();
    m_centralDir.Init();
    try {
        m_centralDir.Read();
    } catch (...) {
        // Not yet counted as open: do not keep holding the file.
        if (IsClosed()) {
            m_centralDir.Clear();
            m_storage.Close(true);
        }
        throw;
    }
}

bool CZipArchive::GetEntryInfo(CZipFileHeader& header, uint16_t uIndex) const
{
    if (IsClosed()) {
        Trace("ZipArchive is closed.\n");
        return false;
    }
    if (uIndex >= GetEntryCount()) {
        Trace("Not a valid index.\n");
        return false;
    }
    header = *m_centralDir.m_headers[uIndex];
    return true;
}

bool CZipArchive::IsEntryDirectory(uint16_t uIndex) const
{
    if (IsClosed()) {
        Trace("ZipArchive is closed.\n");
        return false;
    }
    if (uIndex >= GetEntryCount()) {
        Trace("Not a valid index.\n");
        return false;
    }
    return m_centralDir.m_headers[uIndex]->IsDirectory();
}

void CZipArchive::Close(bool bAfterException)
{
    if (IsClosed() && (!bAfterException || IsClosed(false))) {
        Trace("ZipArchive is already closed.\n");
        return;
    }
    if (!bAfterException && m_nEntryState == -1) {
        try {
            CloseEntry(nullptr, false);
        } catch (...) {
            // Report the failure, but leave the object closed so that the next
            // Open works.
            ReleaseEntry();
            m_centralDir.Clear();
            m_storage.Close(true);
            throw;
        }
    }
    ReleaseEntry();
    m_centralDir.Clear();
    m_storage.Close(bAfterException);
    m_strFolderReady.clear();
}

bool CZipArchive::OpenEntry(uint16_t uIndex)
{
    if (uIndex >= GetEntryCount()) {
        Trace("Not a valid index.\n");
        return false;
    }
    if (m_nEntryState != 0) {
        Trace("A file already opened.\n");
        return false;
    }
    m_readBuf.resize(kReadBufSize);
    m_uDataStart = m_centralDir.OpenLocalHeader(uIndex);
    const CZipFileHeader& header = *m_centralDir.m_pOpenedFile;
    if (header.IsEncrypted()) {
        Trace("Password not set for the encrypted file.\n");
        return false;
    }
    m_zstream = z_stream{};
    m_zstream.zalloc = &CZipArchive::ZlibAlloc;
    m_zstream.zfree = &CZipArchive::ZlibFree;
    m_zstream.opaque = m_bTrackBlocks ? &m_blockList : nullptr;
    if (header.m_uMethod == CZipFileHeader::ZIP_METHOD_DEFLATED) {
        // Raw deflate: 32 KiB window, no zlib header or trailer.
        int nResult = inflateInit2(&m_zstream, -MAX_WBITS);
        if (nResult != Z_OK && nResult != Z_NEED_DICT)
            m_storage.ThrowError(nResult);
        m_bInflateOpen = true;
    }
    m_uInLeft = header.m_uComprSize;
    m_uOutLeft = header.m_uUncomprSize;
    m_uCrcRun = 0;
    m_nEntryState = -1;
    return true;
}

uint32_t CZipArchive::ReadEntry(void* pBuf, uint32_t uSize)
{
    if (m_nEntryState != -1) {
        Trace("Current file must be opened.\n");
        return 0;
    }
    if (pBuf == nullptr || uSize == 0)
        return 0;
    const bool bStored = m_centralDir.m_pOpenedFile->m_uMethod == CZipFileHeader::ZIP_METHOD_STORED;
    m_zstream.next_out = static_cast<Bytef*>(pBuf);
    m_zstream.avail_out = std::min(uSize, m_uOutLeft);
    // With nothing left to produce, still consume compressed bytes left over
    // (the end of the deflate stream).
    const bool bDrain = m_zstream.avail_out == 0 && m_uInLeft > 0;
    uint32_t uCount = 0;
    while (m_zstream.avail_out > 0 || (bDrain && m_uInLeft > 0)) {
        if (m_zstream.avail_in == 0 && m_uInLeft > 0) {
            uint32_t k = std::min(kReadBufSize, m_uInLeft);
            if (m_storage.Read(m_readBuf.data(), k) != k)
                m_storage.ThrowError(ZIP_ERR_BAD_ARCHIVE);
            m_uInLeft -= k;
            m_zstream.next_in = m_readBuf.data();
            m_zstream.avail_in = k;
        }
        if (bStored) {
            uint32_t c = std::min(m_zstream.avail_out, m_zstream.avail_in);
            // Stored data shorter than its uncompressed size would never finish.
            if (c == 0)
                m_storage.ThrowError(ZIP_ERR_BAD_ARCHIVE);
            std::memcpy(m_zstream.next_out, m_zstream.next_in, c);
            m_uCrcRun = crc32(m_uCrcRun, m_zstream.next_out, c);
            m_uOutLeft -= c;
            m_zstream.avail_in -= c;
            m_zstream.avail_out -= c;
            m_zstream.next_in += c;
            m_zstream.next_out += c;
            m_zstream.total_out += c;
            uCount += c;
        } else {
            const uLong uBefore = m_zstream.total_out;
            int nResult = inflate(&m_zstream, Z_SYNC_FLUSH);
            const auto p = static_cast<uint32_t>(m_zstream.total_out - uBefore);
            m_uCrcRun = crc32(m_uCrcRun, m_zstream.next_out - p, p);
            m_uOutLeft -= p;
            uCount += p;
            if (nResult == Z_STREAM_END)
                return uCount;
            if (nResult != Z_OK && nResult != Z_NEED_DICT)
                m_storage.ThrowError(nResult);
        }
    }
    return uCount;
}

int CZipArchive::CloseEntry(const char* lpszFilePath, bool bAfterException)
{
    if (m_nEntryState != -1) {
        Trace("No opened file.\n");
        return 0;
    }
    const CZipFileHeader& header = *m_centralDir.m_pOpenedFile;
    int nResult = 1;
    if (!bAfterException) {
        if (m_uOutLeft == 0) {
            if (m_uCrcRun != header.m_uCrc32)
                m_storage.ThrowError(ZIP_ERR_CRC_MISMATCH);
        } else {
            nResult = -1;
        }
        EndInflate();
        if (lpszFilePath != nullptr) {
            // Entries of one archive mostly share a time stamp; converting
            // one reads the time zone file, so the last one is kept.
            const uint32_t uStamp = static_cast<uint32_t>(header.m_uModDate) << 16 | header.m_uModTime;
            if (uStamp != m_uLastStamp) {
                m_uLastStamp = uStamp;
                m_bLastTimeValid = header.GetTime(m_tLastTime);
            }
            if (m_bLastTimeValid && !FsSetModified(lpszFilePath, m_tLastTime))
                nResult = 0;
            // A time that cannot be set still closes the entry, so the next
            // entries can be extracted.
            if (nResult != 0 && !ApplyAttributes(lpszFilePath, header, false))
                nResult = -2;
        }
    }
    if (bAfterException) {
        // Cleaning up after a failure: the data descriptor is not read, so
        // nothing here can throw a second time.
        m_centralDir.ForgetLocalHeader();
        ReleaseEntry();
        return nResult;
    }
    m_centralDir.CloseLocalHeader(m_uDataStart + header.m_uComprSize);
    ReleaseEntry();
    return nResult;
}

int CZipArchive::CloseEntry(CZipBigFile& file)
{
    const std::string strPath = file.GetFilePath();
    file.Close();
    return CloseEntry(strPath.c_str(), false);
}

bool CZipArchive::ExtractEntry(uint16_t uIndex, const std::string& strFolder, bool bFullPath,
                               const char* lpszNewName, ZipCallbackFn pCallback, void* pUserData,
                               uint32_t nBufSize)
{
    m_strLastDestination.clear();
    if (nBufSize == 0 || strFolder.empty())
        return false;
    CZipFileHeader header;
    if (!GetEntryInfo(header, uIndex))
        return false;
    const std::string strEntryPart = ZipBuildEntryPart(
        lpszNewName != nullptr ? std::string(lpszNewName) : header.GetFileName(), bFullPath);
    if (strEntryPart.empty()) {
        Trace("Entry name leaves no file name inside the folder; not extracted.\n");
        return false;
    }
    // A name the system cannot hold would be written somewhere else (a device,
    // a name cut short): such an entry is never extracted.
    if (const std::string why = ZipNameProblem(strEntryPart); !why.empty()) {
        Trace(("Entry name " + strEntryPart + " cannot be a file name here (" + why + "); not extracted.\n")
                  .c_str());
        return false;
    }
    const std::string strNative = ZipJoinNative(strFolder, strEntryPart);

    if (header.IsDirectory()) {
        CreateFolderChain(strNative);
        ApplyAttributes(strNative, header, true);
        m_strLastDestination = strNative;
        return true;
    }
    if (!OpenEntry(uIndex))
        return false;
    // Flat extraction puts every entry in one folder: it is made or checked once.
    const std::string strParent = ZipNativeParent(strNative);
    if (strParent != m_strFolderReady && CreateFolderChain(strParent))
        m_strFolderReady = strParent;
    CZipBigFile file;
    file.Open(strNative, CZipBigFile::modeCreateWrite);
    RecordCreated(strNative, false);
    m_strLastDestination = strNative;

    auto pBuf = std::make_unique_for_overwrite<uint8_t[]>(nBufSize);
    uint32_t uWritten = 0;
    uint32_t n = 0;
    do {
        n = ReadEntry(pBuf.get(), nBufSize);
        if (n > 0) {
            file.Write(pBuf.get(), n);
            uWritten += n;
            if (pCallback != nullptr && !pCallback(uWritten, pUserData))
                break;
        }
    } while (n == nBufSize);
    return CloseEntry(file) == 1;
}

bool CZipArchive::CreateFolderChain(const std::string& strPath)
{
    const std::string strFolder = ZipTrimTrailingSlashes(strPath);
    if (strFolder.empty() || strFolder == "/" || PathKind(strFolder) == -1)
        return true;
    if (!CreateFolderChain(ZipNativeParent(strFolder)))
        return false;
    if (!FsMakeFolder(strFolder))
        return false;
    RecordCreated(strFolder, true);
    return true;
}

int CZipArchive::PathKind(const std::string& strPath)
{
    CFsInfo info;
    if (FsStat(strPath, info))
        return info.bFolder ? -1 : 1;
    return IsFolderReachable(strPath) ? -1 : 0;
}

bool CZipArchive::IsFolderReachable(const std::string& strPath)
{
    // Can the folder be entered? Asked without changing the process's current
    // folder, which other threads rely on.
    return FsCanEnter(strPath);
}
