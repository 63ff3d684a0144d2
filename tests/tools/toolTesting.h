// SPDX-License-Identifier: MIT
// Test support for the tools' tests: temporary paths, free TCP ports and
// programs in the background.
#pragma once

#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

#include "backgroundProgram.h"
#include "freePort.h"

namespace kelvo::test {

inline std::string tempPath(const std::string &name) {
    return (std::filesystem::temp_directory_path() / ("kelvo-" + std::to_string(getpid()) + "-" + name)).string();
}

// A program running in the background; output() is what it wrote to
// standard output, then what it wrote to standard error.
class Background : public BackgroundProgram {
public:
    Background(const std::vector<std::string> &argv, const std::string &name)
        : BackgroundProgram(argv, tempPath(name)) {}
    // Far longer than any run of the tests takes: only a hung program meets it.
    int wait() { return BackgroundProgram::wait(std::chrono::seconds(120)); }
    std::string output() const { return out() + err(); }
};

}  // namespace kelvo::test
