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
        kelvo::BlockDecoder state{};
        kelvo::resetBlockDecoder(state);
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

namespace {

struct Found {
    bool found = false;
    uint32_t at = 0;       // bytes looked at up to the accepted header's end
    uint32_t skipped = 0;  // bytes thrown away
    int32_t length = -1;   // the decoder's block length when found
};

// Searches `bytes` fed in chunks of `chunk` bytes.
Found search(const std::string &bytes, int32_t expectedLength, size_t chunk) {
    kelvo::BlockSearch s;
    kelvo::BlockDecoder decoder{};
    kelvo::resetBlockDecoder(decoder);
    Found f;
    for (size_t at = 0; at < bytes.size() && !f.found;) {
        const auto n = static_cast<uint32_t>(std::min(chunk, bytes.size() - at));
        const kelvo::SearchRun run =
            kelvo::searchBlockHeader(s, decoder, reinterpret_cast<const uint8_t *>(bytes.data() + at), n,
                                     expectedLength);
        f.skipped += run.skipped;
        at += run.consumed;
        f.at = static_cast<uint32_t>(at);
        if (run.found) {
            f.found = true;
            f.length = decoder.length;
        }
    }
    return f;
}

// The search takes up a stream only at a well-formed header after a line
// end, of the length announced before; it counts every byte it passes, and
// where the bytes are cut makes no difference.
TEST(BlockSearch, AcceptsOnlyAWellFormedHeaderAfterALineEnd) {
    struct Case {
        std::string bytes;
        int32_t expected;
        bool found;
        uint32_t skipped;
        int32_t length;
    };
    const Case cases[] = {
        {"ab\n#15", -1, true, 3, 5},
        {"ab\r#15", -1, true, 3, 5},
        {"#15\n#15", -1, true, 4, 5},     // the first '#' follows no line end
        {"x\n#0\n#15", -1, true, 5, 5},   // "#0" is no definite-length header
        {"x\n#3a\n#15", -1, true, 6, 5},  // a length digit that is none
        {"x\n#14\n#15", 5, true, 6, 5},   // announces another length than the blocks before
        {"x\n#14\n#211\r\n#15", 5, true, 12, 5},
        {"x\n#13\r\n#14", 4, true, 7, 4},
        {"x\n\r\n#210", 10, true, 4, 10},
        {"x\n##15\n", -1, false, 7, -1},
        {"no line end #15", -1, false, 15, -1},
    };
    for (const Case &c : cases) {
        for (size_t chunk = 1; chunk <= c.bytes.size(); ++chunk) {
            const Found f = search(c.bytes, c.expected, chunk);
            ASSERT_EQ(f.found, c.found) << c.bytes << " in chunks of " << chunk;
            EXPECT_EQ(f.skipped, c.skipped) << c.bytes << " in chunks of " << chunk;
            EXPECT_EQ(f.length, c.length) << c.bytes;
            EXPECT_EQ(f.at, c.bytes.size()) << c.bytes << ": a header found ends the bytes";
        }
    }
}

// After a header the search accepted, the decoder reads that block.
TEST(BlockSearch, LeavesTheDecoderAtTheAcceptedBlocksPayload) {
    const std::string bytes = "junk\n#15hello\n#12ok\n";
    kelvo::BlockSearch s;
    kelvo::BlockDecoder decoder{};
    kelvo::resetBlockDecoder(decoder);
    std::string buffer = bytes;
    auto *in = reinterpret_cast<uint8_t *>(buffer.data());
    const kelvo::SearchRun run = kelvo::searchBlockHeader(s, decoder, in, static_cast<uint32_t>(buffer.size()), -1);
    ASSERT_TRUE(run.found);
    const kelvo::DecodedRun rest =
        kelvo::decodeBlockBytes(decoder, in + run.consumed, static_cast<uint32_t>(buffer.size() - run.consumed), in);
    EXPECT_EQ(std::string(reinterpret_cast<char *>(in), rest.payload), "hellook");
    EXPECT_EQ(rest.blocks, 2u);
    EXPECT_EQ(rest.lastLength, 2);
    EXPECT_FALSE(rest.failed);
}

// A run stops right after the byte that broke the block, and a header that
// broke leaves its bytes to be counted as thrown away.
TEST(BlockSearch, ADecoderRunStopsWhereTheBlockBroke) {
    struct Case {
        std::string bytes;
        uint32_t consumed, payload, broken;
        bool failed;
    };
    const Case cases[] = {{"#13abcX#13", 7, 3, 0, true},
                          {"#12ab\n#x1", 8, 2, 1, true},
                          {"#1", 2, 0, 0, false},
                          {"ab#x", 4, 0, 1, true}};
    for (const Case &c : cases) {
        kelvo::BlockDecoder decoder{};
        kelvo::resetBlockDecoder(decoder);
        std::string buffer = c.bytes;
        auto *in = reinterpret_cast<uint8_t *>(buffer.data());
        const kelvo::DecodedRun run = kelvo::decodeBlockBytes(decoder, in, static_cast<uint32_t>(buffer.size()), in);
        EXPECT_EQ(run.consumed, c.consumed) << c.bytes;
        EXPECT_EQ(run.payload, c.payload) << c.bytes;
        EXPECT_EQ(run.failed, c.failed) << c.bytes;
        kelvo::BlockSearch s;
        EXPECT_EQ(kelvo::beginBlockSearch(s, decoder), c.broken) << c.bytes;
    }
}

}  // namespace
