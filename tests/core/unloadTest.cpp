// SPDX-License-Identifier: MIT
#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/wait.h>

#include <chrono>
#include <thread>
#include <vector>

#include "ptyDevice.h"

extern char **environ;

namespace {

// Runs the unload child with `arguments` after the library's path; its exit
// status, or -1 when it had to be killed after `limit`.
int runChild(std::vector<const char *> arguments, std::chrono::seconds limit) {
    arguments.insert(arguments.begin(), {KELVO_UNLOAD_CHILD, KELVO_LIBRARY_FILE});
    arguments.push_back(nullptr);
    pid_t child = 0;
    const auto start = std::chrono::steady_clock::now();
    if (posix_spawn(&child, arguments[0], nullptr, nullptr, const_cast<char **>(arguments.data()), environ) != 0) {
        return -2;
    }
    int status = 0;
    while (waitpid(child, &status, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() - start > limit) {
            kill(child, SIGKILL);
            waitpid(child, &status, 0);
            return -1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

TEST(LibraryUnload, ClosesOpenSlotsWithoutAbortAndEndsPromptly) {
    kelvo::sim::PtyDevice first, second;
    // Generous bound for a loaded machine; the unload itself takes ~110 ms.
    EXPECT_EQ(runChild({first.path().c_str(), second.path().c_str()}, std::chrono::seconds(20)), 0)
        << "-1 did not end, 2 open failed, 3 still loaded, 4 port left open";
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(first.received().find("abort"), std::string::npos);
    EXPECT_EQ(second.received().find("abort"), std::string::npos);
}

// The close gives a stalled line 500 ms; the rest is start-up and unload.
TEST(LibraryUnload, EndsAfterClosingASlotWhoseDeviceStoppedReading) {
    EXPECT_EQ(runChild({"--stalled"}, std::chrono::seconds(10)), 0)
        << "-1 did not end, 2 open failed, 3 still loaded, 4 port left open, 5 close failed or was slow";
}

}  // namespace
