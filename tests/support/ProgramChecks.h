#pragma once
// Checks on a program run that has ended: nothing of it left running and
// nothing of its hand-off left behind. Header-only, for the integration tests.

#include <unistd.h>

#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

#include "app/program_harness.h"

namespace pw::test {

// Processes whose executable is `program` (the copy in a temporary program
// folder, so no other test's program can match).
inline std::vector<int> ProcessesOf(const std::string& program) {
    std::vector<int> pids;
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator("/proc", ec)) {
        const std::string name = entry.path().filename().string();
        if (name.empty() || name.find_first_not_of("0123456789") != std::string::npos) continue;
        std::error_code linkError;
        const auto exe = std::filesystem::read_symlink(entry.path() / "exe", linkError);
        if (!linkError && (exe.string() == program || exe.string() == program + " (deleted)")) {
            pids.push_back(std::stoi(name));
        }
    }
    return pids;
}

// What a cleanly ended instance removes: its block of shared memory and its
// hand-off socket. Empty when nothing is left.
inline std::vector<std::string> HandOffLeftovers(const TProgramFolder& folder) {
    std::vector<std::string> left;
    const std::string block = "/dev/shm/pcwmap_file." + folder.tag + "." + std::to_string(::getuid());
    if (std::filesystem::exists(block)) left.push_back(block);
    if (std::filesystem::exists(folder.SocketPath())) left.push_back(folder.SocketPath());
    return left;
}

}  // namespace pw::test
