// SPDX-License-Identifier: MIT
// The tests' own connection to the X server: whether a window exists, and
// what it shows. Done in-process, because the X tools that could do it
// would turn interactive (and grab the server) on a window id of 0.
#pragma once

#include <X11/Xlib.h>
#include <X11/Xutil.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

// Xlib's macros clash with gtest and SDL names.
#undef None
#undef Bool
#undef Status

namespace kelvo::test {

// A window's picture as 0xRRGGBB pixels.
struct Capture {
    int width = 0, height = 0;
    std::vector<uint32_t> rgb;
    uint32_t at(int x, int y) const { return rgb[static_cast<size_t>(y) * width + x]; }
};

class XScreen {
public:
    // A busy X server refuses connections now and then; try for a while.
    explicit XScreen(const char *display = nullptr) {
        for (int attempt = 0; attempt < 100 && display_ == nullptr; ++attempt) {
            display_ = XOpenDisplay(display);
            if (display_ == nullptr) std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    }
    ~XScreen() {
        if (display_ != nullptr) XCloseDisplay(display_);
    }
    XScreen(const XScreen &) = delete;
    XScreen &operator=(const XScreen &) = delete;

    bool connected() const { return display_ != nullptr; }

    // Top-level windows are children of the root: no window manager runs.
    bool windowExists(unsigned long id) {
        if (display_ == nullptr || id == 0) return false;
        Window root, parent, *children = nullptr;
        unsigned count = 0;
        if (XQueryTree(display_, DefaultRootWindow(display_), &root, &parent, &children, &count) == 0) return false;
        bool found = false;
        for (unsigned i = 0; i < count; ++i) found = found || children[i] == id;
        if (children != nullptr) XFree(children);
        return found;
    }

    // The top-level windows, oldest first.
    std::vector<unsigned long> topLevelWindows() {
        std::vector<unsigned long> ids;
        if (display_ == nullptr) return ids;
        Window root, parent, *children = nullptr;
        unsigned count = 0;
        if (XQueryTree(display_, DefaultRootWindow(display_), &root, &parent, &children, &count) == 0) return ids;
        for (unsigned i = 0; i < count; ++i) ids.push_back(children[i]);
        if (children != nullptr) XFree(children);
        return ids;
    }

    // The title a window manager would show: _NET_WM_NAME (UTF-8), else
    // WM_NAME. The window must exist.
    std::string title(unsigned long id) {
        if (!windowExists(id)) return "";
        const Atom netName = XInternAtom(display_, "_NET_WM_NAME", False);
        const Atom utf8 = XInternAtom(display_, "UTF8_STRING", False);
        Atom type = 0;
        int format = 0;
        unsigned long items = 0, after = 0;
        unsigned char *data = nullptr;
        std::string text;
        if (XGetWindowProperty(display_, id, netName, 0, 1024, False, utf8, &type, &format, &items, &after, &data) ==
                Success &&
            data != nullptr && type == utf8) {
            text.assign(reinterpret_cast<const char *>(data), items);
        }
        if (data != nullptr) XFree(data);
        if (!text.empty()) return text;
        char *name = nullptr;
        if (XFetchName(display_, id, &name) != 0 && name != nullptr) {
            text = name;
            XFree(name);
        }
        return text;
    }

    // What a window manager sends when the user clicks the close button:
    // a WM_DELETE_WINDOW message of the WM_PROTOCOLS kind.
    bool closeLikeAWindowManager(unsigned long id) {
        if (!windowExists(id)) return false;
        XEvent event{};
        event.xclient.type = ClientMessage;
        event.xclient.window = id;
        event.xclient.message_type = XInternAtom(display_, "WM_PROTOCOLS", False);
        event.xclient.format = 32;
        event.xclient.data.l[0] = static_cast<long>(XInternAtom(display_, "WM_DELETE_WINDOW", False));
        event.xclient.data.l[1] = CurrentTime;
        const bool sent = XSendEvent(display_, id, False, NoEventMask, &event) != 0;
        XFlush(display_);
        return sent;
    }

    // The window must exist: Xlib ends the process on a bad id.
    bool capture(unsigned long id, Capture &out) {
        if (!windowExists(id)) return false;
        XWindowAttributes attributes;
        if (XGetWindowAttributes(display_, id, &attributes) == 0) return false;
        XImage *image = XGetImage(display_, id, 0, 0, attributes.width, attributes.height, AllPlanes, ZPixmap);
        if (image == nullptr) return false;
        out.width = attributes.width;
        out.height = attributes.height;
        out.rgb.resize(static_cast<size_t>(out.width) * out.height);
        for (int y = 0; y < out.height; ++y) {
            for (int x = 0; x < out.width; ++x) {
                const unsigned long pixel = XGetPixel(image, x, y);
                out.rgb[static_cast<size_t>(y) * out.width + x] = channel(pixel, image->red_mask) << 16 |
                                                                  channel(pixel, image->green_mask) << 8 |
                                                                  channel(pixel, image->blue_mask);
            }
        }
        XDestroyImage(image);
        return true;
    }

private:
    // One colour channel of a true-colour pixel, scaled to 8 bits.
    static uint32_t channel(unsigned long pixel, unsigned long mask) {
        if (mask == 0) return 0;
        int shift = 0;
        while (((mask >> shift) & 1) == 0) ++shift;
        const unsigned long top = mask >> shift;
        return static_cast<uint32_t>(((pixel & mask) >> shift) * 255 / top);
    }

    Display *display_ = nullptr;
};

}  // namespace kelvo::test
