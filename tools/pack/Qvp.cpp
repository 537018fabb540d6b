#include "Commands.h"

#include <cstdio>

// Placeholder until the package-archive writer lands in this file.
int RunQvp(int /*argc*/, char** /*argv*/)
{
    std::fputs("velunda-pack qvp: not built yet\n", stderr);
    return 1;
}
