#include "files/FileSystem.h"

#include <windows.h>

#include <cerrno>
#include <cstdlib>
#include <cwchar>
#include <fcntl.h>
#include <io.h>
#include <memory>
#include <random>
#include <sys/stat.h>
#include <sys/utime.h>

namespace {

// 100 ns ticks between 1601 and 1970.
constexpr std::int64_t kEpochTicks = 116444736000000000LL;

int ErrnoOf(DWORD error)
{
    switch (error) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_DRIVE:
    case ERROR_BAD_NETPATH:
        return ENOENT;
    case ERROR_ACCESS_DENIED:
    case ERROR_WRITE_PROTECT:
        return EACCES;
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
        return EWOULDBLOCK;
    case ERROR_ALREADY_EXISTS:
    case ERROR_FILE_EXISTS:
        return EEXIST;
    case ERROR_DIR_NOT_EMPTY:
        return ENOTEMPTY;
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL:
        return ENOSPC;
    case ERROR_INVALID_NAME:
    case ERROR_BAD_PATHNAME:
    case ERROR_INVALID_PARAMETER:
        return EINVAL;
    case ERROR_FILENAME_EXCED_RANGE:
        return ENAMETOOLONG;
    case ERROR_NOT_ENOUGH_MEMORY:
    case ERROR_OUTOFMEMORY:
        return ENOMEM;
    default:
        return EIO;
    }
}

bool Failed()
{
    errno = ErrnoOf(GetLastError());
    return false;
}

std::int64_t TicksToNs(LARGE_INTEGER ticks)
{
    return (ticks.QuadPart - kEpochTicks) * 100;
}

struct HandleCloser {
    void operator()(HANDLE h) const { CloseHandle(h); }
};
using Handle = std::unique_ptr<void, HandleCloser>;

bool InfoOfHandle(HANDLE h, CFsInfo& info)
{
    FILE_BASIC_INFO basic{};
    BY_HANDLE_FILE_INFORMATION id{};
    if (!GetFileInformationByHandleEx(h, FileBasicInfo, &basic, sizeof basic) ||
        !GetFileInformationByHandle(h, &id))
        return Failed();
    info = {};
    const DWORD type = GetFileType(h);
    info.bFolder = (basic.FileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    info.bLink = (basic.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
    info.bRegular = !info.bFolder && !info.bLink && type == FILE_TYPE_DISK;
    info.uSize = static_cast<std::uint64_t>(id.nFileSizeHigh) << 32 | id.nFileSizeLow;
    info.nModifiedNs = TicksToNs(basic.LastWriteTime);
    info.nChangedNs = TicksToNs(basic.ChangeTime);
    info.uDevice = id.dwVolumeSerialNumber;
    info.uFileId = static_cast<std::uint64_t>(id.nFileIndexHigh) << 32 | id.nFileIndexLow;
    info.uPermissions = (basic.FileAttributes & FILE_ATTRIBUTE_READONLY) ? 0555 : 0777;
    return true;
}

bool StatPath(const std::string& path, CFsInfo& info, DWORD extraFlags)
{
    // No access asked: the attributes of a file another program holds open
    // are still readable.
    Handle h(CreateFileW(FsWide(path).c_str(), FILE_READ_ATTRIBUTES,
                         FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                         FILE_FLAG_BACKUP_SEMANTICS | extraFlags, nullptr));
    if (h.get() == INVALID_HANDLE_VALUE) {
        h.release();
        return Failed();
    }
    return InfoOfHandle(h.get(), info);
}

std::string TrimSeparators(std::string path)
{
    while (path.size() > 1 && (path.back() == '\\' || path.back() == '/') && path[path.size() - 2] != ':')
        path.pop_back();
    return path;
}

HANDLE OsHandle(int fd)
{
    return reinterpret_cast<HANDLE>(_get_osfhandle(fd));
}

} // namespace

std::wstring FsWide(std::string_view utf8)
{
    if (utf8.empty())
        return {};
    const int n = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
    std::wstring wide(static_cast<std::size_t>(n > 0 ? n : 0), L'\0');
    if (n > 0)
        MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), wide.data(), n);
    return wide;
}

std::string FsUtf8(std::wstring_view wide)
{
    if (wide.empty())
        return {};
    const int n = WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), nullptr, 0,
                                      nullptr, nullptr);
    std::string utf8(static_cast<std::size_t>(n > 0 ? n : 0), '\0');
    if (n > 0)
        WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), utf8.data(), n, nullptr,
                            nullptr);
    return utf8;
}

std::filesystem::path FsPath(std::string_view utf8)
{
    return std::filesystem::path(FsWide(utf8));
}

std::string FsUtf8(const std::filesystem::path& path)
{
    return FsUtf8(std::wstring_view(path.native()));
}

int FsOpen(const std::string& path, EFsOpen how)
{
    int flags = _O_BINARY | _O_NOINHERIT;
    switch (how) {
    case EFsOpen::Read:
    case EFsOpen::ReadNonBlocking:
        flags |= _O_RDONLY;
        break;
    case EFsOpen::ReadWrite:
        flags |= _O_RDWR;
        break;
    case EFsOpen::CreateWrite: {
        // A link or junction left at the destination is not written through.
        CFsInfo info;
        if (FsStatNoFollow(path, info) && info.bLink) {
            errno = ELOOP;
            return -1;
        }
        flags |= _O_WRONLY | _O_CREAT | _O_TRUNC;
        break;
    }
    }
    const std::wstring wide = FsWide(path);
    const int fd = _wopen(wide.c_str(), flags, _S_IREAD | _S_IWRITE);
    // Windows refuses to open a folder as access denied; say what it is.
    if (fd < 0 && errno == EACCES) {
        const DWORD attributes = GetFileAttributesW(wide.c_str());
        if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY))
            errno = EISDIR;
    }
    return fd;
}

std::FILE* FsOpenStream(const std::string& path, const char* mode)
{
    // Binary always, and not inherited by child processes.
    std::wstring wideMode = FsWide(mode);
    if (wideMode.find(L'b') == std::wstring::npos)
        wideMode += L'b';
    std::FILE* file = _wfopen(FsWide(path).c_str(), wideMode.c_str());
    // Not every C library takes the "N" mode letter; the handle is told instead.
    if (file != nullptr)
        SetHandleInformation(OsHandle(_fileno(file)), HANDLE_FLAG_INHERIT, 0);
    return file;
}

int FsDuplicate(int fd)
{
    const int copy = _dup(fd);
    if (copy >= 0)
        SetHandleInformation(OsHandle(copy), HANDLE_FLAG_INHERIT, 0);
    return copy;
}

bool FsClose(int fd)
{
    return _close(fd) == 0;
}

long long FsRead(int fd, void* buffer, std::size_t count)
{
    const unsigned chunk = count > 0x40000000 ? 0x40000000u : static_cast<unsigned>(count);
    return _read(fd, buffer, chunk);
}

long long FsWrite(int fd, const void* buffer, std::size_t count)
{
    const unsigned chunk = count > 0x40000000 ? 0x40000000u : static_cast<unsigned>(count);
    return _write(fd, buffer, chunk);
}

long long FsReadAt(int fd, void* buffer, std::size_t count, std::uint64_t offset)
{
    // An offset in the OVERLAPPED of a synchronous handle reads there, but
    // moves the handle's position: it is put back, as pread leaves it, for
    // the reader that comes next on the same descriptor.
    const long long position = _lseeki64(fd, 0, SEEK_CUR);
    if (position < 0)
        return -1;
    OVERLAPPED at{};
    at.Offset = static_cast<DWORD>(offset);
    at.OffsetHigh = static_cast<DWORD>(offset >> 32);
    const DWORD chunk = count > 0x40000000 ? 0x40000000u : static_cast<DWORD>(count);
    DWORD got = 0;
    const bool read = ReadFile(OsHandle(fd), buffer, chunk, &got, &at) != 0;
    const DWORD error = GetLastError();
    _lseeki64(fd, position, SEEK_SET);
    if (!read) {
        if (error == ERROR_HANDLE_EOF)
            return 0;
        errno = ErrnoOf(error);
        return -1;
    }
    return got;
}

long long FsSeek(int fd, long long offset, int whence)
{
    return _lseeki64(fd, offset, whence);
}

bool FsTryLock(int fd, EFsLock kind)
{
    OVERLAPPED whole{};
    const DWORD flags =
        LOCKFILE_FAIL_IMMEDIATELY | (kind == EFsLock::Exclusive ? LOCKFILE_EXCLUSIVE_LOCK : 0);
    if (LockFileEx(OsHandle(fd), flags, 0, MAXDWORD, MAXDWORD, &whole))
        return true;
    return Failed();
}

int FsLockFolder(const std::string& folder, bool& gone)
{
    gone = false;
    // A folder handle takes no byte-range lock: the lock is on a file beside
    // it, which goes when the last handle closes. Every share is allowed, so
    // that a second load opens it and finds it locked.
    const std::string lockPath = TrimSeparators(folder) + ".lock";
    HANDLE h = CreateFileW(FsWide(lockPath).c_str(), GENERIC_READ | GENERIC_WRITE,
                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_ALWAYS,
                           FILE_ATTRIBUTE_HIDDEN | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        Failed();
        return -1;
    }
    OVERLAPPED whole{};
    if (!LockFileEx(h, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, MAXDWORD, MAXDWORD, &whole)) {
        Failed();
        const int error = errno;
        CloseHandle(h);
        errno = error;
        return -1;
    }
    const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(h), _O_RDWR | _O_NOINHERIT);
    if (fd < 0) {
        CloseHandle(h);
        errno = EIO;
        return -1;
    }
    // The holder before us may have removed the folder.
    CFsInfo info;
    if (!FsStat(folder, info) || !info.bFolder) {
        _close(fd);
        gone = true;
        return -1;
    }
    return fd;
}

bool FsStat(const std::string& path, CFsInfo& info)
{
    return StatPath(path, info, 0);
}

bool FsStatNoFollow(const std::string& path, CFsInfo& info)
{
    return StatPath(path, info, FILE_FLAG_OPEN_REPARSE_POINT);
}

bool FsStatDescriptor(int fd, CFsInfo& info)
{
    const HANDLE h = OsHandle(fd);
    if (h == INVALID_HANDLE_VALUE) {
        errno = EBADF;
        return false;
    }
    return InfoOfHandle(h, info);
}

bool FsExists(const std::string& path)
{
    if (GetFileAttributesW(FsWide(path).c_str()) != INVALID_FILE_ATTRIBUTES)
        return true;
    return Failed();
}

bool FsCanEnter(const std::string& path)
{
    const DWORD attributes = GetFileAttributesW(FsWide(path).c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

bool FsCanWriteFolder(const std::string& path)
{
    // The read-only attribute of a folder does not stop writing into it, and
    // access lists are too many to read: a file is made and removed.
    if (path.empty() || !FsCanEnter(path))
        return false;
    const std::wstring probe = FsWide(path + "\\.velunda-probe-" + std::to_string(GetCurrentProcessId()));
    Handle h(CreateFileW(probe.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                         FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr));
    if (h.get() == INVALID_HANDLE_VALUE) {
        h.release();
        return Failed();
    }
    return true;
}

bool FsFreeBytes(const std::string& path, std::uint64_t& bytes)
{
    ULARGE_INTEGER available{};
    if (!GetDiskFreeSpaceExW(FsWide(path).c_str(), &available, nullptr, nullptr))
        return Failed();
    bytes = available.QuadPart;
    return true;
}

bool FsMakeFolder(const std::string& path)
{
    return CreateDirectoryW(FsWide(path).c_str(), nullptr) ? true : Failed();
}

bool FsRemoveFile(const std::string& path)
{
    const std::wstring wide = FsWide(path);
    if (DeleteFileW(wide.c_str()))
        return true;
    // A read-only file (the entry said so) is the tool's to remove all the same.
    const DWORD attributes = GetFileAttributesW(wide.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY) &&
        SetFileAttributesW(wide.c_str(), attributes & ~FILE_ATTRIBUTE_READONLY) && DeleteFileW(wide.c_str()))
        return true;
    return Failed();
}

bool FsRemoveFolder(const std::string& path)
{
    return RemoveDirectoryW(FsWide(path).c_str()) ? true : Failed();
}

bool FsSetPermissions(const std::string& path, unsigned permissions)
{
    // Windows keeps one bit of it: read-only, when the owner may not write.
    const std::wstring wide = FsWide(path);
    const DWORD attributes = GetFileAttributesW(wide.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES)
        return Failed();
    if (attributes & FILE_ATTRIBUTE_DIRECTORY)
        return true;
    const DWORD wanted =
        (permissions & 0200) ? attributes & ~FILE_ATTRIBUTE_READONLY : attributes | FILE_ATTRIBUTE_READONLY;
    return wanted == attributes || SetFileAttributesW(wide.c_str(), wanted) ? true : Failed();
}

bool FsSetModified(const std::string& path, std::time_t modified)
{
    Handle h(CreateFileW(FsWide(path).c_str(), FILE_WRITE_ATTRIBUTES,
                         FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                         FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    if (h.get() == INVALID_HANDLE_VALUE) {
        h.release();
        return Failed();
    }
    const std::int64_t ticks = static_cast<std::int64_t>(modified) * 10000000 + kEpochTicks;
    FILETIME write{static_cast<DWORD>(ticks), static_cast<DWORD>(ticks >> 32)};
    FILETIME now{};
    GetSystemTimeAsFileTime(&now);
    return SetFileTime(h.get(), nullptr, &now, &write) ? true : Failed();
}

std::string FsMakeUniqueFolder(const std::string& base, const std::string& prefix)
{
    static constexpr char kLetters[] = "abcdefghijklmnopqrstuvwxyz0123456789";
    std::random_device seed;
    std::mt19937 pick(seed());
    std::uniform_int_distribution<std::size_t> letter(0, sizeof kLetters - 2);
    for (int attempt = 0; attempt < 100; ++attempt) {
        std::string path = base + "\\" + prefix;
        for (int i = 0; i < 6; ++i)
            path += kLetters[letter(pick)];
        if (FsMakeFolder(path))
            return path;
        if (errno != EEXIST)
            return {};
    }
    errno = EEXIST;
    return {};
}

std::tm FsUtcTime(std::time_t when)
{
    std::tm tm{};
    gmtime_s(&tm, &when);
    return tm;
}

std::tm FsLocalTime(std::time_t when)
{
    std::tm tm{};
    localtime_s(&tm, &when);
    return tm;
}

std::string FsEnv(const char* name)
{
    const std::wstring wideName = FsWide(name);
    const DWORD n = GetEnvironmentVariableW(wideName.c_str(), nullptr, 0);
    if (n == 0)
        return {};
    std::wstring value(n, L'\0');
    const DWORD got = GetEnvironmentVariableW(wideName.c_str(), value.data(), n);
    value.resize(got < n ? got : 0);
    return FsUtf8(std::wstring_view(value));
}

bool FsIsAbsolute(std::string_view path)
{
    const auto separator = [](char c) { return c == '\\' || c == '/'; };
    return (path.size() >= 3 && path[1] == ':' && separator(path[2])) ||
           (path.size() >= 2 && separator(path[0]) && separator(path[1]));
}

int FsProcessId()
{
    return static_cast<int>(GetCurrentProcessId());
}

std::string FsHostName()
{
    wchar_t name[MAX_COMPUTERNAME_LENGTH + 1] = {};
    DWORD n = MAX_COMPUTERNAME_LENGTH + 1;
    if (!GetComputerNameW(name, &n))
        return {};
    return FsUtf8(std::wstring_view(name, n));
}

std::string FsCurrentFolder()
{
    std::error_code ec;
    const std::filesystem::path cwd = std::filesystem::current_path(ec);
    return ec ? std::string(".") : FsUtf8(cwd);
}
