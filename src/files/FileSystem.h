#pragma once
// The file-system calls the pure libraries make, behind one header with one
// file per system (FileSystemPosix.cpp, FileSystemWin.cpp). Paths are UTF-8;
// on Windows they become UTF-16 for the wide-character calls, and both '/'
// and '\' separate there.
//
// Errors: false or -1, with the reason in errno (a Windows error is mapped to
// the nearest errno value), so that callers report std::strerror alike on
// both systems. Descriptors are the C library's (open/_wopen), binary and not
// inherited by child processes.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <string>
#include <string_view>

struct CFsInfo {
    bool bFolder = false;
    bool bRegular = false;
    bool bLink = false; // only from FsStatNoFollow
    std::uint64_t uSize = 0;
    std::int64_t nModifiedNs = 0; // since 1970
    std::int64_t nChangedNs = 0;  // the last change of contents or attributes
    // Together they name the file on its system (device and inode; volume
    // serial and file index on Windows).
    std::uint64_t uDevice = 0;
    std::uint64_t uFileId = 0;
    unsigned uPermissions = 0; // rwx bits; on Windows from the read-only attribute
};

enum class EFsOpen {
    Read,
    ReadNonBlocking, // a FIFO where a file was expected cannot hang the open
    ReadWrite,
    CreateWrite, // create or truncate, write only, never through a symbolic link
};

enum class EFsLock { Shared, Exclusive };

// The path the standard library takes for a UTF-8 path, and back.
std::filesystem::path FsPath(std::string_view utf8);
std::string FsUtf8(const std::filesystem::path& path);

int FsOpen(const std::string& path, EFsOpen how);
std::FILE* FsOpenStream(const std::string& path, const char* mode);
int FsDuplicate(int fd);
bool FsClose(int fd);
// Bytes read or written by one call (at most count), -1 on failure; EINTR is retried.
long long FsRead(int fd, void* buffer, std::size_t count);
long long FsWrite(int fd, const void* buffer, std::size_t count);
// At offset, leaving the descriptor's own position as it was.
long long FsReadAt(int fd, void* buffer, std::size_t count, std::uint64_t offset);
// whence: SEEK_SET, SEEK_CUR or SEEK_END; the new position or -1.
long long FsSeek(int fd, long long offset, int whence);
// Never waits: false with errno EWOULDBLOCK when another open holds the file.
// Closing the descriptor releases the lock.
bool FsTryLock(int fd, EFsLock kind);

// Holds a folder for this process, never waiting: on Linux a lock on the
// folder itself, on Windows LockFileEx on a lock file beside it (the folder's
// name plus ".lock"), removed when the descriptor closes. -1 with errno
// EWOULDBLOCK when another open holds it; -1 with gone set when the folder
// went away (or was replaced) before it was held.
int FsLockFolder(const std::string& folder, bool& gone);

bool FsStat(const std::string& path, CFsInfo& info);
bool FsStatNoFollow(const std::string& path, CFsInfo& info);
bool FsStatDescriptor(int fd, CFsInfo& info);
bool FsExists(const std::string& path);
// A folder that can be entered (searched).
bool FsCanEnter(const std::string& path);
// A folder that can be entered and written.
bool FsCanWriteFolder(const std::string& path);
bool FsFreeBytes(const std::string& path, std::uint64_t& bytes);

bool FsMakeFolder(const std::string& path); // errno EEXIST when something is there
bool FsRemoveFile(const std::string& path);
bool FsRemoveFolder(const std::string& path); // an empty one
bool FsSetPermissions(const std::string& path, unsigned permissions);
bool FsSetModified(const std::string& path, std::time_t modified);
// Makes a new folder named prefix plus six characters inside base; the path
// made, or empty with errno.
std::string FsMakeUniqueFolder(const std::string& base, const std::string& prefix);

std::tm FsUtcTime(std::time_t when);
std::tm FsLocalTime(std::time_t when);
// The value of an environment variable in UTF-8; empty when unset.
std::string FsEnv(const char* name);
bool FsIsAbsolute(std::string_view path);
int FsProcessId();
std::string FsHostName();
std::string FsCurrentFolder();

#ifdef _WIN32
std::wstring FsWide(std::string_view utf8);
std::string FsUtf8(std::wstring_view wide);
#endif
