#include "files/FileSystem.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>
#include <vector>

namespace {

CFsInfo InfoOf(const struct stat& st)
{
    CFsInfo info;
    info.bFolder = S_ISDIR(st.st_mode);
    info.bRegular = S_ISREG(st.st_mode);
    info.bLink = S_ISLNK(st.st_mode);
    info.uSize = static_cast<std::uint64_t>(st.st_size);
    info.nModifiedNs = static_cast<std::int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
    info.nChangedNs = static_cast<std::int64_t>(st.st_ctim.tv_sec) * 1000000000 + st.st_ctim.tv_nsec;
    info.uDevice = static_cast<std::uint64_t>(st.st_dev);
    info.uFileId = static_cast<std::uint64_t>(st.st_ino);
    info.uPermissions = st.st_mode & 0777;
    return info;
}

} // namespace

std::filesystem::path FsPath(std::string_view utf8)
{
    return std::filesystem::path(utf8);
}

std::string FsUtf8(const std::filesystem::path& path)
{
    return path.string();
}

int FsOpen(const std::string& path, EFsOpen how)
{
    int flags = O_CLOEXEC;
    switch (how) {
    case EFsOpen::Read:
        flags |= O_RDONLY;
        break;
    case EFsOpen::ReadNonBlocking:
        flags |= O_RDONLY | O_NONBLOCK;
        break;
    case EFsOpen::ReadWrite:
        flags |= O_RDWR;
        break;
    case EFsOpen::CreateWrite:
        flags |= O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW;
        break;
    }
    int fd;
    do {
        fd = ::open(path.c_str(), flags, 0666);
    } while (fd < 0 && errno == EINTR);
    return fd;
}

std::FILE* FsOpenStream(const std::string& path, const char* mode)
{
    return std::fopen(path.c_str(), mode);
}

int FsDuplicate(int fd)
{
    return ::fcntl(fd, F_DUPFD_CLOEXEC, 0);
}

bool FsClose(int fd)
{
    // Linux releases the descriptor even when close reports an error; no retry.
    return ::close(fd) == 0 || errno == EINTR;
}

long long FsRead(int fd, void* buffer, std::size_t count)
{
    ssize_t n;
    do {
        n = ::read(fd, buffer, count);
    } while (n < 0 && errno == EINTR);
    return n;
}

long long FsWrite(int fd, const void* buffer, std::size_t count)
{
    ssize_t n;
    do {
        n = ::write(fd, buffer, count);
    } while (n < 0 && errno == EINTR);
    return n;
}

long long FsReadAt(int fd, void* buffer, std::size_t count, std::uint64_t offset)
{
    ssize_t n;
    do {
        n = ::pread(fd, buffer, count, static_cast<off_t>(offset));
    } while (n < 0 && errno == EINTR);
    return n;
}

long long FsSeek(int fd, long long offset, int whence)
{
    return ::lseek(fd, static_cast<off_t>(offset), whence);
}

bool FsTryLock(int fd, EFsLock kind)
{
    return ::flock(fd, (kind == EFsLock::Exclusive ? LOCK_EX : LOCK_SH) | LOCK_NB) == 0;
}

int FsLockFolder(const std::string& folder, bool& gone)
{
    gone = false;
    // The lock lives on the folder itself, so nothing of ours is added to it.
    const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return -1;
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        const int error = errno;
        ::close(fd);
        errno = error;
        return -1;
    }
    // The holder before us may have removed the folder: then the path is no
    // longer the folder we hold.
    struct stat held {};
    struct stat now {};
    if (::fstat(fd, &held) != 0 || ::stat(folder.c_str(), &now) != 0 || held.st_ino != now.st_ino ||
        held.st_dev != now.st_dev) {
        ::close(fd);
        gone = true;
        return -1;
    }
    return fd;
}

bool FsStat(const std::string& path, CFsInfo& info)
{
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0)
        return false;
    info = InfoOf(st);
    return true;
}

bool FsStatNoFollow(const std::string& path, CFsInfo& info)
{
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0)
        return false;
    info = InfoOf(st);
    return true;
}

bool FsStatDescriptor(int fd, CFsInfo& info)
{
    struct stat st {};
    if (::fstat(fd, &st) != 0)
        return false;
    info = InfoOf(st);
    return true;
}

bool FsExists(const std::string& path)
{
    return ::access(path.c_str(), F_OK) == 0;
}

bool FsCanEnter(const std::string& path)
{
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode) && ::access(path.c_str(), X_OK) == 0;
}

bool FsCanWriteFolder(const std::string& path)
{
    struct stat st {};
    return !path.empty() && ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode) &&
           ::access(path.c_str(), W_OK | X_OK) == 0;
}

bool FsFreeBytes(const std::string& path, std::uint64_t& bytes)
{
    struct statvfs info {};
    if (::statvfs(path.c_str(), &info) != 0)
        return false;
    bytes = static_cast<std::uint64_t>(info.f_bavail) * info.f_frsize;
    return true;
}

bool FsMakeFolder(const std::string& path)
{
    return ::mkdir(path.c_str(), 0777) == 0;
}

bool FsRemoveFile(const std::string& path)
{
    return ::unlink(path.c_str()) == 0;
}

bool FsRemoveFolder(const std::string& path)
{
    return ::rmdir(path.c_str()) == 0;
}

bool FsSetPermissions(const std::string& path, unsigned permissions)
{
    return ::chmod(path.c_str(), permissions & 0777) == 0;
}

bool FsSetModified(const std::string& path, std::time_t modified)
{
    const struct timespec times[2] = {{0, UTIME_NOW}, {modified, 0}}; // access now, modification
    return ::utimensat(AT_FDCWD, path.c_str(), times, 0) == 0;
}

std::string FsMakeUniqueFolder(const std::string& base, const std::string& prefix)
{
    const std::string templ = base + "/" + prefix + "XXXXXX";
    std::vector<char> buf(templ.begin(), templ.end());
    buf.push_back('\0');
    return ::mkdtemp(buf.data()) != nullptr ? std::string(buf.data()) : std::string();
}

std::tm FsUtcTime(std::time_t when)
{
    std::tm tm{};
    gmtime_r(&when, &tm);
    return tm;
}

std::tm FsLocalTime(std::time_t when)
{
    std::tm tm{};
    localtime_r(&when, &tm);
    return tm;
}

std::string FsEnv(const char* name)
{
    const char* value = std::getenv(name);
    return value != nullptr ? value : "";
}

bool FsIsAbsolute(std::string_view path)
{
    return !path.empty() && path[0] == '/';
}

int FsProcessId()
{
    return static_cast<int>(::getpid());
}

std::string FsHostName()
{
    char name[256] = {};
    if (::gethostname(name, sizeof name - 1) != 0)
        return {};
    return name;
}

std::string FsCurrentFolder()
{
    char cwd[PATH_MAX];
    return ::getcwd(cwd, sizeof cwd) != nullptr ? cwd : ".";
}
