// What a thread has used so far, from its /proc entry: the bench programs' per-thread figures.
#pragma once

#include <cstdlib>
#include <fstream>
#include <string>

namespace qxbench {

struct ThreadUse {
    double cpu = 0;  // seconds, to the nanosecond (schedstat)
    long sleeps = 0; // voluntary context switches
};

// `task`: a thread's directory, e.g. "/proc/thread-self" or "/proc/self/task/TID".
inline ThreadUse readThreadUse(const std::string& task) {
    ThreadUse u;
    unsigned long long ns = 0;
    std::ifstream(task + "/schedstat") >> ns;
    u.cpu = double(ns) / 1e9;
    std::ifstream status(task + "/status");
    for (std::string line; std::getline(status, line);)
        if (line.rfind("voluntary_ctxt_switches:", 0) == 0) u.sleeps = std::atol(line.c_str() + 24);
    return u;
}

} // namespace qxbench
