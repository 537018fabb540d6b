#include "link/SerialSpeed.h"

#include <asm/termbits.h>
#include <cerrno>
#include <sys/ioctl.h>

int SetExactLineSpeed(int fd, unsigned baud)
{
    struct termios2 tio {};
    if (ioctl(fd, TCGETS2, &tio) != 0)
        return errno;
    // Clear the output and the separate input speed code, then give both as numbers.
    tio.c_cflag &= ~static_cast<tcflag_t>(CBAUD | (CBAUD << IBSHIFT));
    tio.c_cflag |= BOTHER | (BOTHER << IBSHIFT);
    tio.c_ospeed = baud;
    tio.c_ispeed = baud;
    if (ioctl(fd, TCSETS2, &tio) != 0)
        return errno;
    return 0;
}

int ReadLineSpeed(int fd, unsigned& outBaud, unsigned& inBaud)
{
    struct termios2 tio {};
    if (ioctl(fd, TCGETS2, &tio) != 0)
        return errno;
    outBaud = tio.c_ospeed;
    inBaud = tio.c_ispeed;
    return 0;
}
