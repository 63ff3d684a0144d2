// SPDX-License-Identifier: MIT
// The plot window on a real X server: its lifecycle, and a device streaming
// a known waveform whose traces are checked on a screenshot.
#include <SDL.h>
#include <SDL_image.h>
#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>
#include <spawn.h>
#include <strings.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <clocale>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "atomics.h"
#include "byteRing.h"
#include "kelvo_lowlevel.h"
#include "openDevice.h"
#include "plotWindow.h"
#include "renderArea.h"

// Last: they bring in Xlib, whose macros (None, Bool) clash with gtest.
#include <SDL_syswm.h>

#include "flakyDisplay.h"
#include "xScreen.h"

using kelvo::test::Capture;
using kelvo::test::eventually;
using kelvo::test::FlakyDisplay;
using kelvo::test::XScreen;
using namespace std::chrono_literals;

namespace {

// With no session bus given, libdbus (which SDL uses) tries to autolaunch
// one for the X display; the failed attempt keeps a buffer that
// LeakSanitizer reports. These tests have no business with a bus.
const bool kNoSessionBus = setenv("DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent/kelvo-test-bus", 0) == 0;

bool hasDisplay() {
    const char *display = std::getenv("DISPLAY");
    return display != nullptr && *display != '\0';
}

unsigned long xWindowOf(PlotWindow *window) {
    SDL_SysWMinfo info;
    SDL_VERSION(&info.version);
    if (window == nullptr || !SDL_GetWindowWMInfo(window->sdlWindow, &info)) return 0;
    return info.info.x11.window;
}

bool xWindowExists(unsigned long id) { return XScreen().windowExists(id); }

// A copy of a captured picture to look at.
void savePng(Capture &shot, const std::string &path) {
    SDL_Surface *image = SDL_CreateRGBSurfaceWithFormatFrom(shot.rgb.data(), shot.width, shot.height, 32,
                                                            shot.width * 4, SDL_PIXELFORMAT_RGB888);
    if (image != nullptr) {
        IMG_SavePNG(image, path.c_str());
        SDL_FreeSurface(image);
    }
}

// Once a layout of 4-byte samples is configured, the render thread empties
// the plot queue on every cycle. No slot streams in these tests, so the
// test thread can stand in for the I/O thread as the queue's producer.
constexpr FiltInfo kTwoChannels{1, 4, 0, 2, 0, 0};
constexpr uint8_t kSample[4] = {0x00, 0x40, 0x00, 0xC0};  // 0.5, -0.5

// A sample put into the queue is taken twice over: the render thread went
// through at least one whole cycle, paint and presentation included.
bool renderCyclePassed() {
    for (int i = 0; i < 2; ++i) {
        if (!kelvo::ringPut(graphicQ, kSample, sizeof kSample)) return false;
        if (!eventually([] { return kelvo::ringFill(graphicQ) == 0; })) return false;
    }
    return true;
}

// A sample stays queued for a while: the render loop has ended.
bool renderLoopStopped() {
    for (int tries = 0; tries < 50; ++tries) {
        (void)kelvo::ringPut(graphicQ, kSample, sizeof kSample);
        std::this_thread::sleep_for(150ms);
        if (kelvo::ringFill(graphicQ) != 0) return true;
    }
    return false;
}

// Until its first frame is presented, a window shows no grey fill.
bool showsGreyFill(unsigned long window) {
    XScreen screen;
    Capture shot;
    return screen.capture(window, shot) &&
           std::all_of(shot.rgb.begin(), shot.rgb.end(), [](uint32_t pixel) { return pixel == 0xB4B4B4; });
}

class PlotWindowTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (!hasDisplay()) GTEST_SKIP() << "no X display (DISPLAY unset); scripts/test.sh provides Xvfb";
    }
    void TearDown() override { sdl2KillWindow(); }

    // Opens a window and waits for its first presented frame.
    void open(int x, int y, int width, int height) {
        ASSERT_EQ(sdl2Window(x, y, width, height), 0);
        ASSERT_NE(pWindow, nullptr) << SDL_GetError();
        ASSERT_NE(pRender, nullptr);
        const unsigned long window = xWindowOf(pWindow);
        ASSERT_NE(window, 0u) << "not a window of the X display: " << SDL_GetError();
        ASSERT_TRUE(eventually([&] { return showsGreyFill(window); }));
    }
};

TEST(PlotWindowFailure, BadSizeOrNoVideoLeavesNoWindowAndSaysWhy) {
    FiltInfo saved = filtInfo[2];
    filtInfo[2] = FiltInfo{1, 8, 0, 4, 0, 0};
    for (auto [width, height] : {std::pair{0, 400}, {640, -1}}) {
        SDL_ClearError();
        EXPECT_EQ(sdl2Window(10, 10, width, height), 0);
        EXPECT_EQ(pWindow, nullptr);
        EXPECT_EQ(pRender, nullptr);
        EXPECT_NE(std::string(SDL_GetError()).find("not positive"), std::string::npos) << SDL_GetError();
        EXPECT_EQ(sdl2WindowConfigure(2, 8000), 0);
        EXPECT_EQ(kelvo::loadAcquire(isGraphicConfigured), 0);
        EXPECT_EQ(sdl2KillWindow(), 0);
        EXPECT_EQ(sdl2KillWindow(), 0);
    }
    // SDL cannot set up video at all.
    setenv("SDL_VIDEODRIVER", "no-such-driver", 1);
    SDL_ClearError();
    EXPECT_EQ(sdl2Window(10, 10, 320, 200), 0);
    unsetenv("SDL_VIDEODRIVER");
    EXPECT_EQ(pWindow, nullptr);
    EXPECT_NE(std::string(SDL_GetError()).find("SDL_Init"), std::string::npos) << SDL_GetError();
    EXPECT_EQ(sdl2WindowConfigure(2, 8000), 0);
    EXPECT_EQ(kelvo::loadAcquire(isGraphicConfigured), 0);
    EXPECT_EQ(sdl2KillWindow(), 0);
    filtInfo[2] = saved;
}

// Sets environment variables for one scope and puts the old values back.
class ScopedEnvironment {
public:
    void set(const char *name, const char *value) {
        const char *old = std::getenv(name);
        saved_.emplace_back(name, old != nullptr ? std::optional<std::string>(old) : std::nullopt);
        if (value != nullptr) setenv(name, value, 1);
        else unsetenv(name);
    }
    ~ScopedEnvironment() {
        for (auto it = saved_.rbegin(); it != saved_.rend(); ++it) {
            if (it->second) setenv(it->first.c_str(), it->second->c_str(), 1);
            else unsetenv(it->first.c_str());
        }
    }

private:
    std::vector<std::pair<std::string, std::optional<std::string>>> saved_;
};

TEST(PlotWindowFailure, WithoutADisplayNoInvisibleWindowIsPassedOffAsOpen) {
    ScopedEnvironment environment;
    environment.set("DISPLAY", nullptr);
    environment.set("WAYLAND_DISPLAY", nullptr);
    environment.set("SDL_VIDEODRIVER", nullptr);
    SDL_ClearError();
    EXPECT_EQ(sdl2Window(10, 10, 320, 200), 0);
    EXPECT_EQ(pWindow, nullptr);
    EXPECT_EQ(pRender, nullptr);
    EXPECT_NE(std::string(SDL_GetError()).find("no display"), std::string::npos) << SDL_GetError();
    EXPECT_EQ(sdl2KillWindow(), 0);

    // Asked for by name, drawing off screen is what the caller wants.
    environment.set("SDL_VIDEODRIVER", "offscreen");
    EXPECT_EQ(sdl2Window(10, 10, 320, 200), 0);
    ASSERT_NE(pWindow, nullptr) << SDL_GetError();
    const FiltInfo saved = filtInfo[2];
    filtInfo[2] = kTwoChannels;
    EXPECT_EQ(sdl2WindowConfigure(2, 8000), 0);
    filtInfo[2] = saved;
    EXPECT_TRUE(renderCyclePassed());
    EXPECT_EQ(sdl2KillWindow(), 0);
    EXPECT_EQ(pWindow, nullptr);
}

TEST(PlotWindowConfigure, RefusesBadSlotAndWithoutWindowOnlyCopiesRecord) {
    EXPECT_EQ(sdl2WindowConfigure(4, 8000), -1);
    EXPECT_EQ(sdl2WindowConfigure(-1, 8000), -1);
    FiltInfo saved = filtInfo[3];
    filtInfo[3] = FiltInfo{2, 28, 0, 4, 1, 0};
    EXPECT_EQ(sdl2WindowConfigure(3, 8000), 0);
    EXPECT_EQ(grConf.sampleBytes, 28);
    EXPECT_EQ(grConf.nImu6, 1);
    EXPECT_EQ(grConf.oversampling, 2);
    EXPECT_EQ(kelvo::loadAcquire(isGraphicConfigured), 0);
    filtInfo[3] = saved;
}

TEST_F(PlotWindowTest, OpenCloseAndOpenAgainRunsAFreshRenderThread) {
    open(0, 0, 320, 200);
    EXPECT_EQ(pRender->width, 320);
    EXPECT_EQ(pRender->height, 200);
    const unsigned long first = xWindowOf(pWindow);
    ASSERT_NE(first, 0u);
    EXPECT_TRUE(xWindowExists(first));
    EXPECT_EQ(sdl2KillWindow(), 0);
    EXPECT_EQ(pWindow, nullptr);
    EXPECT_EQ(pRender, nullptr);
    EXPECT_FALSE(xWindowExists(first));
    open(0, 0, 300, 180);
    EXPECT_EQ(pRender->width, 300);
}

TEST_F(PlotWindowTest, SecondOpenClosesTheEarlierWindow) {
    open(0, 250, 320, 200);
    const unsigned long first = xWindowOf(pWindow);
    open(340, 250, 320, 200);
    const unsigned long second = xWindowOf(pWindow);
    // The new connection may be handed the old one's ids; live windows
    // never share one, so an equal id means the first window is gone.
    EXPECT_TRUE(first == second || !xWindowExists(first));
    EXPECT_TRUE(xWindowExists(second));
}

TEST_F(PlotWindowTest, ConfigureLaysOutGraphsOfTheSlotsStreamLayout) {
    open(0, 500, 320, 240);
    FiltInfo saved = filtInfo[1];
    filtInfo[1] = FiltInfo{1, 20, 0, 4, 1, 0};
    ASSERT_EQ(sdl2WindowConfigure(1, 8000), 0);
    EXPECT_EQ(kelvo::loadAcquire(isGraphicConfigured), 1);
    ASSERT_EQ(pRender->nGraphs, 5);
    EXPECT_EQ(pRender->nChannels, 7);
    const char *names[5] = {"Adc16_1", "Adc16_2", "Adc16_3", "Adc16_4", "Imu6_1"};
    for (int k = 0; k < 5; ++k) EXPECT_EQ(pRender->names[k], names[k]);

    // Too many graphs for the window: the first 24 are plotted.
    filtInfo[1] = FiltInfo{1, 60, 0, 30, 0, 0};
    ASSERT_EQ(sdl2WindowConfigure(1, 1000), 0);
    ASSERT_EQ(pRender->nGraphs, 24);
    EXPECT_EQ(pRender->names[23], "Adc16_24");

    filtInfo[1] = FiltInfo{1, 16, 3, 0, 0, 1};
    ASSERT_EQ(sdl2WindowConfigure(1, 0), 0);
    EXPECT_EQ(pRender->names[2], "Adc24_3");
    EXPECT_EQ(pRender->nGraphs, 3);
    filtInfo[1] = saved;
    EXPECT_EQ(sdl2KillWindow(), 0);
    EXPECT_EQ(kelvo::loadAcquire(isGraphicConfigured), 0);
}

TEST_F(PlotWindowTest, UserClosingTheWindowEndsRenderingButWindowStaysUntilKilled) {
    open(0, 800, 320, 200);
    const unsigned long id = xWindowOf(pWindow);
    FiltInfo saved = filtInfo[0];
    filtInfo[0] = kTwoChannels;
    ASSERT_EQ(sdl2WindowConfigure(0, 500), 0);
    ASSERT_TRUE(renderCyclePassed());
    SDL_Event quit{};
    quit.type = SDL_QUIT;
    ASSERT_EQ(SDL_PushEvent(&quit), 1) << SDL_GetError();
    ASSERT_TRUE(renderLoopStopped());
    EXPECT_TRUE(xWindowExists(id));
    EXPECT_NE(pWindow, nullptr);
    // Configuring an ended window still lays it out and returns.
    filtInfo[0] = FiltInfo{1, 6, 0, 3, 0, 0};
    EXPECT_EQ(sdl2WindowConfigure(0, 500), 0);
    EXPECT_EQ(pRender->nGraphs, 3);
    filtInfo[0] = saved;
    EXPECT_EQ(sdl2KillWindow(), 0);
    EXPECT_FALSE(xWindowExists(id));
    EXPECT_EQ(pWindow, nullptr);
}

TEST_F(PlotWindowTest, TitleAndOpenStateFollowTheWindowUntilAWindowManagerClosesIt) {
    EXPECT_EQ(kelvoPlotWindowIsOpen(), 0);
    EXPECT_EQ(kelvoSetPlotTitle("nobody sees this"), -1);
    open(0, 450, 320, 200);
    const unsigned long id = xWindowOf(pWindow);
    XScreen screen;
    EXPECT_EQ(screen.title(id), "SDL Output");
    EXPECT_EQ(kelvoPlotWindowIsOpen(), 1);
    EXPECT_EQ(kelvoSetPlotTitle(nullptr), -1);
    // In the C locale the title still changes, beyond ASCII as '?'.
    const std::string title = "kelvo \u2014 /dev/ttyACM0 (3 \u00d7 Adc24)";
    ASSERT_EQ(kelvoSetPlotTitle(title.c_str()), 0);
    EXPECT_EQ(screen.title(id), "kelvo ? /dev/ttyACM0 (3 ? Adc24)");
    // A program in a UTF-8 locale gets it as it is.
    const std::string before = std::setlocale(LC_CTYPE, nullptr);
    ASSERT_NE(std::setlocale(LC_CTYPE, "C.UTF-8"), nullptr);
    ASSERT_EQ(kelvoSetPlotTitle(title.c_str()), 0);
    EXPECT_EQ(screen.title(id), title);
    std::setlocale(LC_CTYPE, before.c_str());
    // A title longer than the window takes is cut, never inside a character.
    const std::string longTitle(510, 'x');
    ASSERT_EQ(kelvoSetPlotTitle((longTitle + "\u00e4").c_str()), 0);
    EXPECT_EQ(screen.title(id), longTitle);

    ASSERT_TRUE(screen.closeLikeAWindowManager(id));
    ASSERT_TRUE(eventually([] { return kelvoPlotWindowIsOpen() == 0; }));
    EXPECT_EQ(kelvoSetPlotTitle("too late"), -1);
    EXPECT_TRUE(xWindowExists(id)) << "closed, but on screen until sdl2KillWindow";
    EXPECT_EQ(sdl2KillWindow(), 0);
    EXPECT_EQ(kelvoPlotWindowIsOpen(), 0);
}

// Holds the render thread in the middle of seeing the user's close, after it
// last served requests and before its loop ends, until the test thread is
// about to set a title; SDL calls the watch on the thread that pumps the
// window's events.
struct CloseHold {
    std::atomic<bool> held{false};
    std::atomic<bool> titleComing{false};
    std::atomic<std::chrono::steady_clock::rep> releasedAt{0};

    static int watch(void *self, SDL_Event *event) {
        auto &hold = *static_cast<CloseHold *>(self);
        if (event->type != SDL_QUIT || !pthread_equal(pthread_self(), graphicThreadId) || hold.held) return 1;
        hold.held = true;
        (void)eventually([&] { return hold.titleComing.load(); });
        // Long enough for the title to be asked for and waited on.
        std::this_thread::sleep_for(100ms);
        hold.releasedAt = std::chrono::steady_clock::now().time_since_epoch().count();
        return 1;
    }
};

TEST_F(PlotWindowTest, ATitleAskedForWhileTheUserClosesTheWindowIsRefusedAsSoonAsTheLoopEnds) {
    // A caller sleeping until the render thread took its title must also be
    // woken when the loop ends without taking it, or it sleeps for ever.
    open(0, 450, 320, 200);
    const unsigned long id = xWindowOf(pWindow);
    CloseHold hold;
    SDL_AddEventWatch(&CloseHold::watch, &hold);
    ASSERT_TRUE(XScreen().closeLikeAWindowManager(id));
    ASSERT_TRUE(eventually([&] { return hold.held.load(); }));
    hold.titleComing = true;
    EXPECT_EQ(kelvoSetPlotTitle("closed meanwhile"), -1);
    const auto returnedAt = std::chrono::steady_clock::now();
    EXPECT_STREQ(kelvoGetPlotError(), "kelvoSetPlotTitle: the window was closed");
    const std::chrono::steady_clock::time_point released{std::chrono::steady_clock::duration(hold.releasedAt.load())};
    EXPECT_LT(returnedAt - released, 500ms) << "not woken by the loop's end";
    SDL_DelEventWatch(&CloseHold::watch, &hold);
    EXPECT_EQ(kelvoPlotWindowIsOpen(), 0);
    EXPECT_EQ(sdl2KillWindow(), 0);
}

// The waveform of 'CONF:DEV 0,4,1': four 16-bit ADC values and one six-axis
// IMU, 10 words per sample.
constexpr int kWords = 10;

int16_t wordAt(uint32_t n, int channel) {
    const auto scaled = [](double v) { return static_cast<int16_t>(std::lround(v * 32768.0)); };
    switch (channel) {
        case 0: return scaled(0.5);
        case 1: return scaled(0.8 * std::sin(n * 2 * M_PI / 250.0));
        case 2: return scaled((n / 100) % 2 == 0 ? 0.5 : -0.5);
        case 3: return scaled(-0.5);
        case 4: return scaled(0.25);
        case 5: return scaled(0.0);
        case 6: return scaled(-0.25);
        default: return 0;
    }
}

TEST_F(PlotWindowTest, StreamedWaveformShowsAsTracesOfTheirColoursInTheirStrips) {
    constexpr int W = 640, H = 400, g = H / 5;
    // Declared before the device: its threads use them until it is gone.
    std::atomic<uint32_t> sent{0};
    std::atomic<bool> stopped{false};
    kelvo::test::OpenDevice device(0);
    device.device.onLine([&](kelvo::sim::PtyDevice &d, const std::string &line) {
        if (strncasecmp(line.c_str(), "init", 4) == 0) {
            d.startStreaming(
                [&] {
                    if (stopped) return std::string();
                    std::string payload;
                    for (int i = 0; i < 20; ++i, ++sent) {
                        for (int c = 0; c < kWords; ++c) {
                            const int16_t w = wordAt(sent, c);
                            payload += static_cast<char>(w & 0xFF);
                            payload += static_cast<char>((w >> 8) & 0xFF);
                        }
                    }
                    return kelvo::sim::definiteBlock(payload);
                },
                10ms);
        } else if (strncasecmp(line.c_str(), "abor", 4) == 0) {
            stopped = true;
        }
    });
    int length = 0, isBinary = 0;
    ASSERT_NE(kelvoSendCmd(0, "CONF:DEV 0,4,1", &length, &isBinary), nullptr);
    ASSERT_EQ(filtInfo[0].sampleBytes, 2 * kWords);

    open(900, 700, W, H);
    ASSERT_EQ(pRender->width, W);
    ASSERT_EQ(pRender->height, H);
    ASSERT_EQ(sdl2WindowConfigure(0, 1000), 0);
    ASSERT_EQ(kelvoSendCmdWhileStreaming(0, "init"), 0);
    constexpr uint32_t kBlue = 0x0000FF, kCyan = 0x00FFFF, kRed = 0xFF0000;
    // New columns come in at the right edge. Once the flat Adc16_1 trace
    // reaches x = 100, every column checked below shows streamed samples,
    // however slowly a loaded machine got them there.
    XScreen screen;
    const unsigned long window = xWindowOf(pWindow);
    Capture shot;
    ASSERT_TRUE(eventually([&] { return screen.capture(window, shot) && shot.at(100, 20) == kBlue; }, 30s));
    savePng(shot, "plotWindow-stream.png");
    EXPECT_EQ(kelvoSendCmdWhileStreaming(0, "abort"), 0);
    ASSERT_EQ(shot.width, W);
    ASSERT_EQ(shot.height, H);

    // Compare whole columns on the right half, clear of the labels.
    int checked = 0;
    for (int x = W / 2; x < W; x += 7, ++checked) {
        for (int k = 1; k < 5; ++k) EXPECT_EQ(shot.at(x, k * g), 0x000000u) << "boundary " << k << " x " << x;
        EXPECT_EQ(shot.at(x, 10), 0xFFFFFFu) << "strip 0 background, x " << x;
        EXPECT_EQ(shot.at(x, g + 5), 0xFFFFC1u) << "strip 1 background, x " << x;
        EXPECT_EQ(shot.at(x, 4 * g + 5), 0xFFFFFFu) << "strip 4 background, x " << x;
        EXPECT_EQ(shot.at(x, 20), kBlue) << "Adc16_1 at 0.5, x " << x;
        EXPECT_EQ(shot.at(x, 3 * g + 60), kBlue) << "Adc16_4 at -0.5, x " << x;
        EXPECT_EQ(shot.at(x, 4 * g + 30), kBlue) << "Imu6_1 x axis at 0.25, x " << x;
        EXPECT_EQ(shot.at(x, 4 * g + 40), kCyan) << "Imu6_1 y axis at 0, x " << x;
        EXPECT_EQ(shot.at(x, 4 * g + 50), kRed) << "Imu6_1 z axis at -0.25, x " << x;
        // The sine stays inside its strip, two rows clear of the edges.
        int sineRows = 0;
        for (int y = g; y < 2 * g; ++y) {
            if (shot.at(x, y) == kBlue) {
                ++sineRows;
                EXPECT_GE(y, g + 2);
                EXPECT_LE(y, 2 * g - 2);
            }
        }
        EXPECT_GT(sineRows, 0) << "sine missing at x " << x;
    }
    EXPECT_GT(checked, 40);
    // The square wave reaches both of its levels somewhere in view.
    int high = 0, low = 0;
    for (int x = 0; x < W; ++x) {
        high += shot.at(x, 2 * g + 20) == kBlue;
        low += shot.at(x, 2 * g + 60) == kBlue;
    }
    EXPECT_GT(high, W / 4);
    EXPECT_GT(low, W / 4);
    // Each strip carries its label: dark text pixels at its top left.
    for (int k = 0; k < 5; ++k) {
        int dark = 0;
        for (int y = k * g + 3; y < k * g + 20; ++y)
            for (int x = 0; x < 60; ++x) dark += shot.at(x, y) < 0x404040;
        EXPECT_GT(dark, 20) << "label of strip " << k;
    }
}

// A private X server with the given screen ("WxHxDepth"), open to local
// clients without a cookie. It does not reset when its last client leaves,
// which would drop a client connecting meanwhile.
class PrivateScreen {
public:
    explicit PrivateScreen(const char *geometry) {
        int fds[2];
        if (pipe(fds) != 0) return;
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, fds[1], 3);
        char *argv[] = {const_cast<char *>("Xvfb"),    const_cast<char *>("-displayfd"),
                        const_cast<char *>("3"),       const_cast<char *>("-nolisten"),
                        const_cast<char *>("tcp"),     const_cast<char *>("-noreset"),
                        const_cast<char *>("-screen"), const_cast<char *>("0"),
                        const_cast<char *>(geometry),  nullptr};
        const bool spawned = posix_spawnp(&pid_, "Xvfb", &actions, nullptr, argv, environ) == 0;
        posix_spawn_file_actions_destroy(&actions);
        close(fds[1]);
        if (!spawned) {
            pid_ = -1;
            close(fds[0]);
            return;
        }
        char number[16] = {};
        size_t got = 0;
        while (got + 1 < sizeof number && read(fds[0], number + got, 1) == 1 && number[got] != '\n') ++got;
        close(fds[0]);
        if (got > 0) display_ = std::string(":") + std::string(number, got);
    }
    ~PrivateScreen() {
        if (pid_ > 0) {
            kill(pid_, SIGTERM);
            waitpid(pid_, nullptr, 0);
        }
    }
    const std::string &display() const { return display_; }
    int number() const { return std::atoi(display_.c_str() + 1); }

private:
    pid_t pid_ = -1;
    std::string display_;
};

bool near(uint32_t pixel, uint32_t colour) {
    for (int shift : {0, 8, 16}) {
        const int a = static_cast<int>((pixel >> shift) & 0xFF), b = static_cast<int>((colour >> shift) & 0xFF);
        if (std::abs(a - b) > 12) return false;
    }
    return true;
}

TEST(PlotWindowOtherDepth, SixteenBitScreenIsPaintedThroughAStagingSurface) {
    if (std::system("command -v Xvfb >/dev/null 2>&1") != 0) GTEST_SKIP() << "Xvfb missing";
    // Its window surfaces are not what the painter can use as they are.
    PrivateScreen screen("800x600x16");
    ASSERT_FALSE(screen.display().empty()) << "private Xvfb did not start";
    const char *outer = std::getenv("DISPLAY");
    const std::string saved = outer != nullptr ? outer : "";
    setenv("DISPLAY", screen.display().c_str(), 1);

    constexpr int W = 200, H = 120;
    ASSERT_EQ(sdl2Window(0, 0, W, H), 0);
    ASSERT_NE(pWindow, nullptr) << SDL_GetError();
    EXPECT_NE(pWindow->staging, nullptr);
    FiltInfo saved1 = filtInfo[1];
    filtInfo[1] = kTwoChannels;
    ASSERT_EQ(sdl2WindowConfigure(1, W), 0);
    for (int i = 0; i < W + 20; ++i) {
        while (!kelvo::ringPut(graphicQ, kSample, sizeof kSample)) std::this_thread::sleep_for(1ms);
    }
    ASSERT_TRUE(renderCyclePassed());

    Capture shot;
    ASSERT_TRUE(XScreen(screen.display().c_str()).capture(xWindowOf(pWindow), shot));
    savePng(shot, "plotWindow-depth16.png");
    sdl2KillWindow();
    filtInfo[1] = saved1;
    if (outer != nullptr) setenv("DISPLAY", saved.c_str(), 1);
    else unsetenv("DISPLAY");

    // Right of the labels, the span label of the bottom strip the widest.
    for (int x = 150; x < W; x += 5) {
        EXPECT_TRUE(near(shot.at(x, 15), 0x0000FF)) << "strip 0 trace at 0.5, x " << x;
        EXPECT_TRUE(near(shot.at(x, 60 + 45), 0x0000FF)) << "strip 1 trace at -0.5, x " << x;
        EXPECT_TRUE(near(shot.at(x, 5), 0xFFFFFF)) << "strip 0 background, x " << x;
        EXPECT_TRUE(near(shot.at(x, 60 + 5), 0xFFFFC1)) << "strip 1 background, x " << x;
        EXPECT_TRUE(near(shot.at(x, 60), 0x000000)) << "boundary, x " << x;
    }
}

// True when a GL driver is mapped into this process.
bool glLoaded() {
    std::ifstream maps("/proc/self/maps");
    for (std::string line; std::getline(maps, line);) {
        if (line.find("/dri/") != std::string::npos || line.find("libGLX_") != std::string::npos) return true;
    }
    return false;
}

TEST(PlotWindowOnABusyDisplay, ARefusedConnectionIsTriedAgainWithTheLibrarysOwnSettings) {
    if (std::system("command -v Xvfb >/dev/null 2>&1") != 0) GTEST_SKIP() << "Xvfb missing";
    PrivateScreen screen("800x600x24");
    ASSERT_FALSE(screen.display().empty()) << "private Xvfb did not start";
    FlakyDisplay flaky(screen.number());
    ASSERT_FALSE(flaky.display().empty()) << "no free display number";
    ScopedEnvironment environment;
    environment.set("DISPLAY", flaky.display().c_str());
    environment.set("WAYLAND_DISPLAY", nullptr);
    environment.set("SDL_VIDEODRIVER", nullptr);
    struct sigaction interrupt {};
    ASSERT_EQ(sigaction(SIGINT, nullptr, &interrupt), 0);
    ASSERT_EQ(interrupt.sa_handler, SIG_DFL);

    ASSERT_EQ(sdl2Window(0, 0, 200, 120), 0);
    ASSERT_NE(pWindow, nullptr) << SDL_GetError();
    EXPECT_EQ(flaky.refused(), 1);
    EXPECT_TRUE(XScreen(screen.display().c_str()).windowExists(xWindowOf(pWindow)));
    // The failed attempt's SDL_Quit cleared every hint; the window that
    // opened next must still leave SIGINT alone and paint without GL.
    ASSERT_EQ(sigaction(SIGINT, nullptr, &interrupt), 0);
    EXPECT_EQ(interrupt.sa_handler, SIG_DFL) << "SDL took SIGINT";
    EXPECT_FALSE(glLoaded());
    EXPECT_EQ(sdl2KillWindow(), 0);
}

}  // namespace
