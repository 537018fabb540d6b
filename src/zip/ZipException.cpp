#include "zip/ZipException.h"

#include <zlib.h>

namespace {

std::string Message(int nCause, const std::string& strArchivePath)
{
    std::string strMessage = CZipException::Describe(nCause);
    if (!strArchivePath.empty())
        strMessage += " (" + strArchivePath + ")";
    return strMessage;
}

} // namespace

CZipException::CZipException(int nError, std::string strArchivePath)
    : std::runtime_error(Message(CauseFromError(nError), strArchivePath)), m_nCause(CauseFromError(nError)),
      m_strArchivePath(std::move(strArchivePath))
{
}

int CZipException::CauseFromError(int nError)
{
    switch (nError) {
    case Z_STREAM_END:
        return ZlibStreamEnd;
    case Z_NEED_DICT:
        return ZlibNeedDict;
    case Z_ERRNO:
        return ZlibErrno;
    case Z_STREAM_ERROR:
        return ZlibStreamError;
    case Z_DATA_ERROR:
        return ZlibDataError;
    case Z_MEM_ERROR:
        return ZlibMemError;
    case Z_BUF_ERROR:
        return ZlibBufError;
    case Z_VERSION_ERROR:
        return ZlibVersionError;
    case ZIP_ERR_BAD_ARCHIVE:
        return BadArchive;
    case ZIP_ERR_CRC_MISMATCH:
        return CrcMismatch;
    case ZIP_ERR_NO_DISK_CALLBACK:
        return NoDiskCallback;
    case ZIP_ERR_DISK_CHANGE_REFUSED:
        return DiskChangeRefused;
    case ZIP_ERR_DRIVE_NOT_REMOVABLE:
        return DriveNotRemovable;
    case ZIP_ERR_VOLUME_LIMIT:
        return VolumeLimit;
    case ZIP_ERR_FIELD_TOO_LONG:
        return FieldTooLong;
    case ZIP_ERR_WRONG_PASSWORD:
        return WrongPassword;
    case ZIP_ERR_END_RECORD_MISSING:
        return EndRecordMissing;
    case ZIP_ERR_ZIP64:
        return Zip64;
    default:
        return Unclassified;
    }
}

const char* CZipException::Describe(int nCause)
{
    switch (nCause) {
    case ZlibStreamEnd:
    case ZlibNeedDict:
    case ZlibErrno:
    case ZlibStreamError:
    case ZlibVersionError:
        return "the decompressor failed on an entry of the archive";
    case ZlibDataError:
        return "an entry's compressed data is corrupt";
    case ZlibMemError:
        return "there is not enough memory to decompress an entry";
    case ZlibBufError:
        return "an entry's compressed data ends too early";
    case BadArchive:
        return "the archive is damaged or is not a ZIP archive";
    case CrcMismatch:
        return "an entry failed its CRC check";
    case NoDiskCallback:
    case DiskChangeRefused:
    case DriveNotRemovable:
    case VolumeLimit:
        return "multi-volume archives are not supported";
    case FieldTooLong:
        return "a name, extra field or comment is too long";
    case WrongPassword:
        return "the password is wrong";
    case EndRecordMissing:
        return "the file is not a ZIP archive (its end record is missing)";
    case Zip64:
        return "the archive is not supported (ZIP64)";
    default:
        return "the archive could not be read";
    }
}
