// SPDX-License-Identifier: MIT
// The plot window record and the render thread. The window lifecycle itself
// is the exported sdl2Window / sdl2WindowConfigure / sdl2KillWindow.
#pragma once

#include <SDL.h>
#include <SDL_ttf.h>

#include <cstdint>

#include "renderArea.h"
#include "spanLabel.h"

struct PlotWindow {
    SDL_Window *sdlWindow = nullptr;
    bool quitRequested = false;
    SDL_Surface *surface = nullptr;  // the window surface
    TTF_Font *font = nullptr;        // null: the window works without labels
    uint32_t *pixels = nullptr;      // the paint target, width x height, stride width
    uint64_t lastFrameTime = 0;
    SDL_Surface *icon = nullptr;
    bool ttfInitialised = false;
    // Paint target when the window surface cannot take the model's pixels
    // directly (another pixel format, padded rows, or a surface that SDL
    // replaced); it is blitted onto the window surface every cycle.
    SDL_Surface *staging = nullptr;
    // Label pictures, made again only when what they say changes: one per
    // strip (its name and full-scale value) for layout `labelledLayout`,
    // and the span of the bottom strip.
    SDL_Surface *stripLabels[kelvo::kMaxGraphs] = {};
    uint32_t labelledLayout = 0;
    SDL_Surface *spanLabel = nullptr;
    char spanText[48] = "";
    kelvo::SampleRateMeter meter;
};

namespace kelvo {

// Render thread entry: sets up SDL and the window, then renders about every
// 30 ms until sdl2KillWindow, an SDL_QUIT or quitRequested. The window's
// title is changed between cycles (kelvoSetPlotTitle).
void *graphicThread(void *unused);

}  // namespace kelvo
