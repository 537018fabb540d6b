#include "SimRecorder.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <unistd.h>

bool CSimRecorder::Open(const std::string& dir, std::string& error)
{
    m_strDir.clear();
    if (dir.empty())
        return true;
    std::error_code ec;
    std::filesystem::create_directories(dir, ec);
    if (ec || !std::filesystem::is_directory(dir)) {
        error = "cannot create the record folder " + dir + (ec ? ": " + ec.message() : "");
        return false;
    }
    m_strDir = dir;
    return true;
}

void CSimRecorder::Write(const std::string& name, const std::uint8_t* bytes, std::size_t count, bool truncate)
{
    if (m_strDir.empty())
        return;
    const std::string path = m_strDir + "/" + name;
    const int fd =
        ::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC | (truncate ? O_TRUNC : O_APPEND), 0644);
    if (fd < 0) {
        std::fprintf(stderr, "quorin-sim: cannot write %s: %s\n", path.c_str(), std::strerror(errno));
        return;
    }
    std::size_t done = 0;
    while (done < count) {
        const ssize_t n = ::write(fd, bytes + done, count - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            std::fprintf(stderr, "quorin-sim: short write to %s: %s\n", path.c_str(), std::strerror(errno));
            break;
        }
        done += static_cast<std::size_t>(n);
    }
    ::close(fd);
}

void CSimRecorder::Truncate(const std::string& name)
{
    Write(name, nullptr, 0, true);
}

void CSimRecorder::Append(const std::string& name, const std::uint8_t* bytes, std::size_t count)
{
    Write(name, bytes, count, false);
}

void CSimRecorder::Line(const std::string& name, const std::string& line)
{
    const std::string text = line + "\n";
    Write(name, reinterpret_cast<const std::uint8_t*>(text.data()), text.size(), false);
}
