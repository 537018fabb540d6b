#include "package/UnpackFolder.h"

#include "files/FileSystem.h"

#include <filesystem>

std::string PrivateUnpackBase()
{
    // The user's own local application data first: it is not roamed, and
    // other users cannot read it.
    const std::string local = FsEnv("LOCALAPPDATA");
    if (FsIsAbsolute(local)) {
        const std::string base = local + "\\Velunda";
        if (!FsCanEnter(base))
            FsMakeFolder(base);
        if (FsCanWriteFolder(base))
            return base;
    }
    std::error_code ec;
    const std::string temp = FsUtf8(std::filesystem::temp_directory_path(ec));
    if (!ec && !temp.empty())
        return temp.back() == '\\' || temp.back() == '/' ? temp.substr(0, temp.size() - 1) : temp;
    return "C:\\Windows\\Temp";
}
