// SPDX-License-Identifier: MIT
// The plot window's lifecycle and its render thread.
//
// The render thread initialises SDL, creates the window and is the only
// thread that touches SDL while it runs; sdl2Window waits until the window is
// ready. SDL wants the events of a window pumped on the thread that set up
// video, and keeping every SDL call on one thread leaves nothing for the
// application's thread to race with. Once the thread has been joined,
// sdl2KillWindow tears the window down on the application's thread, which is
// what lets a window the user closed stay on screen until then.
//
// Configuration never touches the model while a render cycle may run: it
// posts a layout request that the render thread applies between cycles, and
// applies it itself only once the render loop has ended. A new title is
// posted the same way.
//
// Neither side polls. A request wakes the render thread, which sleeps on a
// futex between frames, and is served at once; the caller sleeps on the
// render thread's event count until the request is served or the render
// loop has ended.
#include <SDL_image.h>
#include <langinfo.h>
#include <linux/futex.h>
#include <pthread.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <new>
#include <string>

#include "atomics.h"
#include "byteRing.h"
#include "clock.h"
#include "errors.h"
#include "kelvo_lowlevel.h"
#include "painter.h"
#include "plotQueue.h"
#include "plotWindow.h"
#include "renderArea.h"
#include "resources.h"
#include "spanLabel.h"
#include "wakeups.h"

using namespace kelvo;

extern "C" {
KELVO_API struct RenderArea *pRender;
KELVO_API struct PlotWindow *pWindow;
KELVO_API pthread_t graphicThreadId;
}

namespace {

enum SetupState : int32_t { kStarting, kReady, kFailed };

constexpr int64_t kCycleTicks = 30 * kTicksPerMs;
constexpr int kLabelPointSize = 14;
constexpr uint8_t kFillByte = 180;
constexpr int kVideoAttempts = 8;
constexpr useconds_t kVideoRetryStepUs = 10000;
constexpr int kLabelMargin = 3;
// Every value reaches the plot scaled to -1.0..1.0 (see convertSample).
constexpr char kFullScale[] = "\u00b11.0";

// What the application's thread and the render thread hand each other, and
// who writes what. The words both touch go through std::atomic_ref; a text
// or record is written before the word that publishes it.
struct RenderHandoff {
    // sdl2Window, before it starts the render thread.
    struct {
        int x, y, width, height;
    } requested;
    // kStarting by sdl2Window, then the outcome by the render thread, with
    // setupFailure written before kFailed.
    int32_t setupState;
    char setupFailure[256];
    // 0 by sdl2Window, 1 by sdl2KillWindow.
    int32_t terminate;
    // 0 by sdl2Window; 1 by the render thread after its last use of the
    // model, from when on the application's thread uses the model alone.
    int32_t loopEnded;
    // Raised by sdl2WindowConfigure after writing layoutSpan; lowered where
    // the layout is applied, after writing layoutFailed (set when the plot
    // is left empty), appliedLayout and layoutSerial.
    int32_t layoutRequest;
    int32_t layoutSpan;
    int32_t layoutFailed;
    // The render thread's copy of grConf, so that the application may write
    // grConf at any time; the count tells the labels when to be made again.
    FiltInfo appliedLayout;
    uint32_t layoutSerial;
    // Raised by kelvoSetPlotTitle after writing requestedTitle; lowered by
    // the render thread once the window has it, or by kelvoSetPlotTitle
    // once the loop ended without taking it.
    int32_t titleRequest;
    char requestedTitle[512];
    // Advanced by the application after each request (terminate included);
    // the render thread sleeps on it between frames, a futex with the
    // frame's time-out.
    uint32_t requests;
    // Advanced by the render thread after each outcome the application
    // waits for (its setup's, a request served, its loop's end); the
    // application sleeps on it.
    uint32_t events;
};
RenderHandoff handoff;

int32_t isGraphicThreadRunning;  // application thread only

// Why the last plot call that failed failed, for kelvoGetPlotError: SDL's
// own text lives per thread, and not every caller can reach SDL.
char plotError[512];

void clearPlotError() { plotError[0] = '\0'; }

void keepPlotError() { std::snprintf(plotError, sizeof plotError, "%s", SDL_GetError()); }

void recordFailure(const char *what) {
    std::snprintf(handoff.setupFailure, sizeof handoff.setupFailure, "%s: %s", what, SDL_GetError());
}

// Application side: the render thread looks at its requests now instead of
// at its next frame. Called after the request is published.
void wakeRenderThread() {
    fetchAdd(handoff.requests, 1u);
    (void)syscall(SYS_futex, &handoff.requests, FUTEX_WAKE_PRIVATE, 1, nullptr, nullptr, 0);
}

// Render thread: sleeps until a request is posted after `seen` was taken,
// or until `deadline` (ticks). May return early.
void sleepOnRequests(uint32_t seen, int64_t deadline) {
    const int64_t remaining = deadline - ticksNow();
    if (remaining <= 0) return;
    const timespec timeout = timespecOf(remaining);
    (void)syscall(SYS_futex, &handoff.requests, FUTEX_WAIT_PRIVATE, seen, &timeout, nullptr, 0);
}

// Render thread: wakes the application after publishing an outcome.
void announceToApplication() {
    fetchAdd(handoff.events, 1u);
    std::atomic_ref<uint32_t>(handoff.events).notify_all();
}

// Application side: sleeps until done() holds. The count is taken before
// done() is looked at, so an outcome published between the two ends the
// wait at once. The render thread always publishes: an outcome of its setup,
// and the end of its loop, after which done() must hold.
template <class Done>
void awaitRenderThread(Done done) {
    for (;;) {
        const uint32_t seen = loadAcquire(handoff.events);
        if (done()) return;
        std::atomic_ref<uint32_t>(handoff.events).wait(seen, std::memory_order_acquire);
    }
}

void fillGrey(SDL_Surface *surface) {
    if (SDL_LockSurface(surface) != 0) return;
    std::memset(surface->pixels, kFillByte, static_cast<size_t>(surface->w) * static_cast<size_t>(surface->h) * 4);
    SDL_UnlockSurface(surface);
}

// The painter wants 32-bit 0xRRGGBB pixels with rows exactly `width` pixels
// apart. A window surface that is not like that gets a staging surface.
bool paintsDirectly(const SDL_Surface *surface) {
    return surface->format->format == SDL_PIXELFORMAT_RGB888 && surface->pitch == surface->w * 4;
}

bool useStaging(PlotWindow &window, int width, int height) {
    window.staging = SDL_CreateRGBSurfaceWithFormat(0, width, height, 32, SDL_PIXELFORMAT_RGB888);
    if (window.staging == nullptr) {
        window.pixels = nullptr;
        return false;
    }
    fillGrey(window.staging);
    window.pixels = static_cast<uint32_t *>(window.staging->pixels);
    return true;
}

void freeStripLabels(PlotWindow &window) {
    for (SDL_Surface *&label : window.stripLabels) {
        if (label != nullptr) SDL_FreeSurface(label);
        label = nullptr;
    }
}

void closeWindow(PlotWindow &window) {
    freeStripLabels(window);
    if (window.spanLabel != nullptr) SDL_FreeSurface(window.spanLabel);
    if (window.staging != nullptr) SDL_FreeSurface(window.staging);
    if (window.icon != nullptr) SDL_FreeSurface(window.icon);
    if (window.font != nullptr) TTF_CloseFont(window.font);
    if (window.ttfInitialised) TTF_Quit();
    IMG_Quit();
    if (window.sdlWindow != nullptr) SDL_DestroyWindow(window.sdlWindow);
    SDL_Quit();
    window = PlotWindow{};
}

bool drawsOffScreen(const char *driver) {
    return driver != nullptr && (std::strcmp(driver, "offscreen") == 0 || std::strcmp(driver, "dummy") == 0);
}

bool displayNamed() {
    for (const char *name : {"DISPLAY", "WAYLAND_DISPLAY"}) {
        const char *value = std::getenv(name);
        if (value != nullptr && *value != '\0') return true;
    }
    return false;
}

void setLibraryHints() {
    // A library must not take SIGINT and SIGTERM away from its application.
    SDL_SetHint(SDL_HINT_NO_SIGNAL_HANDLERS, "1");
    // The plot is drawn into a plain software surface; without this SDL
    // would put a whole GPU (or software GL) renderer behind it.
    SDL_SetHint(SDL_HINT_FRAMEBUFFER_ACCELERATION, "0");
}

// When no display answers, SDL falls back to a driver that draws off
// screen: the caller would get a plot nobody sees, reported as success.
// Such a driver is used only when asked for by name (SDL_VIDEODRIVER). A
// busy X server refuses a connection now and then (its listen backlog is
// full), so a named display gets a few attempts before the window fails.
bool initVideo() {
    const char *asked = SDL_GetHint(SDL_HINT_VIDEODRIVER);
    const bool askedByName = asked != nullptr && *asked != '\0';
    for (int attempt = 1;; ++attempt) {
        // Set on every attempt: SDL_Quit clears all hints.
        setLibraryHints();
        if (SDL_Init(SDL_INIT_VIDEO) < 0) {
            recordFailure("SDL_Init");
            return false;
        }
        if (askedByName || !drawsOffScreen(SDL_GetCurrentVideoDriver())) return true;
        SDL_Quit();
        if (!displayNamed()) {
            std::snprintf(handoff.setupFailure, sizeof handoff.setupFailure,
                          "no display to show the window on (DISPLAY is not set)");
            return false;
        }
        if (attempt == kVideoAttempts) {
            std::snprintf(handoff.setupFailure, sizeof handoff.setupFailure,
                          "the display did not answer in %d attempts", kVideoAttempts);
            return false;
        }
        // A pause before the next attempt, not a wait for another thread.
        usleep(kVideoRetryStepUs * static_cast<useconds_t>(attempt));
    }
}

// Render thread. On failure the reason is in handoff.setupFailure and
// nothing of SDL is left initialised.
bool openWindow(PlotWindow &window) {
    if (!initVideo()) return false;
    window.sdlWindow = SDL_CreateWindow("SDL Output", handoff.requested.x, handoff.requested.y, handoff.requested.width,
                                        handoff.requested.height, SDL_WINDOW_SHOWN);
    if (window.sdlWindow == nullptr) {
        recordFailure("SDL_CreateWindow");
        closeWindow(window);
        return false;
    }
    window.icon = IMG_Load_RW(SDL_RWFromConstMem(logoImage, static_cast<int>(logoImageSize)), 1);
    if (window.icon != nullptr) SDL_SetWindowIcon(window.sdlWindow, window.icon);
    if (TTF_Init() == 0) {
        window.ttfInitialised = true;
        window.font = TTF_OpenFontRW(SDL_RWFromConstMem(OpenSansRegular, static_cast<int>(OpenSansRegularSize)), 1,
                                     kLabelPointSize);
    }
    window.surface = SDL_GetWindowSurface(window.sdlWindow);
    if (window.surface == nullptr) {
        recordFailure("SDL_GetWindowSurface");
        closeWindow(window);
        return false;
    }
    if (paintsDirectly(window.surface)) {
        fillGrey(window.surface);
        window.pixels = static_cast<uint32_t *>(window.surface->pixels);
    } else if (!useStaging(window, window.surface->w, window.surface->h)) {
        recordFailure("staging surface");
        closeWindow(window);
        return false;
    }
    return true;
}

// Render thread, or the application's thread once the render loop ended.
void applyLayout(RenderArea &model) {
    handoff.appliedLayout = grConf;
    ++handoff.layoutSerial;
    // Bytes cut to the old sample size would shift every later sample.
    ringDiscard(graphicQ);
    model.clearGraphs();
    const auto addGraphs = [&model](int32_t count, const char *prefix, unsigned channels) {
        for (int32_t i = 1; i <= count && model.graphs.size() < kMaxGraphs; ++i) {
            model.addGraph(channels, prefix + std::to_string(i), false, true);
        }
    };
    try {
        addGraphs(handoff.appliedLayout.nAdc24, "Adc24_", 1);
        addGraphs(handoff.appliedLayout.nAdc16, "Adc16_", 1);
        addGraphs(handoff.appliedLayout.nImu6, "Imu6_", 3);
        model.layoutChannels(handoff.layoutSpan);
        storeRelease(handoff.layoutFailed, 0);
    } catch (const std::exception &) {
        // Out of memory: an empty plot rather than an exception through C.
        model.clearGraphs();
        model.layoutChannels(handoff.layoutSpan);
        storeRelease(handoff.layoutFailed, 1);
    }
}

bool quitEventSeen() {
    bool quit = false;
    SDL_Event event;
    while (SDL_PollEvent(&event) != 0) {
        if (event.type == SDL_QUIT) quit = true;
    }
    return quit;
}

SDL_Surface *renderLabel(PlotWindow &window, const char *text) {
    const SDL_Color black{0, 0, 0, 255};
    const SDL_Color white{255, 255, 255, 255};
    return TTF_RenderUTF8_Shaded(window.font, text, black, white);
}

// One picture per strip: its name and full-scale value in one piece, so
// that the plot scrolling under it smears nothing into a gap.
void makeStripLabels(PlotWindow &window, const RenderArea &model) {
    freeStripLabels(window);
    window.labelledLayout = handoff.layoutSerial;
    for (int k = 0; k < model.nGraphs && k < kMaxGraphs; ++k) {
        const std::string &name = model.names[k];
        const std::string text = name.empty() ? kFullScale : name + "  " + kFullScale;
        // Without memory for it, that strip goes without a label.
        window.stripLabels[k] = renderLabel(window, text.c_str());
    }
}

void updateSpanLabel(PlotWindow &window, const RenderArea &model) {
    char text[sizeof window.spanText];
    formatSpan(text, sizeof text, model.decim.span, window.meter.rate());
    if (window.spanLabel != nullptr && std::strcmp(text, window.spanText) == 0) return;
    if (window.spanLabel != nullptr) SDL_FreeSurface(window.spanLabel);
    std::memcpy(window.spanText, text, sizeof text);
    window.spanLabel = renderLabel(window, text);
}

void blitLabel(SDL_Surface *label, SDL_Surface *target, int x, int y) {
    if (label == nullptr) return;
    SDL_Rect at{x, y, label->w, label->h};
    SDL_BlitSurface(label, nullptr, target, &at);
}

void drawLabels(PlotWindow &window, RenderArea &model) {
    if (model.nGraphs <= 0 || window.font == nullptr || window.surface == nullptr) return;
    if (window.labelledLayout != handoff.layoutSerial) makeStripLabels(window, model);
    updateSpanLabel(window, model);
    const int step = model.height / model.nGraphs;
    for (int k = 0; k < model.nGraphs && k < kMaxGraphs; ++k) {
        blitLabel(window.stripLabels[k], window.surface, 0, k * step + kLabelMargin);
    }
    // Bottom left of the bottom strip, where the oldest samples are.
    if (window.spanLabel != nullptr) {
        const int y = model.nGraphs * step - window.spanLabel->h - kLabelMargin;
        blitLabel(window.spanLabel, window.surface, 0, y);
    }
}

double monotonicSeconds() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

// SDL's X11 driver converts a title through the process's LC_CTYPE locale,
// and where the locale cannot hold it (the "C" locale a program has until
// it calls setlocale) it leaves the old title up. There each character
// beyond ASCII is shown as '?' instead, so that the title still changes.
void fitTitleToLocale(char *title) {
    const char *driver = SDL_GetCurrentVideoDriver();
    if (driver == nullptr || std::strcmp(driver, "x11") != 0) return;
    if (std::strcmp(nl_langinfo(CODESET), "UTF-8") == 0) return;
    char *to = title;
    for (const char *from = title; *from != '\0'; ++from) {
        const auto byte = static_cast<unsigned char>(*from);
        if (byte < 0x80) {
            *to++ = *from;
        } else if ((byte & 0xC0) != 0x80) {
            *to++ = '?';  // a character's first byte; its others are dropped
        }
    }
    *to = '\0';
}

// Render thread, between cycles.
void serveTitle(PlotWindow &window) {
    if (loadAcquire(handoff.titleRequest) == 0) return;
    char title[sizeof handoff.requestedTitle];
    std::memcpy(title, handoff.requestedTitle, sizeof title);
    fitTitleToLocale(title);
    SDL_SetWindowTitle(window.sdlWindow, title);
    storeRelease(handoff.titleRequest, 0);
    announceToApplication();
}

// Render thread, between cycles.
void serveLayout(PlotWindow &window, RenderArea &model) {
    if (loadAcquire(handoff.layoutRequest) == 0) return;
    applyLayout(model);
    window.meter.reset();
    storeRelease(handoff.layoutRequest, 0);
    announceToApplication();
}

// Render thread: serves requests as they come until the next frame is due.
// False once the thread is told to end.
bool serveRequestsUntil(PlotWindow &window, RenderArea &model, int64_t frameDue) {
    for (;;) {
        const uint32_t seen = loadAcquire(handoff.requests);
        if (loadAcquire(handoff.terminate) != 0) return false;
        serveLayout(window, model);
        serveTitle(window);
        if (ticksNow() >= frameDue) return true;
        sleepOnRequests(seen, frameDue);
    }
}

void renderCycle(PlotWindow &window, RenderArea &model) {
    // SDL replaces the window surface when the window changes size; the
    // model keeps its size, so from then on it is painted off screen.
    SDL_Surface *surface = SDL_GetWindowSurface(window.sdlWindow);
    if (surface != window.surface) {
        window.surface = surface;
        if (window.staging == nullptr) useStaging(window, model.width, model.height);
    }
    // The queue keeps moving even when nothing can be painted; the backlog
    // of columns is bounded when a paint becomes possible again.
    window.meter.add(drainPlotQueue(graphicQ, handoff.appliedLayout, model.decim), monotonicSeconds());
    SDL_Surface *target = window.staging != nullptr ? window.staging : window.surface;
    if (target != nullptr && window.pixels != nullptr && SDL_LockSurface(target) == 0) {
        paintEvent(window.pixels, &model);
        SDL_UnlockSurface(target);
    }
    if (window.surface == nullptr) return;
    if (window.staging != nullptr) SDL_BlitSurface(window.staging, nullptr, window.surface, nullptr);
    drawLabels(window, model);
    SDL_UpdateWindowSurface(window.sdlWindow);
    window.lastFrameTime = SDL_GetPerformanceCounter();
}

void waitForLayout() {
    awaitRenderThread([] { return loadAcquire(handoff.layoutRequest) == 0 || loadAcquire(handoff.loopEnded) != 0; });
    if (loadAcquire(handoff.layoutRequest) != 0) {
        // The render thread will not look at the request again.
        applyLayout(*pRender);
        storeRelease(handoff.layoutRequest, 0);
    }
}

}  // namespace

namespace kelvo {

void *graphicThread(void *) {
    auto *window = new (std::nothrow) PlotWindow;
    RenderArea *model = nullptr;
    if (window == nullptr) {
        std::snprintf(handoff.setupFailure, sizeof handoff.setupFailure, "out of memory");
    } else {
        window->lastFrameTime = SDL_GetPerformanceCounter();
        if (openWindow(*window)) {
            model = new (std::nothrow) RenderArea(window->surface->w, window->surface->h);
            if (model == nullptr) {
                std::snprintf(handoff.setupFailure, sizeof handoff.setupFailure, "out of memory");
                closeWindow(*window);
            }
        }
    }
    if (model == nullptr) {
        delete window;
        SDL_TLSCleanup();
        storeRelease(handoff.setupState, kFailed);
        announceToApplication();
        return nullptr;
    }
    pWindow = window;
    pRender = model;
    storeRelease(handoff.setupState, kReady);
    announceToApplication();

    for (;;) {
        if (!serveRequestsUntil(*window, *model, ticksNow() + kCycleTicks)) break;
        if (quitEventSeen()) break;
        if (loadAcquire(window->quitRequested)) break;
        renderCycle(*window, *model);
    }
    storeRelease(handoff.loopEnded, 1);
    announceToApplication();
    // SDL frees the thread-local data (its error text) only of threads it
    // started itself.
    SDL_TLSCleanup();
    return nullptr;
}

}  // namespace kelvo

extern "C" {

// On failure no window exists: pWindow stays null, and SDL_GetError() on
// the calling thread tells why.
KELVO_API int sdl2Window(int x, int y, int width, int height) noexcept {
    if (pWindow != nullptr || isGraphicThreadRunning != 0) sdl2KillWindow();
    storeRelease(isGraphicConfigured, 0);
    ringDiscard(graphicQ);
    clearPlotError();
    if (width <= 0 || height <= 0) {
        SDL_SetError("sdl2Window: window size %d x %d is not positive", width, height);
        keepPlotError();
        return 0;
    }
    handoff.requested = {x, y, width, height};
    // Before loopEnded: kelvoPlotWindowIsOpen on another thread must not
    // take the last window's state for this one's.
    storeRelease(handoff.setupState, kStarting);
    storeRelease(handoff.terminate, 0);
    storeRelease(handoff.loopEnded, 0);
    storeRelease(handoff.layoutRequest, 0);
    storeRelease(handoff.titleRequest, 0);
    if (pthread_create(&graphicThreadId, nullptr, graphicThread, nullptr) != 0) {
        SDL_SetError("sdl2Window: the render thread cannot be started");
        keepPlotError();
        return 0;
    }
    isGraphicThreadRunning = 1;
    awaitRenderThread([] { return loadAcquire(handoff.setupState) != kStarting; });
    if (loadAcquire(handoff.setupState) == kFailed) {
        pthread_join(graphicThreadId, nullptr);
        isGraphicThreadRunning = 0;
        SDL_SetError("sdl2Window: %s", handoff.setupFailure);
        keepPlotError();
    }
    return 0;
}

KELVO_API int sdl2WindowConfigure(int dev, int span) noexcept {
    if (refuseSlot("sdl2WindowConfigure", dev, {.open = false, .healthyPort = false})) {
        std::snprintf(plotError, sizeof plotError, "sdl2WindowConfigure: illegal port number %d", dev);
        return -1;
    }
    clearPlotError();
    grConf = filtInfo[dev];
    if (pRender == nullptr) return 0;
    handoff.layoutSpan = span;
    storeRelease(handoff.layoutRequest, 1);
    wakeRenderThread();
    waitForLayout();
    if (loadAcquire(handoff.layoutFailed) != 0) {
        SDL_SetError("sdl2WindowConfigure: no memory for the layout; the plot stays empty");
        keepPlotError();
        return -1;
    }
    storeRelease(isGraphicConfigured, 1);
    wakeIoThread();
    return 0;
}

KELVO_API int sdl2KillWindow(void) noexcept {
    storeRelease(isGraphicConfigured, 0);
    storeRelease(handoff.terminate, 1);
    wakeRenderThread();
    if (isGraphicThreadRunning != 0) {
        pthread_join(graphicThreadId, nullptr);
        isGraphicThreadRunning = 0;
    }
    if (pWindow != nullptr) pWindow->quitRequested = true;
    delete pRender;
    pRender = nullptr;
    if (pWindow != nullptr) {
        closeWindow(*pWindow);
        delete pWindow;
        pWindow = nullptr;
    }
    ringDiscard(graphicQ);
    return 0;
}

KELVO_API int kelvoPlotWindowIsOpen(void) noexcept {
    return loadAcquire(handoff.setupState) == kReady && loadAcquire(handoff.loopEnded) == 0 ? 1 : 0;
}

KELVO_API int kelvoSetPlotTitle(const char *title) noexcept {
    if (title == nullptr || kelvoPlotWindowIsOpen() == 0) {
        std::snprintf(plotError, sizeof plotError, "kelvoSetPlotTitle: %s",
                      title == nullptr ? "title must not be NULL" : "no plot window is open");
        return -1;
    }
    clearPlotError();
    // Cut at a character boundary: SDL takes the title as UTF-8.
    const size_t whole = std::strlen(title);
    size_t length = std::min(whole, sizeof handoff.requestedTitle - 1);
    while (length > 0 && length < whole && (static_cast<unsigned char>(title[length]) & 0xC0) == 0x80) --length;
    std::memcpy(handoff.requestedTitle, title, length);
    handoff.requestedTitle[length] = '\0';
    storeRelease(handoff.titleRequest, 1);
    wakeRenderThread();
    awaitRenderThread([] { return loadAcquire(handoff.titleRequest) == 0 || loadAcquire(handoff.loopEnded) != 0; });
    // A window closed meanwhile never takes it.
    if (loadAcquire(handoff.titleRequest) != 0) {
        storeRelease(handoff.titleRequest, 0);
        std::snprintf(plotError, sizeof plotError, "kelvoSetPlotTitle: the window was closed");
        return -1;
    }
    return 0;
}

KELVO_API const char *kelvoGetPlotError(void) noexcept { return plotError; }

}  // extern "C"
