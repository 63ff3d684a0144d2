// SPDX-License-Identifier: MIT
// The C interface of the layers below the core: the serial transport, the
// block decoder and device discovery. Those layers know nothing of the
// public headers; what they offer leaves the library here.
#include <cstring>
#include <type_traits>

#include "atomics.h"
#include "blockDecoder.h"
#include "deviceList.h"
#include "kelvo_lowlevel.h"
#include "tty.h"

namespace {

static_assert(sizeof(SCPIdecoderState) == sizeof(kelvo::BlockDecoder) && std::is_standard_layout_v<SCPIdecoderState> &&
                  std::is_standard_layout_v<kelvo::BlockDecoder>,
              "the public decoder state has the decoder's layout");

// Copies the caller's state in and the stepped state back out: the public
// struct and the decoder's own are two types of one layout.
template <typename Step>
auto withDecoder(SCPIdecoderState *state, Step step) {
    kelvo::BlockDecoder decoder;
    std::memcpy(&decoder, state, sizeof decoder);
    const auto result = step(decoder);
    std::memcpy(state, &decoder, sizeof decoder);
    return result;
}

int32_t listingAll = 0;  // the mode serialportinfo lists in

}  // namespace

extern "C" {

KELVO_API int openSerialPort(int *port, const char *path) noexcept {
    if (port == nullptr || path == nullptr) return 1;
    return kelvo::ttyOpen(port, path).outcome == kelvo::OpenOutcome::ready ? 0 : 1;
}

KELVO_API int readFromSerialPort(int fd, void *buffer, int capacity) noexcept {
    if (fd < 0 || buffer == nullptr || capacity <= 0) return 0;
    return kelvo::ttyRead(fd, buffer, capacity).bytes;
}

KELVO_API int writeToSerialPort(int fd, const void *buffer, int count) noexcept {
    if (fd < 0) return 0;
    if (buffer == nullptr || count < 0) return -1;
    const kelvo::Transfer sent = kelvo::ttyWrite(fd, buffer, count);
    return sent.state == kelvo::LineState::ok ? sent.bytes : -1;
}

KELVO_API int closeSerialPort(int *port) noexcept {
    if (port != nullptr) kelvo::ttyClose(port);
    return 0;
}

KELVO_API int isSerialPortDisconnected(int fd) noexcept { return kelvo::ttyHungUp(fd) ? 1 : 0; }

KELVO_API void SCPIdecoderReset(SCPIdecoderState *decoder) noexcept {
    if (decoder == nullptr) return;
    withDecoder(decoder, [](kelvo::BlockDecoder &d) {
        kelvo::resetBlockDecoder(d);
        return 0;
    });
}

KELVO_API int SCPIdecoder(SCPIdecoderState *decoder, int ch) noexcept {
    if (decoder == nullptr) return 0;
    return withDecoder(decoder,
                       [ch](kelvo::BlockDecoder &d) { return kelvo::stepBlockDecoder(d, static_cast<char>(ch)); });
}

KELVO_API void listAllSerialDevices(int all) noexcept { kelvo::storeRelease(listingAll, all); }

KELVO_API const char *serialportinfo(void) noexcept {
    return kelvo::listSerialDevices(kelvo::loadAcquire(listingAll) != 0);
}

KELVO_API const char *kelvoListDevices(void) noexcept {
    listAllSerialDevices(0);
    return kelvo::listSerialDevices(false);
}

KELVO_API const char *kelvoListAllDevices(void) noexcept {
    listAllSerialDevices(1);
    return kelvo::listSerialDevices(true);
}

}  // extern "C"
