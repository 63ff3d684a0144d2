// SPDX-License-Identifier: MIT
// Where a recording's control socket listens (docs/control.md), as the
// recorder binds it and as 'kelvo control' connects to it: a bare port is
// this machine's loopback, so that a recorder is steered from elsewhere
// only when it was told so.
#pragma once

#include <string>

namespace kelvo::recording {

// "5557" -> "tcp://127.0.0.1:5557"; "0" -> "tcp://127.0.0.1:*" (a port the
// system picks, for a recorder); any other text as given. Throws
// std::invalid_argument for an empty text or a port above 65535.
std::string controlEndpoint(const std::string &given);

}  // namespace kelvo::recording
