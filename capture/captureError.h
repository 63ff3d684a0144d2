// SPDX-License-Identifier: MIT
// The one way a capture refuses: an exception with the text the caller
// shows, and whether the caller's request was at fault (a usage error) or
// the devices and files were.
#pragma once

#include <stdexcept>
#include <string>

namespace kelvo::capture {

struct CaptureError : std::runtime_error {
    enum class Kind { failure, usage };
    explicit CaptureError(const std::string &text, Kind errorKind = Kind::failure)
        : std::runtime_error(text), kind(errorKind) {}
    Kind kind;
};

}  // namespace kelvo::capture
