// Kept apart: the kernel's termios2 header clashes with <termios.h>.
#include <asm/termbits.h>
#include <cstdint>
#include <sys/ioctl.h>

std::uint32_t ReadLineSpeed(int fd)
{
    struct termios2 tio {};
    if (fd < 0 || ioctl(fd, TCGETS2, &tio) != 0)
        return 0;
    return tio.c_ospeed;
}
