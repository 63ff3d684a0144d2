// SPDX-License-Identifier: MIT
// Recording why an operation refused a call.
#pragma once

namespace kelvo {

// What a device operation requires of its slot before it works on it.
struct SlotNeeds {
    bool open = true;         // "port not open"
    bool healthyPort = true;  // "fatal R/W error on Port"
    bool connected = false;   // "fatal I/O error on Port"
    // When set, a closed port stores this whole text (no prefix) instead of
    // "operation(dev=N):port not open".
    const char *notOpenText = nullptr;
};

// Whether the slot's device was unplugged: its tty hung up. The slot
// number must be valid.
bool isDisconnected(int dev);

// Checks the slot number and `needs` in that order; on the first failure
// records "operation(dev=N):message" (the whole `notOpenText` for a closed
// port when given) and returns true. A bad slot number has nowhere to keep
// a text.
bool refuseSlot(const char *operation, int dev, SlotNeeds needs);

// Replaces the slot's error text with `text` as it stands (no prefix) and
// marks it unread. The slot number must be valid.
void storeWholeErrorText(int dev, const char *text);

}  // namespace kelvo
