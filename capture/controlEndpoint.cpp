// SPDX-License-Identifier: MIT
#include "controlEndpoint.h"

#include <algorithm>
#include <cctype>
#include <stdexcept>

namespace kelvo::recording {

std::string controlEndpoint(const std::string &given) {
    if (given.empty()) throw std::invalid_argument("the control endpoint is empty");
    const bool port = std::all_of(given.begin(), given.end(), [](unsigned char c) { return std::isdigit(c) != 0; });
    if (!port) return given;
    if (given.size() > 5 || std::stoi(given) > 65535) {
        throw std::invalid_argument("the control port " + given + " is not 1 to 65535");
    }
    const int number = std::stoi(given);
    return "tcp://127.0.0.1:" + (number == 0 ? std::string("*") : std::to_string(number));
}

}  // namespace kelvo::recording
