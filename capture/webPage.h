// SPDX-License-Identifier: MIT
// The page's files, built into the library (web/ and uPlot from npm).
#pragma once

#include <cstddef>
#include <string>

namespace kelvo::recording {

struct PageFile {
    const char *path;  // as requested
    const char *type;  // its Content-Type
    const unsigned char *bytes;
    size_t size;
    bool data;  // shows the session: behind the token when there is one
};

// The file served at `path`, null for any other.
const PageFile *pageFile(const std::string &path);

}  // namespace kelvo::recording
