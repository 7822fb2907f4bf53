// The options of the benchmarks on a distant mailbox: its size and the round trip to it.
#pragma once

#include <cstdlib>
#include <cstring>

struct TBenchOptions
{
    int messages = 2000;
    int rttMs = 50;
};

// "--messages N" and "--rtt-ms MS" in any order; false on anything else.
inline bool ParseBenchOptions(int argc, char **argv, TBenchOptions &options)
{
    for (int i = 1; i + 1 < argc; i += 2) {
        if (std::strcmp(argv[i], "--messages") == 0)
            options.messages = std::atoi(argv[i + 1]);
        else if (std::strcmp(argv[i], "--rtt-ms") == 0)
            options.rttMs = std::atoi(argv[i + 1]);
        else
            return false;
    }
    return argc % 2 == 1 && options.messages > 0 && options.rttMs > 0;
}
