// SPDX-License-Identifier: MIT
// The time service's frames: what goes in comes out, and anything else,
// cut short, too long, of another kind or with a bad name, is refused.
#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

#include "timeProtocol.h"

using namespace kelvo::recording;

namespace {

template <size_t N>
std::string text(const std::array<unsigned char, N> &frame) {
    return std::string(reinterpret_cast<const char *>(frame.data()), frame.size());
}

// Every length but the frame's own, from empty to a few bytes beyond.
template <class Decode>
void refusesEveryOtherLength(const std::string &frame, Decode decode) {
    std::string longer = frame + std::string(8, '\0');
    for (size_t length = 0; length <= longer.size(); ++length) {
        if (length == frame.size()) continue;
        EXPECT_FALSE(decode(longer.data(), length).has_value()) << length << " bytes";
    }
}

}  // namespace

TEST(TimeProtocol, RequestsAndRepliesComeBackAsSentAndNothingElseIsTaken) {
    const std::string request = text(encodeRequest({0x0102030405060708, -42}));
    ASSERT_EQ(request.size(), kTimeRequestBytes);
    EXPECT_EQ(request.substr(0, 4), "KLVT");
    const auto back = decodeRequest(request.data(), request.size());
    ASSERT_TRUE(back);
    EXPECT_EQ(back->id, 0x0102030405060708u);
    EXPECT_EQ(back->clientTicks, -42);
    refusesEveryOtherLength(request, decodeRequest);

    const std::string reply = text(encodeReply({9, 100, 1'000'000'000'000, 1'000'000'000'005}));
    ASSERT_EQ(reply.size(), kTimeReplyBytes);
    const auto answer = decodeReply(reply.data(), reply.size());
    ASSERT_TRUE(answer);
    EXPECT_EQ(answer->id, 9u);
    EXPECT_EQ(answer->clientTicks, 100);
    EXPECT_EQ(answer->receivedTicks, 1'000'000'000'000);
    EXPECT_EQ(answer->repliedTicks, 1'000'000'000'005);
    refusesEveryOtherLength(reply, decodeReply);

    const std::string backwards = text(encodeReply({9, 100, 50, 49}));
    EXPECT_FALSE(decodeReply(backwards.data(), backwards.size())) << "replied before it received";
    EXPECT_FALSE(decodeRequest(reply.data(), kTimeRequestBytes)) << "a reply's start is no request";
}

TEST(TimeProtocol, AnyChangeToTheFirstSixteenBytesIsRefused) {
    const std::string request = text(encodeRequest({1, 2}));
    const std::string reply = text(encodeReply({1, 2, 3, 4}));
    for (size_t at = 0; at < 16; ++at) {
        std::string badRequest = request, badReply = reply;
        badRequest[at] = static_cast<char>(badRequest[at] ^ 0x01);
        badReply[at] = static_cast<char>(badReply[at] ^ 0x40);
        EXPECT_FALSE(decodeRequest(badRequest.data(), badRequest.size())) << "byte " << at;
        EXPECT_FALSE(decodeReply(badReply.data(), badReply.size())) << "byte " << at;
    }
}

TEST(TimeProtocol, AReportCarriesItsCountsAndAShortUtf8Name) {
    const std::string frame = encodeReport({123456789012, 7, "lab-pc \xc3\xa9"});
    ASSERT_EQ(frame.size(), kTimeReportHeadBytes + 9);
    const auto report = decodeReport(frame.data(), frame.size());
    ASSERT_TRUE(report);
    EXPECT_EQ(report->received, 123456789012u);
    EXPECT_EQ(report->lost, 7u);
    EXPECT_EQ(report->name, "lab-pc \xc3\xa9");
    refusesEveryOtherLength(frame, decodeReport);

    const std::string unnamed = encodeReport({1, 0, ""});
    EXPECT_TRUE(decodeReport(unnamed.data(), unnamed.size()));
    EXPECT_THROW(encodeReport({1, 0, std::string(65, 'x')}), std::invalid_argument);
    EXPECT_THROW(encodeReport({1, 0, "\xff"}), std::invalid_argument);

    std::string badName = frame;
    badName.back() = '\xff';
    EXPECT_FALSE(decodeReport(badName.data(), badName.size()));
    std::string hugeLength = frame;
    hugeLength[15] = '\x7f';  // the name's length says 2 GB
    EXPECT_FALSE(decodeReport(hugeLength.data(), hugeLength.size()));
}

TEST(TimeProtocol, TheDefaultEndpointIsTheNextPortOrTheSocketFileBeside) {
    EXPECT_EQ(defaultTimeEndpoint("tcp://*:5555"), "tcp://*:5556");
    EXPECT_EQ(defaultTimeEndpoint("tcp://127.0.0.1:80"), "tcp://127.0.0.1:81");
    EXPECT_EQ(defaultTimeEndpoint("tcp://[::1]:7000"), "tcp://[::1]:7001");
    EXPECT_EQ(defaultTimeEndpoint("tcp://eth0:7000"), "tcp://eth0:7001");
    EXPECT_EQ(defaultTimeEndpoint("tcp://127.0.0.1:0"), "tcp://127.0.0.1:0") << "the system picks both";
    EXPECT_EQ(defaultTimeEndpoint("tcp://127.0.0.1:*"), "tcp://127.0.0.1:*");
    EXPECT_EQ(defaultTimeEndpoint("ipc:///tmp/kelvo.sock"), "ipc:///tmp/kelvo.sock.time");
    EXPECT_EQ(defaultTimeEndpoint("inproc://data"), "inproc://data.time");
    for (const char *none : {"tcp://*:65535", "tcp://*:http", "tcp://host", "udp://*:5555", "", "ipc://"}) {
        EXPECT_THROW(defaultTimeEndpoint(none), std::invalid_argument) << none;
    }
}

TEST(TimeProtocol, AWildcardHostBecomesTheHostName) {
    EXPECT_EQ(connectableEndpoint("tcp://0.0.0.0:5556", "lab-3"), "tcp://lab-3:5556");
    EXPECT_EQ(connectableEndpoint("tcp://[::]:5556", "lab-3"), "tcp://lab-3:5556");
    EXPECT_EQ(connectableEndpoint("tcp://*:5556", "lab-3"), "tcp://lab-3:5556");
    EXPECT_EQ(connectableEndpoint("tcp://127.0.0.1:5556", "lab-3"), "tcp://127.0.0.1:5556");
    EXPECT_EQ(connectableEndpoint("ipc:///tmp/k.time", "lab-3"), "ipc:///tmp/k.time");
}
