// SPDX-License-Identifier: MIT
// The frames of the time service (docs/wire-format.md, "Time service"): a
// subscriber asks the publisher for its clock, the publisher answers with
// the moments it received and answered the request. Every field is
// little-endian; a decoder takes a frame only at its exact length with the
// magic, version and type it expects.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

namespace kelvo::recording {

inline constexpr uint32_t kTimeVersion = 1;
enum class TimeType : uint32_t { request = 1, reply = 2, report = 3 };

inline constexpr size_t kTimeRequestBytes = 32;
inline constexpr size_t kTimeReplyBytes = 48;
inline constexpr size_t kTimeReportHeadBytes = 32;
inline constexpr size_t kMaxSubscriberNameBytes = 64;

struct TimeRequest {
    uint64_t id = 0;          // the subscriber's own, to match the reply
    int64_t clientTicks = 0;  // the subscriber's clock when it sent the request
};

struct TimeReply {
    uint64_t id = 0;            // the request's, echoed
    int64_t clientTicks = 0;    // the request's, echoed
    int64_t receivedTicks = 0;  // the publisher's clock when the request came in
    int64_t repliedTicks = 0;   // the publisher's clock when it sent this reply
};

// What a subscriber tells of the data messages it got: the optional second
// frame of a request.
struct TimeReport {
    uint64_t received = 0;
    uint64_t lost = 0;
    std::string name;  // UTF-8, up to kMaxSubscriberNameBytes
};

// Fixed-size frames: nothing is allocated between the stamps.
std::array<unsigned char, kTimeRequestBytes> encodeRequest(const TimeRequest &request);
std::array<unsigned char, kTimeReplyBytes> encodeReply(const TimeReply &reply);
// Throws std::invalid_argument when the name is too long or not UTF-8.
std::string encodeReport(const TimeReport &report);
std::optional<TimeRequest> decodeRequest(const void *bytes, size_t length);
std::optional<TimeReply> decodeReply(const void *bytes, size_t length);
std::optional<TimeReport> decodeReport(const void *bytes, size_t length);

// Where a publisher on `dataEndpoint` serves its time by default: the next
// port on the same host (tcp://*:5555 -> tcp://*:5556; a port the system
// picks, 0 or *, stays so), ipc://PATH.time, inproc://NAME.time. Throws
// std::invalid_argument for an endpoint it cannot derive one from.
std::string defaultTimeEndpoint(const std::string &dataEndpoint);

// A bound endpoint as another machine connects to it: a wildcard host
// (tcp://0.0.0.0:5556, tcp://[::]:5556, tcp://*:5556) becomes `hostName`.
std::string connectableEndpoint(const std::string &boundEndpoint, const std::string &hostName);

}  // namespace kelvo::recording
