#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/wait.h>

#include <chrono>
#include <thread>

#include "ptyDevice.h"

extern char **environ;

namespace {

TEST(LibraryUnload, ClosesOpenSlotsWithoutAbortAndEndsPromptly) {
    kelvo::sim::PtyDevice first, second;
    const char *argv[] = {KELVO_UNLOAD_CHILD, KELVO_LIBRARY_FILE, first.path().c_str(), second.path().c_str(),
                          nullptr};
    pid_t child = 0;
    const auto start = std::chrono::steady_clock::now();
    ASSERT_EQ(posix_spawn(&child, argv[0], nullptr, nullptr, const_cast<char **>(argv), environ), 0);
    int status = 0;
    // Generous bound for a loaded machine; the unload itself takes ~110 ms.
    while (waitpid(child, &status, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() - start > std::chrono::seconds(20)) {
            kill(child, SIGKILL);
            FAIL() << "the process did not end after unloading the library";
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << "2 open failed, 3 still loaded, 4 port left open";
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(first.received().find("abort"), std::string::npos);
    EXPECT_EQ(second.received().find("abort"), std::string::npos);
}

}  // namespace
