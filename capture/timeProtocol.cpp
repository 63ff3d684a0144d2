// SPDX-License-Identifier: MIT
#include "timeProtocol.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>

#include "littleEndian.h"
#include "wireFormat.h"

namespace kelvo::recording {

namespace {

// Not the data messages' magic: a time frame that strays onto a data
// socket, or the reverse, is never taken for the other.
constexpr unsigned char kMagic[4] = {'K', 'L', 'V', 'T'};

// Magic, version, type, and a field of the type's own: the first 16
// bytes of every frame.
void putStart(unsigned char *out, TimeType type, uint32_t field) {
    std::memcpy(out, kMagic, 4);
    putLittleEndian<uint32_t>(out + 4, kTimeVersion);
    putLittleEndian<uint32_t>(out + 8, static_cast<uint32_t>(type));
    putLittleEndian<uint32_t>(out + 12, field);
}

bool startsAs(const unsigned char *in, size_t length, TimeType type) {
    return length >= 16 && std::memcmp(in, kMagic, 4) == 0 && getLittleEndian<uint32_t>(in + 4) == kTimeVersion &&
           getLittleEndian<uint32_t>(in + 8) == static_cast<uint32_t>(type);
}

// The host and the port of "tcp://HOST:PORT"; false without a port.
bool splitTcp(const std::string &rest, std::string &host, std::string &port) {
    const size_t colon = rest.rfind(':');
    if (colon == std::string::npos || colon == 0 || colon + 1 == rest.size()) return false;
    host = rest.substr(0, colon);
    port = rest.substr(colon + 1);
    return true;
}

std::string nextPort(const std::string &endpoint, const std::string &port) {
    if (port == "*" || port == "0") return port;
    if (port.size() > 5 || port.find_first_not_of("0123456789") != std::string::npos) {
        throw std::invalid_argument("no port in " + endpoint + " to serve the time next to: set a time endpoint");
    }
    const unsigned long number = std::stoul(port);
    if (number >= 65535) {
        throw std::invalid_argument("no port after the one of " + endpoint + " to serve the time on: set one");
    }
    return std::to_string(number + 1);
}

}  // namespace

std::array<unsigned char, kTimeRequestBytes> encodeRequest(const TimeRequest &request) {
    std::array<unsigned char, kTimeRequestBytes> out{};
    putStart(out.data(), TimeType::request, 0);
    putLittleEndian<uint64_t>(out.data() + 16, request.id);
    putLittleEndian<int64_t>(out.data() + 24, request.clientTicks);
    return out;
}

std::array<unsigned char, kTimeReplyBytes> encodeReply(const TimeReply &reply) {
    std::array<unsigned char, kTimeReplyBytes> out{};
    putStart(out.data(), TimeType::reply, 0);
    putLittleEndian<uint64_t>(out.data() + 16, reply.id);
    putLittleEndian<int64_t>(out.data() + 24, reply.clientTicks);
    putLittleEndian<int64_t>(out.data() + 32, reply.receivedTicks);
    putLittleEndian<int64_t>(out.data() + 40, reply.repliedTicks);
    return out;
}

std::string encodeReport(const TimeReport &report) {
    if (report.name.size() > kMaxSubscriberNameBytes || !isUtf8Text(report.name)) {
        throw std::invalid_argument("a subscriber's name is UTF-8 of up to 64 bytes");
    }
    std::string out(kTimeReportHeadBytes + report.name.size(), '\0');
    auto *at = reinterpret_cast<unsigned char *>(out.data());
    putStart(at, TimeType::report, static_cast<uint32_t>(report.name.size()));
    putLittleEndian<uint64_t>(at + 16, report.received);
    putLittleEndian<uint64_t>(at + 24, report.lost);
    std::copy(report.name.begin(), report.name.end(), out.begin() + kTimeReportHeadBytes);
    return out;
}

std::optional<TimeRequest> decodeRequest(const void *bytes, size_t length) {
    const auto *in = static_cast<const unsigned char *>(bytes);
    if (length != kTimeRequestBytes || !startsAs(in, length, TimeType::request) ||
        getLittleEndian<uint32_t>(in + 12) != 0) {
        return std::nullopt;
    }
    return TimeRequest{getLittleEndian<uint64_t>(in + 16), getLittleEndian<int64_t>(in + 24)};
}

std::optional<TimeReply> decodeReply(const void *bytes, size_t length) {
    const auto *in = static_cast<const unsigned char *>(bytes);
    if (length != kTimeReplyBytes || !startsAs(in, length, TimeType::reply) ||
        getLittleEndian<uint32_t>(in + 12) != 0) {
        return std::nullopt;
    }
    TimeReply reply{getLittleEndian<uint64_t>(in + 16), getLittleEndian<int64_t>(in + 24),
                    getLittleEndian<int64_t>(in + 32), getLittleEndian<int64_t>(in + 40)};
    // A publisher answers after it received, never before.
    if (reply.repliedTicks < reply.receivedTicks) return std::nullopt;
    return reply;
}

std::optional<TimeReport> decodeReport(const void *bytes, size_t length) {
    const auto *in = static_cast<const unsigned char *>(bytes);
    if (length < kTimeReportHeadBytes || !startsAs(in, length, TimeType::report)) return std::nullopt;
    const uint32_t nameBytes = getLittleEndian<uint32_t>(in + 12);
    if (nameBytes > kMaxSubscriberNameBytes || length != kTimeReportHeadBytes + nameBytes) return std::nullopt;
    TimeReport report{getLittleEndian<uint64_t>(in + 16), getLittleEndian<uint64_t>(in + 24),
                      std::string(reinterpret_cast<const char *>(in + kTimeReportHeadBytes), nameBytes)};
    if (!isUtf8Text(report.name)) return std::nullopt;
    return report;
}

std::string defaultTimeEndpoint(const std::string &dataEndpoint) {
    const size_t scheme = dataEndpoint.find("://");
    const std::string transport = scheme == std::string::npos ? "" : dataEndpoint.substr(0, scheme);
    const std::string rest = scheme == std::string::npos ? "" : dataEndpoint.substr(scheme + 3);
    if ((transport == "ipc" || transport == "inproc") && !rest.empty()) return dataEndpoint + ".time";
    std::string host;
    std::string port;
    if (transport == "tcp" && splitTcp(rest, host, port)) {
        return "tcp://" + host + ":" + nextPort(dataEndpoint, port);
    }
    throw std::invalid_argument("no time endpoint follows from " + dataEndpoint + ": set one");
}

std::string connectableEndpoint(const std::string &boundEndpoint, const std::string &hostName) {
    static const std::string kTcp = "tcp://";
    std::string host;
    std::string port;
    if (boundEndpoint.rfind(kTcp, 0) != 0 || !splitTcp(boundEndpoint.substr(kTcp.size()), host, port)) {
        return boundEndpoint;
    }
    if (host != "*" && host != "0.0.0.0" && host != "[::]" && host != "[::0]") return boundEndpoint;
    return kTcp + hostName + ":" + port;
}

}  // namespace kelvo::recording
