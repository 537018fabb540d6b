#include "package/UnpackFolder.h"

#include "files/FileSystem.h"

std::string PrivateUnpackBase()
{
    for (const char* name : {"XDG_RUNTIME_DIR", "TMPDIR"}) {
        const std::string value = FsEnv(name);
        if (FsIsAbsolute(value) && FsCanWriteFolder(value))
            return value;
    }
    return "/tmp";
}
