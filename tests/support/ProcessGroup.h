#pragma once
// Whether anything of a process group is still running, for tests that check a
// command left nothing behind. Zombies do not count: a killed member stays in
// the process table until its new parent reaps it, which an init that is no
// shell may do late.

#include <dirent.h>
#include <sys/types.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <string>
#include <thread>

namespace pw::test {

inline bool GroupRunning(pid_t group) {
    if (group <= 0) return false;
    DIR* proc = ::opendir("/proc");
    if (proc == nullptr) return false;
    bool running = false;
    while (dirent* e = ::readdir(proc)) {
        if (e->d_name[0] < '0' || e->d_name[0] > '9') continue;
        std::ifstream in(std::string("/proc/") + e->d_name + "/stat");
        std::string stat;
        std::getline(in, stat);
        // pid (comm) state ppid pgrp ...; comm may hold blanks and parentheses.
        const std::size_t close = stat.rfind(')');
        if (close == std::string::npos) continue;
        char state = 0;
        long ppid = 0, pgrp = 0;
        if (std::sscanf(stat.c_str() + close + 1, " %c %ld %ld", &state, &ppid, &pgrp) != 3) continue;
        if (pgrp == group && state != 'Z' && state != 'X') {
            running = true;
            break;
        }
    }
    ::closedir(proc);
    return running;
}

// Waits (bounded) until nothing of the group runs; false when something still does.
inline bool GroupEndsWithin(pid_t group, std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (GroupRunning(group)) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

}  // namespace pw::test
