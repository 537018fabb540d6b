// Kept apart: the kernel's termios2 header clashes with <termios.h>.
#include <asm/termbits.h>
#include <cstdint>
#include <sys/ioctl.h>

bool SetLineSpeed(int fd, std::uint32_t baud)
{
    struct termios2 tio {};
    if (ioctl(fd, TCGETS2, &tio) != 0)
        return false;
    tio.c_cflag &= ~static_cast<tcflag_t>(CBAUD);
    tio.c_cflag |= BOTHER;
    tio.c_ispeed = baud;
    tio.c_ospeed = baud;
    return ioctl(fd, TCSETS2, &tio) == 0;
}
