// SPDX-License-Identifier: MIT
// 'kelvo plot' on an X server, watched and closed from outside the way a
// window manager does it, and without a display through SDL's off-screen
// driver.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "openDevice.h"
#include "programRunner.h"

// Last: Xlib's macros clash with gtest.
#include "xScreen.h"

using namespace kelvo::test;
using namespace std::chrono_literals;

namespace {

const std::string kKelvo = KELVO_CLI;
const std::string kSim = KELVO_SIM;

// A program left running while the test looks at what it shows; its output
// goes to files.
class Background {
public:
    explicit Background(const std::vector<std::string> &argv) {
        out_ = std::tmpfile();
        err_ = std::tmpfile();
        pid_ = fork();
        if (pid_ == 0) {
            dup2(fileno(out_), STDOUT_FILENO);
            dup2(fileno(err_), STDERR_FILENO);
            std::vector<char *> args;
            for (const auto &a : argv) args.push_back(const_cast<char *>(a.c_str()));
            args.push_back(nullptr);
            execv(args[0], args.data());
            _exit(127);
        }
    }
    ~Background() {
        if (pid_ > 0 && !exited_) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        std::fclose(out_);
        std::fclose(err_);
    }
    Background(const Background &) = delete;
    Background &operator=(const Background &) = delete;

    // Waits up to `limit` for the exit; false if it is still running.
    bool waitForExit(std::chrono::milliseconds limit) {
        const auto end = std::chrono::steady_clock::now() + limit;
        while (!exited_) {
            int status = 0;
            if (waitpid(pid_, &status, WNOHANG) == pid_) {
                exited_ = true;
                status_ = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
                break;
            }
            if (std::chrono::steady_clock::now() > end) return false;
            std::this_thread::sleep_for(2ms);
        }
        return true;
    }
    int status() const { return status_; }
    std::string err() const { return contents(err_); }

private:
    static std::string contents(FILE *file) {
        std::string text;
        char bytes[4096];
        std::rewind(file);
        for (size_t n; (n = std::fread(bytes, 1, sizeof bytes, file)) > 0;) text.append(bytes, n);
        return text;
    }

    pid_t pid_ = -1;
    FILE *out_;
    FILE *err_;
    bool exited_ = false;
    int status_ = -1;
};

// Dark text pixels in a rectangle of a screenshot.
int darkPixels(const Capture &shot, int x0, int y0, int x1, int y1) {
    int dark = 0;
    for (int y = y0; y < y1; ++y)
        for (int x = x0; x < x1; ++x) dark += shot.at(x, y) < 0x404040;
    return dark;
}

// The rightmost column with a dark pixel in the rows y0..y1-1, or -1.
int rightmostDark(const Capture &shot, int y0, int y1) {
    for (int x = shot.width - 1; x >= 0; --x) {
        for (int y = y0; y < y1; ++y) {
            if (shot.at(x, y) < 0x404040) return x;
        }
    }
    return -1;
}

TEST(PlotCommand, TitledLabelledAndClosedLikeByAWindowManagerItEndsWithinASecond) {
    if (std::getenv("DISPLAY") == nullptr) GTEST_SKIP() << "no X server (scripts/test.sh provides one)";
    // Other tests' windows come and go on the same server meanwhile; a
    // request on one that just went must not end this process.
    XSetErrorHandler([](Display *, XErrorEvent *) { return 0; });
    SimProcess sim(kSim, {});
    Background plot({kKelvo, "plot", sim.paths[0], "-c", "CONFigure:DEVice 3"});
    XScreen screen;
    ASSERT_TRUE(screen.connected());
    const std::string title = "kelvo \u2014 " + sim.paths[0] + " (3 \u00d7 Adc24)";
    unsigned long window = 0;
    ASSERT_TRUE(eventually(
        [&] {
            for (const unsigned long id : screen.topLevelWindows()) {
                if (screen.title(id) == title) window = id;
            }
            return window != 0;
        },
        30s))
        << "no window titled " << title << "; " << plot.err();

    // Three strips of 200 rows. Once the rate is measured (1000 samples a
    // second), the bottom strip says "2.0 s across" where it first said
    // "2000 samples across", a label half as wide.
    constexpr int g = 200;
    Capture shot;
    int spanEnd = -1;
    ASSERT_TRUE(eventually(
        [&] {
            if (!screen.capture(window, shot) || shot.height != 3 * g) return false;
            spanEnd = rightmostDark(shot, 3 * g - 25, 3 * g - 2);
            return spanEnd > 40 && spanEnd < 100;
        },
        30s))
        << "span label ends at x " << spanEnd;
    for (int k = 0; k < 3; ++k) {
        EXPECT_GT(darkPixels(shot, 0, k * g + 3, 55, k * g + 22), 40) << "name of strip " << k;
        EXPECT_GT(darkPixels(shot, 70, k * g + 3, 100, k * g + 22), 20) << "full-scale value of strip " << k;
        EXPECT_EQ(darkPixels(shot, 105, k * g + 3, 140, k * g + 22), 0) << "nothing more, strip " << k;
    }

    ASSERT_TRUE(screen.closeLikeAWindowManager(window));
    const auto closed = std::chrono::steady_clock::now();
    ASSERT_TRUE(plot.waitForExit(10s));
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - closed).count();
    EXPECT_LT(seconds, 1.0);
    EXPECT_EQ(plot.status(), 0) << plot.err();
    EXPECT_NE(plot.err().find(sim.paths[0] + ": "), std::string::npos) << plot.err();
    EXPECT_NE(plot.err().find(" samples of 16 bytes in "), std::string::npos) << plot.err();
    EXPECT_FALSE(screen.windowExists(window));
}

TEST(PlotCommand, WithoutADisplayPlotsOffScreenWhenSdlIsToldSo) {
    SimProcess sim(kSim, {});
    const Outcome refused = runProgram({kKelvo, "plot", sim.paths[0], "-c", "CONFigure:DEVice 3", "-s", "1"},
                                       {"DISPLAY", "WAYLAND_DISPLAY", "SDL_VIDEODRIVER"});
    EXPECT_EQ(refused.status, 1);
    EXPECT_NE(refused.err.find("no display"), std::string::npos) << refused.err;
    const Outcome plotted = runProgram({kKelvo, "plot", sim.paths[0], "-c", "CONFigure:DEVice 3", "-s", "1"},
                                       {"DISPLAY", "WAYLAND_DISPLAY"}, {"SDL_VIDEODRIVER=offscreen"});
    EXPECT_EQ(plotted.status, 0) << plotted.err;
    EXPECT_NE(plotted.err.find(" samples of 16 bytes in 1.0 s"), std::string::npos) << plotted.err;
}

}  // namespace
