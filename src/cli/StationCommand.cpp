#include "cli/Station.h"

#include <cstring>

bool IsStationCommand(int argc, char** argv)
{
    if (argc > 1 && std::strcmp(argv[1], "station") == 0)
        return true;
    // history --station HOST filters the fleet's runs instead.
    bool station = false;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "history") == 0)
            return false;
        station = station || std::strcmp(argv[i], "--station") == 0;
    }
    return station;
}
