// Opens a port as a second program would and prints what happened:
// "raw=<errno of a plain open, 0 if it opened> port=<OpenPort result> err=<LastError>".
#include "link/CommPort.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <unistd.h>

int main(int argc, char** argv)
{
    if (argc != 3)
        return 2;
    int raw = 0;
    const int fd = ::open(argv[1], O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (fd < 0)
        raw = errno;
    else
        ::close(fd);
    CCommPort port;
    const int opened = port.OpenPort(argv[1], std::uint32_t(std::strtoul(argv[2], nullptr, 10)));
    std::printf("raw=%d port=%d err=%d\n", raw, opened, port.LastError());
    port.ClosePort();
    return 0;
}
