// Writes the sample station kit into the folder given on the command line.
#include "sim/StationKit.h"

#include <cstdio>
#include <string>

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: make_station <folder>\n");
        return 2;
    }
    std::string error;
    if (!sim::WriteStationKit(argv[1], &error)) {
        std::fprintf(stderr, "make_station: %s\n", error.c_str());
        return 1;
    }
    return 0;
}
