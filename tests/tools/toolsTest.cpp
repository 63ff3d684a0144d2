// SPDX-License-Identifier: MIT
// The kelvo and kelvo-sim programs, driven from the command line as a user
// drives them.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "fakeSystemTools.h"
#include "programRunner.h"

using namespace kelvo::test;

namespace {

const std::string kKelvo = KELVO_CLI;
const std::string kSim = KELVO_SIM;
::testing::Environment *const kRuntimeFolder = ::testing::AddGlobalTestEnvironment(new PrivateRuntimeFolder);

Outcome runKelvo(std::vector<std::string> args, const std::vector<std::string> &unset = {},
                 const std::vector<std::string> &set = {}) {
    args.insert(args.begin(), kKelvo);
    return runProgram(args, unset, set);
}

std::string tempPath(const std::string &name) {
    return (std::filesystem::temp_directory_path() / (std::to_string(getpid()) + "-" + name)).string();
}

std::string readFile(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

std::vector<std::string> splitLines(const std::string &text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

std::vector<std::string> splitFields(const std::string &line, char separator) {
    std::vector<std::string> fields;
    std::istringstream in(line);
    for (std::string field; std::getline(in, field, separator);) fields.push_back(field);
    return fields;
}

// The simulator's documented waveforms, computed here on their own.
struct Wave {
    double value;
    bool nearEdge;  // a jump of the ramp or the square lies within rounding
};
Wave documentedWave(int channel, double t) {
    const double cycles = (1.0 + 0.5 * channel) * t;
    const double p = cycles - std::floor(cycles);
    const bool nearWrap = p < 1e-6 || p > 1 - 1e-6;
    switch (channel % 3) {
        case 0: return {std::sin(2 * M_PI * p), false};
        case 1: return {2 * p - 1, nearWrap};
        default: return {p < 0.5 ? 1.0 : -1.0, nearWrap || std::fabs(p - 0.5) < 1e-6};
    }
}

// A stamp that was not taken in this start is printed as a lone "-".
bool showsMissingStamp(const std::string &out) {
    return out.find(" -\n") != std::string::npos || out.find(" -  ") != std::string::npos;
}

}  // namespace

TEST(SimulatorProgram, PrintsOneTtyPathPerDeviceEachAnsweringWithItsOwnSerial) {
    SimProcess sim(kSim, {}, 3);
    ASSERT_EQ(sim.paths.size(), 3u);
    for (size_t i = 0; i < sim.paths.size(); ++i) {
        const Outcome idn = runKelvo({"query", sim.paths[i], "*IDN?"});
        EXPECT_EQ(idn.status, 0) << idn.err;
        EXPECT_NE(idn.out.find("SIM000" + std::to_string(i + 1)), std::string::npos) << idn.out;
    }
}

TEST(QueryCommand, PrintsTextAnswersAndTheDeviceErrorQueueLikeAnInstrument) {
    SimProcess sim(kSim, {});
    const Outcome o = runKelvo({"query", sim.paths[0], "--quiet-rule", "CONFigure:DEVice 0,2,1", "conf:dev?",
                                "NOT:A:COMMand", "SYSTem:ERRor?", "SYST:ERR?"});
    EXPECT_EQ(o.status, 0) << o.err;
    EXPECT_EQ(o.out, "0,2,1\n-113,\"Undefined header\"\n0,\"No error\"\n");
}

TEST(QueryCommand, ASettingTheDeviceRejectsStopsWithItsErrorText) {
    SimProcess sim(kSim, {});
    const Outcome o = runKelvo(
        {"query", sim.paths[0], "--timeout", "500", "CONFigure:DEVice 0,2,1", "conf:dev?", "NOT:A:COMMand", "*IDN?"});
    EXPECT_EQ(o.status, 1);
    EXPECT_EQ(o.out, "0,2,1\n") << "the rejected setting ends the run";
    EXPECT_NE(o.err.find("'NOT:A:COMMand': -113,\"Undefined header\""), std::string::npos) << o.err;
}

TEST(QueryCommand, QueryWithoutAnswerIsReportedWithNonZeroExit) {
    SimProcess sim(kSim, {});
    const Outcome o = runKelvo({"query", sim.paths[0], "NO:SUCH:THINg?"});
    EXPECT_EQ(o.status, 1);
    EXPECT_NE(o.err.find("no answer to 'NO:SUCH:THINg?'"), std::string::npos) << o.err;
}

TEST(UploadCommand, UploadedBytesComeBackIdenticalAsHexDumpAndAsFile) {
    SimProcess sim(kSim, {});
    // Line feeds, carriage returns, '#' and zero bytes must pass unchanged.
    std::string payload = "#15hello\n\r\n";
    payload.push_back('\0');
    for (int i = 0; i < 300; ++i) payload.push_back(static_cast<char>(i * 7));
    const std::string upload = tempPath("upload.bin");
    std::ofstream(upload, std::ios::binary) << payload;

    const Outcome sent = runKelvo({"upload", sim.paths[0], upload});
    EXPECT_EQ(sent.status, 0) << sent.err;
    EXPECT_NE(sent.out.find("device answered: ACK " + std::to_string(payload.size()) + " bytes"), std::string::npos)
        << sent.out;

    const std::string back = tempPath("back.bin");
    const Outcome asFile = runKelvo({"query", sim.paths[0], "DATA:UPLoad?", "--out", back});
    EXPECT_EQ(asFile.status, 0) << asFile.err;
    EXPECT_EQ(readFile(back), payload);

    const Outcome dump = runKelvo({"query", sim.paths[0], "DATA:UPLoad?"});
    EXPECT_EQ(dump.status, 0);
    EXPECT_EQ(splitLines(dump.out).front(),
              "00000000  23 31 35 68 65 6c 6c 6f  0a 0d 0a 00 00 07 0e 15  |#15hello........|");
    EXPECT_EQ(splitLines(dump.out).size(), (payload.size() + 15) / 16);

    std::ofstream(upload, std::ios::binary) << std::string(4097, 'x');
    const Outcome tooLong = runKelvo({"upload", sim.paths[0], upload});
    EXPECT_EQ(tooLong.status, 1);
    EXPECT_NE(tooLong.err.find("len > 4096 not allowed"), std::string::npos) << tooLong.err;
    std::filesystem::remove(upload);
    std::filesystem::remove(back);
}

// Each case streams one layout to CSV and checks every value against the
// waveform documented for its channel and moment.
TEST(StreamCommand, CsvRowsFollowTheDocumentedWaveformOfEveryChannel) {
    struct Case {
        std::vector<std::string> config;
        std::string header;
        bool wide;
        std::vector<int> channel;  // per value column (after the counter when wide)
        std::vector<int> sub;      // oversampling position
        int oversampling;
    };
    const Case cases[] = {
        {{"CONFigure:DEVice 3"}, "counter,ch1,ch2,ch3", true, {0, 1, 2}, {0, 0, 0}, 1},
        {{"CONFigure:SCAn:LISt (@2,6)"}, "counter,ch1,ch2", true, {1, 5}, {0, 0}, 1},
        {{"CONFigure:SCAn:OVErsampling 2", "CONFigure:DEVice 0,2,1"},
         "adc16_1_1,adc16_1_2,adc16_2_1,adc16_2_2,imu1_1,imu1_2,imu1_3,imu1_4,imu1_5,imu1_6",
         false,
         {0, 0, 1, 1, 2, 3, 4, 5, 6, 7},
         {0, 1, 0, 1, 0, 0, 0, 0, 0, 0},
         2},
    };
    constexpr double kRate = 1000;
    SimProcess sim(kSim, {"--rate", "1000", "--block", "50"});
    for (const Case &c : cases) {
        const std::string csv = tempPath("stream.csv");
        std::vector<std::string> args = {"stream", sim.paths[0], "--seconds", "2", "--out", csv, "--config"};
        args.insert(args.end(), c.config.begin(), c.config.end());
        // Two seconds give 2000 rows; a starved simulator can be slow to send
        // its first block, so a run with too few rows to judge is repeated.
        std::vector<std::string> rows;
        std::string err;
        for (int attempt = 0; attempt < 3 && rows.size() < 301; ++attempt) {
            const Outcome o = runKelvo(args);
            ASSERT_EQ(o.status, 0) << o.err;
            rows = splitLines(readFile(csv));
            err = o.err;
            std::filesystem::remove(csv);
        }
        ASSERT_FALSE(rows.empty());
        EXPECT_EQ(rows[0], c.header);
        EXPECT_GE(rows.size(), 301u) << "three runs gave at most " << rows.size() - 1 << " rows: " << err;
        int mismatches = 0;
        for (size_t r = 1; r < rows.size() && mismatches < 5; ++r) {
            const std::vector<std::string> fields = splitFields(rows[r], ',');
            ASSERT_EQ(fields.size(), c.channel.size() + (c.wide ? 1 : 0)) << rows[r];
            const uint64_t n = r - 1;  // the stream starts at sample 0 and loses none
            if (c.wide) {
                EXPECT_EQ(std::stoull(fields[0]), n);
            }
            for (size_t v = 0; v < c.channel.size(); ++v) {
                const double t = (static_cast<double>(n) + static_cast<double>(c.sub[v]) / c.oversampling) / kRate;
                const Wave wave = documentedWave(c.channel[v], t);
                if (wave.nearEdge) continue;
                const long long got = std::stoll(fields[v + (c.wide ? 1 : 0)]);
                long long expected = std::llround((c.wide ? 6000000 : 24000) * wave.value);
                if (c.wide) {
                    EXPECT_EQ(got % 256, 0) << "24-bit values sit in the top bits";
                    expected *= 256;
                }
                if (std::llabs(got - expected) > (c.wide ? 256 : 1)) {
                    ++mismatches;
                    ADD_FAILURE() << c.header << " row " << r << " column " << v << ": " << got << " != " << expected;
                }
            }
        }
    }
}

TEST(StreamCommand, BinaryOutputHoldsWholeSamplesInOrder) {
    SimProcess sim(kSim, {"--rate", "2000"});
    const std::string bin = tempPath("stream.bin");
    const Outcome o =
        runKelvo({"stream", sim.paths[0], "--config", "CONFigure:DEVice 1", "--seconds", "1", "--out", bin});
    ASSERT_EQ(o.status, 0) << o.err;
    const std::string bytes = readFile(bin);
    std::filesystem::remove(bin);
    ASSERT_EQ(bytes.size() % 8, 0u);
    ASSERT_GE(bytes.size(), 8u * 500);
    for (size_t i = 0; i < bytes.size() / 8; ++i) {
        uint32_t counter;
        std::memcpy(&counter, bytes.data() + 8 * i, 4);
        ASSERT_EQ(counter, i);
    }
}

TEST(StreamCommand, DeviceFaultsEndTheStreamWithTheLibraryTextAndNonZeroExit) {
    const std::string timeout = "GetStreamingData(): Timeouted (nothing streamed for 2 s)";
    struct Case {
        const char *fault;
        std::vector<std::string> texts;  // any one of them
    };
    // The library notices a dead line (the simulator hangs it up) at once.
    const Case cases[] = {{"silent:3", {timeout}},
                          {"malformed:3", {timeout}},
                          {"drop:3", {"kelvoGetStreamingData(dev=0):fatal I/O error on Port"}}};
    for (const Case &c : cases) {
        SimProcess sim(kSim, {"--fault", c.fault});
        const Outcome o = runKelvo({"stream", sim.paths[0], "--config", "CONFigure:DEVice 2", "--seconds", "30"});
        EXPECT_EQ(o.status, 1) << c.fault;
        bool found = false;
        for (const std::string &text : c.texts) found = found || o.err.find(text) != std::string::npos;
        EXPECT_TRUE(found) << c.fault << ": " << o.err;
    }
}

TEST(SyncCommand, PrintsAllFourStampsOfEveryDeviceTheSpreadAndTheThroughput) {
    SimProcess sim(kSim, {"--rate", "2000"}, 2);
    const Outcome o =
        runKelvo({"sync", sim.paths[0], sim.paths[1], "--config", "CONFigure:DEVice 2", "--seconds", "1"});
    ASSERT_EQ(o.status, 0) << o.err;
    const std::vector<std::string> lines = splitLines(o.out);
    int stampRows = 0;
    int throughputRows = 0;
    std::string released;
    for (const std::string &line : lines) {
        std::istringstream fields(line);
        std::string slot, path, first;
        fields >> slot >> path >> first;
        if (path != sim.paths[0] && path != sim.paths[1]) continue;
        if (line.find("samples") != std::string::npos) {
            ++throughputRows;
            // A loaded machine may starve the simulator: data flowed, at
            // whatever rate it could.
            EXPECT_GT(std::stol(first), 0) << line;
            continue;
        }
        ++stampRows;
        // Both devices share the one release stamp; the others were all taken.
        if (released.empty()) released = first;
        EXPECT_EQ(first, released);
        double sent, bytes, payload;
        ASSERT_TRUE(fields >> sent >> bytes >> payload) << line;
        EXPECT_GE(sent, 0);
        EXPECT_GE(bytes, sent);
        EXPECT_GE(payload, bytes);
    }
    EXPECT_EQ(stampRows, 2);
    EXPECT_EQ(throughputRows, 2);
    EXPECT_NE(o.out.find("spread between devices (us):  sent "), std::string::npos) << o.out;
    EXPECT_FALSE(showsMissingStamp(o.out)) << o.out;
}

TEST(ListCommand, ListsDiscoveredDevicesWhoseLinesAndSerialsThenNameThem) {
    SimProcess sim(kSim, {});
    FakeSystemTools tools;
    tools.listed('A', {sim.paths[0]});
    tools.listed('U', {"/dev/ttyUSB0"});
    UsbTty accepted;
    accepted.serial = "00C1234";
    tools.describe(sim.paths[0], udevadmWalk(accepted));
    UsbTty foreign;
    foreign.kernel = "ttyUSB0";
    foreign.vendor = "0403";
    foreign.product = "6001";
    foreign.serial = "A9X";
    tools.describe("/dev/ttyUSB0", udevadmWalk(foreign));

    const std::string line = "tallo\t" + sim.paths[0] + "\tC1234";
    // The simulator's device, listed by the library as the tallo it
    // pretends to be, also comes last as what it is.
    const std::string simulated = "simulated\t" + sim.paths[0] + "\tSIM0001\n";
    const Outcome list = runKelvo({"list"});
    EXPECT_EQ(list.status, 0);
    EXPECT_EQ(list.out, line + "\n" + simulated);
    const Outcome all = runKelvo({"list", "--all"});
    EXPECT_EQ(all.out, line + "\nforeign\t/dev/ttyUSB0\tA9X\n" + simulated);

    for (const std::string &name : {std::string("C1234"), line}) {
        const Outcome idn = runKelvo({"query", name, "*IDN?"});
        EXPECT_EQ(idn.status, 0) << name << ": " << idn.err;
        EXPECT_NE(idn.out.find("SIM0001"), std::string::npos) << name;
    }
}

TEST(CommandLine, BadDevicesAndBadUsageGiveAClearMessageAndNonZeroExit) {
    FakeSystemTools tools;  // nothing attached
    struct Case {
        std::vector<std::string> args;
        int status;
        std::string message;
    };
    const Case cases[] = {
        {{"query", "/dev/kelvo-no-such-tty", "*IDN?"},
         1,
         "cannot open /dev/kelvo-no-such-tty: No such file or directory"},
        {{"query", "/etc/hostname", "*IDN?"}, 1, "could not set it up as a serial line"},
        {{"query", "NOSERIAL", "*IDN?"}, 1, "no device 'NOSERIAL'"},
        {{"stream", "/dev/null"}, 2, "needs --config"},
        {{"stream", "/dev/null", "--config", "X", "--seconds", "soon"}, 2, "--seconds takes a number"},
        {{"frobnicate"}, 2, "unknown command 'frobnicate'"},
        {{"list", "--bogus"}, 2, "has no option --bogus"},
    };
    for (const Case &c : cases) {
        const Outcome o = runKelvo(c.args);
        EXPECT_EQ(o.status, c.status) << c.args[0] << " " << c.args[1];
        EXPECT_NE(o.err.find(c.message), std::string::npos) << o.err;
    }
}

TEST(CommandLine, EveryCommandExplainsItselfWithHelp) {
    for (const char *command : {"list", "query", "stream", "sync", "upload", "plot", "demo"}) {
        const Outcome o = runKelvo({command, "--help"});
        EXPECT_EQ(o.status, 0) << command;
        EXPECT_EQ(o.out.rfind(std::string("usage: kelvo ") + command, 0), 0u) << o.out;
    }
    const Outcome top = runKelvo({"--help"});
    EXPECT_EQ(top.status, 0);
    EXPECT_NE(top.out.find("demo"), std::string::npos);
    const Outcome sim = runProgram({kSim, "--help"});
    EXPECT_EQ(sim.status, 0);
    EXPECT_NE(sim.out.find("--fault"), std::string::npos);
}

TEST(DemoCommand, WithoutADisplayStreamsTimesAndSkipsThePlotInOneLine) {
    const Outcome o = runKelvo({"demo", "--seconds", "2"}, {"DISPLAY", "WAYLAND_DISPLAY"});
    ASSERT_EQ(o.status, 0) << o.err;
    EXPECT_NE(o.out.find("time stamps of the start:"), std::string::npos) << o.out;
    EXPECT_NE(o.out.find("spread between devices (us):  sent "), std::string::npos) << o.out;
    EXPECT_NE(o.out.find("throughput over"), std::string::npos) << o.out;
    EXPECT_NE(o.out.find("\nlive plot skipped: no display (DISPLAY is not set)\n"), std::string::npos) << o.out;
    EXPECT_FALSE(showsMissingStamp(o.out)) << o.out;
}

TEST(DemoCommand, WithADisplayShowsTheLivePlotAndClosesIt) {
    if (std::getenv("DISPLAY") == nullptr) GTEST_SKIP() << "no X server (scripts/test.sh provides one)";
    // SDL's video start-up leaves memory of the system's D-Bus library behind;
    // leaks of the tool itself are checked by the run without a display.
    const char *asan = std::getenv("ASAN_OPTIONS");
    const Outcome o = runKelvo({"demo", "--seconds", "1"}, {},
                               {"ASAN_OPTIONS=" + std::string(asan != nullptr ? asan : "") + " detect_leaks=0"});
    ASSERT_EQ(o.status, 0) << o.err;
    EXPECT_NE(o.out.find("live plot of slot 0 for 1.0 s"), std::string::npos) << o.out;
    EXPECT_NE(o.out.find("plot closed"), std::string::npos) << o.out;
}
