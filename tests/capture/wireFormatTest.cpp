// SPDX-License-Identifier: MIT
// The data message header as a receiver sees it: each field of version 3
// at the offset docs/wire-format.md gives (read here byte by byte, not
// through the decoder), version 1 still its 48 bytes, and every header a
// receiver could not trust refused.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <vector>

#include "wireFormat.h"

using namespace kelvo::recording;

namespace {

template <class T>
T fieldAt(const unsigned char *bytes, size_t offset) {
    T value;
    std::memcpy(&value, bytes + offset, sizeof value);  // the test runs little-endian
    return value;
}

WireHeader sample() {
    WireHeader h;
    h.sequence = 0x0102030405060708;
    h.firstSample = 0x1112131415161718;
    h.sampleCount = 4096;
    h.sampleSize = 16;
    h.ticks = 123456789012;
    h.unixNs = 1796734028775418338;
    h.firstSampleTicks = 123456700000;
    h.periodTicks = 9999.787;
    h.sentTicks = 123456790000;
    return h;
}

// A version-3 header with its period replaced.
std::vector<unsigned char> withPeriod(double period) {
    std::vector<unsigned char> bytes(kWireHeaderMaxBytes);
    encodeHeader(sample(), bytes.data());
    std::memcpy(bytes.data() + 56, &period, sizeof period);
    return bytes;
}

}  // namespace

TEST(WireHeader, VersionThreeHasEveryFieldAtItsOffsetAndDecodesBack) {
    unsigned char bytes[kWireHeaderMaxBytes];
    ASSERT_EQ(encodeHeader(sample(), bytes), 72u);
    EXPECT_EQ(std::memcmp(bytes, "KLV1", 4), 0);
    EXPECT_EQ(fieldAt<uint32_t>(bytes, 4), 3u);
    EXPECT_EQ(fieldAt<uint64_t>(bytes, 8), sample().sequence);
    EXPECT_EQ(fieldAt<uint64_t>(bytes, 16), sample().firstSample);
    EXPECT_EQ(fieldAt<uint32_t>(bytes, 24), 4096u);
    EXPECT_EQ(fieldAt<uint32_t>(bytes, 28), 16u);
    EXPECT_EQ(fieldAt<int64_t>(bytes, 32), sample().ticks);
    EXPECT_EQ(fieldAt<int64_t>(bytes, 40), sample().unixNs);
    EXPECT_EQ(fieldAt<int64_t>(bytes, 48), sample().firstSampleTicks);
    EXPECT_EQ(fieldAt<double>(bytes, 56), sample().periodTicks);
    EXPECT_EQ(fieldAt<int64_t>(bytes, 64), sample().sentTicks);

    const std::optional<WireHeader> back = decodeHeader(bytes, sizeof bytes);
    ASSERT_TRUE(back);
    EXPECT_EQ(back->version, 3u);
    EXPECT_EQ(back->sequence, sample().sequence);
    EXPECT_EQ(back->firstSample, sample().firstSample);
    EXPECT_EQ(back->sampleCount, 4096u);
    EXPECT_EQ(back->sampleSize, 16u);
    EXPECT_EQ(back->ticks, sample().ticks);
    EXPECT_EQ(back->unixNs, sample().unixNs);
    EXPECT_EQ(back->firstSampleTicks, sample().firstSampleTicks);
    EXPECT_EQ(back->periodTicks, sample().periodTicks);
    EXPECT_EQ(back->sentTicks, sample().sentTicks);
}

// A subscriber written for version 1 checks the length, the magic and the
// version, and reads eight fields: those are all it gets.
TEST(WireHeader, VersionOneIsTheFirst48BytesWithItsOwnVersion) {
    WireHeader one = sample();
    one.version = 1;
    unsigned char bytes[kWireHeaderMaxBytes];
    std::memset(bytes, 0xee, sizeof bytes);
    ASSERT_EQ(encodeHeader(one, bytes), 48u);
    EXPECT_EQ(fieldAt<uint32_t>(bytes, 4), 1u);
    EXPECT_EQ(bytes[48], 0xee) << "nothing written past version 1's end";

    unsigned char three[kWireHeaderMaxBytes];
    encodeHeader(sample(), three);
    EXPECT_EQ(std::memcmp(bytes + 8, three + 8, 40), 0) << "the fields of version 1 stay where they were";

    const std::optional<WireHeader> back = decodeHeader(bytes, 48);
    ASSERT_TRUE(back);
    EXPECT_EQ(back->version, 1u);
    EXPECT_EQ(back->sequence, one.sequence);
    EXPECT_EQ(back->ticks, one.ticks);
    EXPECT_EQ(back->firstSampleTicks, 0);
    EXPECT_EQ(back->periodTicks, 0.0);
    EXPECT_EQ(back->sentTicks, 0);
}

TEST(WireHeader, AHeaderOfTheWrongLengthVersionOrMagicIsRefused) {
    unsigned char three[kWireHeaderMaxBytes + 8] = {};
    encodeHeader(sample(), three);
    WireHeader oneFields = sample();
    oneFields.version = 1;
    unsigned char one[kWireHeaderMaxBytes + 8] = {};
    encodeHeader(oneFields, one);
    for (size_t length = 0; length <= sizeof three; ++length) {
        EXPECT_EQ(decodeHeader(three, length).has_value(), length == 72) << "version 3, " << length << " bytes";
        EXPECT_EQ(decodeHeader(one, length).has_value(), length == 48) << "version 1, " << length << " bytes";
    }
    for (const uint32_t version : {0u, 2u, 4u, 0xffffffffu}) {
        unsigned char other[kWireHeaderMaxBytes];
        encodeHeader(sample(), other);
        std::memcpy(other + 4, &version, sizeof version);
        EXPECT_FALSE(decodeHeader(other, 72)) << "version " << version;
        EXPECT_FALSE(decodeHeader(other, 48)) << "version " << version;
    }
    unsigned char magic[kWireHeaderMaxBytes];
    encodeHeader(sample(), magic);
    magic[3] = '2';
    EXPECT_FALSE(decodeHeader(magic, 72));
}

// A period that is not a number, infinite or negative would time every
// sample after the first wrongly; no such header is taken.
TEST(WireHeader, AnUnsoundPeriodIsRefusedAndZeroTaken) {
    for (const double bad : {std::numeric_limits<double>::quiet_NaN(), -std::numeric_limits<double>::quiet_NaN(),
                             std::numeric_limits<double>::infinity(), -std::numeric_limits<double>::infinity(), -1.0,
                             -std::numeric_limits<double>::denorm_min()}) {
        EXPECT_FALSE(decodeHeader(withPeriod(bad).data(), 72)) << bad;
    }
    for (const double good : {0.0, -0.0, std::numeric_limits<double>::denorm_min(), 1e300}) {
        const std::optional<WireHeader> h = decodeHeader(withPeriod(good).data(), 72);
        ASSERT_TRUE(h) << good;
        EXPECT_EQ(h->periodTicks, good);
    }
}

// The other headers of the format are not data headers, nor the reverse.
TEST(WireHeader, NoticeHeadersAndDataHeadersAreNotTakenForEachOther) {
    unsigned char gap[kGapHeaderBytes];
    encodeGap({1, 10, 20, 100, 200}, gap);
    EXPECT_FALSE(decodeHeader(gap, sizeof gap));
    unsigned char data[kWireHeaderMaxBytes];
    encodeHeader(sample(), data);
    EXPECT_FALSE(noticeType(data, sizeof data));
    EXPECT_FALSE(decodeGap(data, kGapHeaderBytes));
}
