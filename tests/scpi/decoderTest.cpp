// SPDX-License-Identifier: MIT
#include <gtest/gtest.h>

#include <random>
#include <string>

#include "blockDecoder.h"
#include "kelvo_lowlevel.h"

namespace {

struct Decoded {
    std::string payload;
    SCPIdecoderState state{};
    uint32_t blocks = 0;  // terminators taken
};

constexpr int32_t kTerminatorState = 3;

Decoded decode(const std::string &bytes) {
    Decoded out;
    SCPIdecoderReset(&out.state);
    for (char c : bytes) {
        const int32_t before = out.state.state;
        if (SCPIdecoder(&out.state, c)) out.payload += c;
        out.blocks += before == kTerminatorState && out.state.state == 0;
    }
    return out;
}

std::string block(const std::string &payload, const std::string &end = "\n") {
    const std::string length = std::to_string(payload.size());
    return "#" + std::to_string(length.size()) + length + payload + end;
}

TEST(BlockDecoder, ReportsExactlyThePayloadAndEndsIdle) {
    const Decoded d = decode("#15hello\n");
    EXPECT_EQ(d.payload, "hello");
    EXPECT_EQ(d.state.state, 0);
    EXPECT_EQ(d.state.error, 0);
    EXPECT_EQ(d.state.length, 5);

    const Decoded ten = decode("#210" + std::string("0123456789") + "\r");
    EXPECT_EQ(ten.payload, "0123456789");
    EXPECT_EQ(ten.state.state, 0);
}

TEST(BlockDecoder, EmptyBlocksAndZeroLengthsNeedOnlyTheTerminator) {
    EXPECT_EQ(decode("#0\r").payload, "");
    EXPECT_EQ(decode("#0\r").state.state, 0);
    // All-zero length digits, and a first length character that is no digit,
    // both read as length 0.
    const Decoded zeros = decode("#3000\n");
    EXPECT_EQ(zeros.payload, "");
    EXPECT_EQ(zeros.state.state, 0);
    EXPECT_EQ(decode("#2x5").state.state, 3);
}

TEST(BlockDecoder, TextBetweenBlocksIsSkipped) {
    const Decoded d = decode("OK\r\n" + block("ab", "\r\n") + "junk" + block("cd"));
    EXPECT_EQ(d.payload, "abcd");
    EXPECT_EQ(d.state.state, 0);
    EXPECT_EQ(d.state.error, 0);
}

TEST(BlockDecoder, MissingTerminatorFailsOneByteLaterAndSticks) {
    SCPIdecoderState s{};
    SCPIdecoderReset(&s);
    for (char c : std::string("#15hello")) SCPIdecoder(&s, c);
    EXPECT_EQ(s.state, 3);
    EXPECT_EQ(SCPIdecoder(&s, 'x'), 0);
    EXPECT_EQ(s.state, 5);
    EXPECT_EQ(s.error, 0);
    SCPIdecoder(&s, 'y');
    EXPECT_EQ(s.state, 6);
    EXPECT_EQ(s.error, 1);
    for (char c : block("again")) EXPECT_EQ(SCPIdecoder(&s, c), 0);
    SCPIdecoderReset(&s);
    EXPECT_EQ(decode(block("again")).payload, "again");
}

TEST(BlockDecoder, MalformedHeadersFail) {
    SCPIdecoderState s{};
    SCPIdecoderReset(&s);
    SCPIdecoder(&s, '#');
    SCPIdecoder(&s, 'A');
    EXPECT_EQ(s.state, 4);
    SCPIdecoder(&s, '1');
    EXPECT_EQ(s.state, 6);
    EXPECT_EQ(s.error, 1);

    // A digit count of 9 never completes: the ninth length digit is one too
    // many header characters.
    SCPIdecoderReset(&s);
    const std::string nine = "#9123456789";
    for (size_t i = 0; i < nine.size(); ++i) {
        SCPIdecoder(&s, nine[i]);
        if (i < nine.size() - 1) {
            EXPECT_NE(s.state, 4) << "at " << i;
        }
    }
    EXPECT_EQ(s.state, 4);

    // Digit count 8 is the largest accepted.
    SCPIdecoderReset(&s);
    for (char c : std::string("#800000003abc\n")) SCPIdecoder(&s, c);
    EXPECT_EQ(s.state, 0);
    EXPECT_EQ(s.error, 0);
}

TEST(BlockDecoder, HighBytesInThePayloadAreKept) {
    std::string payload;
    for (int b = 0; b < 256; ++b) payload += static_cast<char>(b);
    EXPECT_EQ(decode(block(payload)).payload, payload);
}

// Any stream of well-formed blocks, cut into chunks anywhere and separated by
// text, decodes to the concatenated payloads whatever the cut.
TEST(BlockDecoder, ChunkingNeverChangesTheDecodedPayload) {
    std::mt19937 random(12345);
    for (int round = 0; round < 200; ++round) {
        std::string stream, expected;
        const int blocks = 1 + static_cast<int>(random() % 6);
        for (int b = 0; b < blocks; ++b) {
            std::string payload(random() % 300, '\0');
            for (char &c : payload) c = static_cast<char>(random());
            expected += payload;
            const char *separators[] = {"\n", "\r", "\r\n", "\nOK\r\n", "\n  text without hash \n"};
            stream += block(payload, separators[random() % 5]);
        }
        SCPIdecoderState s{};
        SCPIdecoderReset(&s);
        std::string got;
        size_t at = 0;
        while (at < stream.size()) {
            const size_t chunk = std::min<size_t>(stream.size() - at, 1 + random() % 64);
            for (size_t i = 0; i < chunk; ++i) {
                if (SCPIdecoder(&s, stream[at + i])) got += stream[at + i];
            }
            at += chunk;
        }
        ASSERT_EQ(got, expected) << "round " << round;
        ASSERT_EQ(s.error, 0);
    }
}

// The I/O thread decodes whole reads at once. On any bytes, well-formed or
// not, cut anywhere, it must give what the byte-wise decoder gives, and
// leave the same state behind.
TEST(BlockDecoder, DecodingARunAtOnceMatchesByteByByte) {
    std::mt19937 random(777);
    const char *pieces[] = {"#", "#3", "#210", "#15hello\n", "\r\n", "x", "#0\n", "#19", "\n"};
    for (int round = 0; round < 500; ++round) {
        std::string stream;
        while (stream.size() < 400) {
            if (random() % 3 == 0) {
                stream += pieces[random() % 9];
            } else {
                std::string payload(random() % 40, '\0');
                for (char &c : payload) c = static_cast<char>(random());
                stream += block(payload, random() % 8 == 0 ? "?" : "\n");
            }
        }
        const Decoded expected = decode(stream);
        SCPIdecoderState state{};
        SCPIdecoderReset(&state);
        std::string buffer = stream, got;
        uint32_t blocks = 0;
        for (size_t at = 0; at < buffer.size();) {
            const auto chunk = static_cast<uint32_t>(std::min<size_t>(buffer.size() - at, 1 + random() % 97));
            auto *bytes = reinterpret_cast<uint8_t *>(buffer.data() + at);
            // In place; a run that stops at a failure is taken up again after it.
            const kelvo::DecodedRun run = kelvo::decodeBlockBytes(state, bytes, chunk, bytes);
            if (!run.failed) {
                ASSERT_EQ(run.consumed, chunk);
            }
            got.append(reinterpret_cast<char *>(bytes), run.payload);
            blocks += run.blocks;
            at += run.consumed;
        }
        ASSERT_EQ(got, expected.payload) << "round " << round;
        ASSERT_EQ(blocks, expected.blocks) << "round " << round;
        ASSERT_EQ(state.state, expected.state.state);
        ASSERT_EQ(state.count, expected.state.count);
        ASSERT_EQ(state.error, expected.state.error);
    }
}

}  // namespace
