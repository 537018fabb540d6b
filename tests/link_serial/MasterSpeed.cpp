// Reads the slave's speed through the master: termios requests on a pty
// master act on its slave. Its own file, as the kernel's termios2 header
// cannot meet <termios.h>.
#include "PtyPair.h"

#include <asm/termbits.h>
#include <sys/ioctl.h>

unsigned SlaveSpeedSeenFromMaster(int masterFd, unsigned* inBaud)
{
    struct termios2 tio {};
    if (ioctl(masterFd, TCGETS2, &tio) != 0)
        return 0;
    if (inBaud != nullptr)
        *inBaud = tio.c_ispeed;
    return tio.c_ospeed;
}
