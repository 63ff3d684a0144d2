// SPDX-License-Identifier: MIT
// Where a subscriber keeps what it receives: an HDF5 recording of every
// device on the subscriber's time axis, or a CSV file of one device.
#pragma once

#include <memory>
#include <string>

#include "subscriber.h"

namespace kelvo::recording {

// FILE.h5 or FILE.csv; throws std::invalid_argument for another name and
// std::runtime_error when the file cannot be made.
std::unique_ptr<SubscriberOutput> openSubscriberOutput(const std::string &path);

}  // namespace kelvo::recording
