#pragma once

#include <stdexcept>
#include <string>

// Internal error numbers of the reader, beside the zlib result codes.
constexpr int ZIP_ERR_BAD_ARCHIVE = -101;
constexpr int ZIP_ERR_CRC_MISMATCH = -102;
constexpr int ZIP_ERR_NO_DISK_CALLBACK = -103;
constexpr int ZIP_ERR_DISK_CHANGE_REFUSED = -104;
constexpr int ZIP_ERR_DRIVE_NOT_REMOVABLE = -105;
constexpr int ZIP_ERR_VOLUME_LIMIT = -106;
constexpr int ZIP_ERR_FIELD_TOO_LONG = -107;
constexpr int ZIP_ERR_WRONG_PASSWORD = -108;
constexpr int ZIP_ERR_END_RECORD_MISSING = -109;
constexpr int ZIP_ERR_ZIP64 = -110;

// A damaged archive or a decompression failure.
class CZipException : public std::runtime_error {
public:
    enum Cause {
        Unclassified = 1,
        ZlibStreamEnd = 2,
        ZlibNeedDict = 3,
        ZlibErrno = 4,
        ZlibStreamError = 5,
        ZlibDataError = 6,
        ZlibMemError = 7,
        ZlibBufError = 8,
        ZlibVersionError = 9,
        BadArchive = 10,
        CrcMismatch = 11,
        NoDiskCallback = 12,
        DiskChangeRefused = 13,
        DriveNotRemovable = 14,
        VolumeLimit = 15,
        FieldTooLong = 16,
        WrongPassword = 17,
        EndRecordMissing = 18,
        Zip64 = 19,
    };

    // nError: a zlib result code or one of the ZIP_ERR_ numbers; strArchivePath
    // is empty when the archive counted as closed.
    CZipException(int nError, std::string strArchivePath);

    // The cause for an internal error number; unknown numbers are Unclassified.
    static int CauseFromError(int nError);

    // What went wrong, in words for the user ("the archive is damaged").
    static const char* Describe(int nCause);
    const char* GetDescription() const { return Describe(m_nCause); }

    int m_nCause;
    std::string m_strArchivePath;
};
