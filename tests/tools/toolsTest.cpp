// SPDX-License-Identifier: MIT
// The kelvo and kelvo-sim programs, driven from the command line as a user
// drives them.
#include <gtest/gtest.h>
#include <termios.h>

#include <algorithm>
#include <chrono>
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "backgroundProgram.h"
#include "fakeSystemTools.h"
#include "kelvo.h"
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

// A CSV of `kelvo stream`: its '#' lines, header row, rows and closing counts.
struct StreamCsv {
    std::vector<std::pair<std::string, std::string>> meta;  // "# key: value" lines before the header row
    std::vector<std::string> columns;
    std::vector<std::vector<std::string>> rows;
    std::string end;     // after "# end: "
    bool whole = false;  // ends with a line feed
    std::vector<std::string> values(const std::string &key) const {
        std::vector<std::string> found;
        for (const auto &[k, v] : meta) {
            if (k == key) found.push_back(v);
        }
        return found;
    }
    std::string value(const std::string &key) const {
        const std::vector<std::string> found = values(key);
        return found.size() == 1 ? found[0] : "(" + std::to_string(found.size()) + " '" + key + "' lines)";
    }
};

StreamCsv parseStreamCsv(const std::string &text) {
    StreamCsv csv;
    csv.whole = !text.empty() && text.back() == '\n';
    for (const std::string &line : splitLines(text)) {
        if (line.rfind("# end: ", 0) == 0) {
            csv.end = line.substr(7);
        } else if (line.rfind("# ", 0) == 0) {
            const size_t colon = line.find(": ");
            if (colon != std::string::npos) csv.meta.emplace_back(line.substr(2, colon - 2), line.substr(colon + 2));
        } else if (csv.columns.empty()) {
            csv.columns = splitFields(line, ',');
        } else {
            csv.rows.push_back(splitFields(line, ','));
        }
    }
    return csv;
}

std::string endOfCleanRun(size_t rows) {
    return std::to_string(rows) + " samples received, 0 dropped, 0 framing errors, 0 bytes skipped";
}

// The '# clock:' line: "NAME rate_hz=R jitter_us=J samples=N".
struct ClockLine {
    std::string name;
    double rateHz = 0;
    double jitterUs = -1;
    long long samples = -1;
};
ClockLine clockLine(const StreamCsv &csv) {
    ClockLine clock;
    char name[256] = {};
    if (std::sscanf(csv.value("clock").c_str(), "%255s rate_hz=%lf jitter_us=%lf samples=%lld", name, &clock.rateHz,
                    &clock.jitterUs, &clock.samples) == 4) {
        clock.name = name;
    }
    return clock;
}

// How far the time column strays from stepping by one period of the rate
// from its first row, the worst row's distance in seconds.
double worstTimeStray(const StreamCsv &csv, double rateHz) {
    double worst = 0;
    for (size_t r = 0; r < csv.rows.size(); ++r) {
        worst = std::max(worst, std::fabs(std::stod(csv.rows[r][0]) - static_cast<double>(r) / rateHz));
    }
    return worst;
}

// Nothing arrives on the device's line for half a second: it is not streaming.
// The simulator keeps its end of the line open, so blocks sent while no
// program had it open wait there too.
bool deviceIsSilent(const std::string &path) {
    const int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return false;
    termios settings{};
    tcgetattr(fd, &settings);
    cfmakeraw(&settings);
    tcsetattr(fd, TCSANOW, &settings);
    size_t received = 0;
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(500);
    while (std::chrono::steady_clock::now() < end) {
        pollfd readable{fd, POLLIN, 0};
        if (poll(&readable, 1, 50) <= 0) continue;
        char bytes[4096];
        const ssize_t n = read(fd, bytes, sizeof bytes);
        if (n > 0) received += static_cast<size_t>(n);
    }
    close(fd);
    return received == 0;
}

template <class Condition>
bool eventuallyTrue(Condition condition, std::chrono::seconds timeout = std::chrono::seconds(20)) {
    const auto end = std::chrono::steady_clock::now() + timeout;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
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

TEST(QueryCommand, ADeviceHeldByAnotherProgramIsRefusedWithTheReason) {
    SimProcess sim(kSim, {});
    ASSERT_EQ(kelvoOpen(0, sim.paths[0].c_str()), 0);
    const Outcome o = runKelvo({"query", sim.paths[0], "*IDN?"});
    EXPECT_EQ(kelvoClose(0), 0);
    EXPECT_EQ(o.status, 1);
    EXPECT_NE(o.err.find("cannot open " + sim.paths[0] + ": device busy: opened by another program"), std::string::npos)
        << o.err;
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

// Each case streams one layout to CSV, as the raw integers and as decoded
// values, and checks every value against the waveform documented for its
// channel and moment.
TEST(StreamCommand, CsvRowsFollowTheDocumentedWaveformOfEveryChannel) {
    struct Case {
        std::vector<std::string> config;
        bool wide;
        std::vector<int> channel;  // per value column (after the counter when wide)
        std::vector<int> sub;      // oversampling position
        int oversampling;
    };
    const Case cases[] = {
        {{"CONFigure:DEVice 3"}, true, {0, 1, 2}, {0, 0, 0}, 1},
        {{"CONFigure:SCAn:LISt (@2,6)"}, true, {1, 5}, {0, 0}, 1},
        {{"CONFigure:SCAn:OVErsampling 2", "CONFigure:DEVice 0,2,1"},
         false,
         {0, 0, 1, 1, 2, 3, 4, 5, 6, 7},
         {0, 1, 0, 1, 0, 0, 0, 0, 0, 0},
         2},
    };
    constexpr double kRate = 1000;
    SimProcess sim(kSim, {"--rate", "1000", "--block", "50"});
    for (const Case &c : cases) {
        for (const bool raw : {true, false}) {
            const std::string what = c.config.back() + (raw ? " raw" : " decoded");
            const std::string csv = tempPath("stream.csv");
            std::vector<std::string> args = {"stream", sim.paths[0], "--seconds", "1", "--out", csv, "--rate", "1000"};
            if (raw) args.emplace_back("--raw");
            args.emplace_back("--config");
            args.insert(args.end(), c.config.begin(), c.config.end());
            // A second gives 1000 rows; a starved simulator can be slow to send
            // its first block, so a run with too few rows to judge is repeated.
            StreamCsv table;
            std::string err;
            for (int attempt = 0; attempt < 3 && table.rows.size() < 300; ++attempt) {
                const Outcome o = runKelvo(args);
                ASSERT_EQ(o.status, 0) << o.err;
                table = parseStreamCsv(readFile(csv));
                err = o.err;
                std::filesystem::remove(csv);
            }
            EXPECT_EQ(table.value("values"), raw ? "raw integers as sent" : "decoded, full scale +-1") << what;
            const std::vector<std::string> channels = splitFields(table.value("channels"), ',');
            EXPECT_EQ(channels.size(), c.channel.size()) << what;
            std::vector<std::string> columns = {"time"};
            if (c.wide) columns.emplace_back("counter");
            columns.insert(columns.end(), channels.begin(), channels.end());
            EXPECT_EQ(table.columns, columns) << what;
            EXPECT_GE(table.rows.size(), 300u) << "three runs gave at most " << table.rows.size() << " rows: " << err;
            EXPECT_EQ(table.end, endOfCleanRun(table.rows.size())) << what;
            // The times are the sample clock's; the simulator's rate is exact.
            const ClockLine clock = clockLine(table);
            EXPECT_NEAR(clock.rateHz, kRate, kRate * 500e-6) << table.value("clock");
            EXPECT_LT(worstTimeStray(table, clock.rateHz), 1e-3) << what;
            // One step of the converter, as counts and as a decoded value.
            const double step = raw ? (c.wide ? 256 : 1) : (c.wide ? 256.0 / 2147483648.0 : 1.0 / 32768);
            const double peak =
                raw ? (c.wide ? 6000000.0 * 256 : 24000) : (c.wide ? 6000000.0 / 8388608 : 24000.0 / 32768);
            int mismatches = 0;
            for (size_t r = 0; r < table.rows.size() && mismatches < 5; ++r) {
                const std::vector<std::string> &fields = table.rows[r];
                ASSERT_EQ(fields.size(), columns.size()) << what << " row " << r;
                const uint64_t n = r;  // the stream starts at sample 0 and loses none
                if (c.wide) {
                    EXPECT_EQ(std::stoull(fields[1]), n);
                }
                const size_t first = c.wide ? 2 : 1;
                for (size_t v = 0; v < c.channel.size(); ++v) {
                    const double t = (static_cast<double>(n) + static_cast<double>(c.sub[v]) / c.oversampling) / kRate;
                    const Wave wave = documentedWave(c.channel[v], t);
                    if (wave.nearEdge) continue;
                    const double got = std::stod(fields[v + first]);
                    if (raw && c.wide) {
                        EXPECT_EQ(std::stoll(fields[v + first]) % 256, 0) << "24-bit values sit in the top bits";
                    }
                    const double expected = std::round(wave.value * peak / step) * step;
                    if (std::fabs(got - expected) > step * 1.01) {
                        ++mismatches;
                        ADD_FAILURE() << what << " row " << r << " column " << v << ": " << got << " != " << expected;
                    }
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

// The '#' lines say where the samples came from and how to read them;
// the closing line gives the counts.
TEST(StreamCommand, CsvDescribesItsStreamAndEndsWithItsCounts) {
    SimProcess sim(kSim, {"--rate", "1000", "--block", "50"});
    const std::string csv = tempPath("described.csv");
    const std::vector<std::string> config = {"CONFigure:SCAn:OVErsampling 1", "CONFigure:DEVice 3"};
    const time_t before = std::time(nullptr);
    const Outcome o = runKelvo(
        {"stream", sim.paths[0], "--seconds", "1.5", "--rate", "1000", "--out", csv, "--config", config[0], config[1]});
    const time_t after = std::time(nullptr);
    ASSERT_EQ(o.status, 0) << o.err;
    const StreamCsv table = parseStreamCsv(readFile(csv));
    std::filesystem::remove(csv);
    EXPECT_EQ(table.value("device"), sim.paths[0]);
    EXPECT_EQ(table.value("idn"), "kelvo,simulated DAQ-4,SIM0001,1.0");
    EXPECT_EQ(table.values("config"), config);
    EXPECT_EQ(table.value("sample size"), "16 bytes");
    EXPECT_EQ(table.value("rate"), "1000 samples/s, given with --rate");
    tm start{};
    int micros = 0;
    ASSERT_EQ(std::sscanf(table.value("start time").c_str(), "%d-%d-%dT%d:%d:%d.%6dZ", &start.tm_year, &start.tm_mon,
                          &start.tm_mday, &start.tm_hour, &start.tm_min, &start.tm_sec, &micros),
              7)
        << table.value("start time");
    start.tm_year -= 1900;
    start.tm_mon -= 1;
    EXPECT_GE(timegm(&start), before);
    EXPECT_LE(timegm(&start), after);
    const std::vector<std::string> channels = splitFields(table.value("channels"), ',');
    EXPECT_EQ(channels.size(), 3u);
    std::vector<std::string> columns = {"time", "counter"};
    columns.insert(columns.end(), channels.begin(), channels.end());
    EXPECT_EQ(table.columns, columns);
    ASSERT_GE(table.rows.size(), 100u);
    EXPECT_TRUE(table.whole);
    EXPECT_EQ(table.end, endOfCleanRun(table.rows.size()));
    for (size_t r = 0; r < table.rows.size(); ++r) {
        ASSERT_EQ(table.rows[r].size(), columns.size()) << r;
        ASSERT_EQ(table.rows[r][1], std::to_string(r));
    }
    EXPECT_EQ(table.rows[0][0], "0.0000000") << "seconds since the first sample, to the tick";
    // The clock's line names the device by its serial, before the counts.
    const ClockLine clock = clockLine(table);
    EXPECT_EQ(clock.name, "SIM0001") << table.value("clock");
    EXPECT_GE(clock.jitterUs, 0) << table.value("clock");
    EXPECT_GT(clock.samples, 0) << table.value("clock");
    EXPECT_LE(clock.samples, static_cast<long long>(table.rows.size())) << table.value("clock");

    // Without --rate the rate is measured; to standard output with '-'.
    const Outcome piped = runKelvo({"stream", sim.paths[0], "--seconds", "2", "--out", "-", "--config", config[1]});
    ASSERT_EQ(piped.status, 0) << piped.err;
    const StreamCsv measured = parseStreamCsv(piped.out);
    double rate = 0;
    ASSERT_EQ(std::sscanf(measured.value("rate").c_str(), "%lf samples/s, measured", &rate), 1)
        << measured.value("rate");
    EXPECT_NEAR(rate, 1000, 100) << "a loaded machine delays arrivals, but not by a tenth";
    ASSERT_GE(measured.rows.size(), 100u);
    EXPECT_EQ(measured.end, endOfCleanRun(measured.rows.size()));
    const double last = std::stod(measured.rows.back()[0]);
    EXPECT_NEAR(last, std::stod(measured.rows.back()[1]) / clockLine(measured).rateHz, 1e-3);
}

// The time column is the library's sample clock: it steps by the period the
// clock fitted to a device whose clock runs 0.2 % fast, not by the nominal
// rate's, and it keeps to the moments the simulator measured its samples,
// as its truth log has them.
TEST(StreamCommand, CsvTimesFollowTheSimulatorsDriftingClock) {
    constexpr double kRate = 2000;
    constexpr double kPpm = 2000;
    const std::string truth = tempPath("stream-truth.log");
    SimProcess sim(kSim, {"--rate", "2000", "--block", "40", "--clock-ppm", "2000", "--truth", truth});
    const std::string csv = tempPath("timed.csv");
    const Outcome o =
        runKelvo({"stream", sim.paths[0], "--seconds", "4", "--out", csv, "--config", "CONFigure:DEVice 2"});
    ASSERT_EQ(o.status, 0) << o.err;
    const StreamCsv table = parseStreamCsv(readFile(csv));
    std::filesystem::remove(csv);
    ASSERT_GE(table.rows.size(), 2000u) << o.err;
    ASSERT_EQ(table.end, endOfCleanRun(table.rows.size()));

    const ClockLine clock = clockLine(table);
    const double trueRate = kRate * (1 + kPpm * 1e-6);
    EXPECT_NEAR(clock.rateHz, trueRate, trueRate * 500e-6) << table.value("clock");
    // Within a batch the rows are one fitted period apart; between batches
    // they differ by what the fit moved meanwhile, less than a period even
    // while the first arrivals of a loaded machine move it most.
    double worstStep = 0;
    for (size_t r = 1; r < table.rows.size(); ++r) {
        const double step = std::stod(table.rows[r][0]) - std::stod(table.rows[r - 1][0]);
        worstStep = std::max(worstStep, std::fabs(step - 1 / clock.rateHz));
    }
    EXPECT_LT(worstStep, 1 / kRate) << "seconds off one period between neighbouring rows";

    // Row i against the truth: its time since the first sample is the
    // simulator's, but for one offset (the first row's own error).
    std::ifstream log(truth);
    std::vector<std::pair<uint64_t, int64_t>> points;
    for (std::string line; std::getline(log, line);) {
        uint64_t index = 0;
        long long ticks = 0;
        if (std::sscanf(line.c_str(), "%" SCNu64 " %lld", &index, &ticks) == 2) points.emplace_back(index, ticks);
    }
    std::filesystem::remove(truth);
    ASSERT_GE(points.size(), 50u);
    ASSERT_EQ(points.front().first, 0u);
    double low = 1e9;
    double high = -1e9;
    for (const auto &[index, ticks] : points) {
        if (index >= table.rows.size()) break;
        const double offset =
            std::stod(table.rows[index][0]) - static_cast<double>(ticks - points.front().second) / 1e7;
        low = std::min(low, offset);
        high = std::max(high, offset);
    }
    EXPECT_LT(high - low, 2e-3) << "the time column strays from the simulator's clock by " << (high - low) << " s";
}

// The library learns a layout from a command's text even when the device
// rejects the command; streaming then would cut samples at the wrong size.
TEST(StreamCommand, ADeviceThatRejectsAConfigurationCommandIsNotStreamedFrom) {
    SimProcess sim(kSim, {});
    struct Case {
        std::vector<std::string> config;
        std::string text;
    };
    const Case cases[] = {
        {{"CONFigure:DEVise 3"}, "the device rejected 'CONFigure:DEVise 3': -113,\"Undefined header\""},
        {{"CONFigure:DEVice 2", "CONFigure:DEVice 99"},
         "the device rejected 'CONFigure:DEVice 99': -222,\"Data out of range\""},
    };
    const std::string csv = tempPath("rejected.csv");
    for (const Case &c : cases) {
        std::vector<std::string> args = {"stream", sim.paths[0], "--seconds", "1", "--out", csv, "--config"};
        args.insert(args.end(), c.config.begin(), c.config.end());
        const Outcome o = runKelvo(args);
        EXPECT_EQ(o.status, 1) << c.text;
        EXPECT_NE(o.err.find(c.text), std::string::npos) << o.err;
        EXPECT_FALSE(std::filesystem::exists(csv)) << "nothing is written for a refused stream";
        EXPECT_TRUE(deviceIsSilent(sim.paths[0])) << c.text;
    }
    // An error an earlier program left in the queue is not this run's.
    EXPECT_EQ(runKelvo({"query", sim.paths[0], "--quiet-rule", "NOT:A:COMMand"}).status, 0);
    const Outcome o = runKelvo({"sync", sim.paths[0], "--seconds", "0.5", "--config", "CONFigure:DEVice 2"});
    EXPECT_EQ(o.status, 0) << o.err;
}

// SIGHUP (terminal or ssh closed) used to kill the tool mid-line with the
// device still streaming. Every stopping signal now ends the run in order.
// SIGKILL, which nothing can catch, shows that the check sees a device left
// streaming.
TEST(StreamCommand, EverySignalThatEndsARunStopsTheDeviceAndLeavesAWholeCsv) {
    for (const int number : {SIGHUP, SIGTERM, SIGINT, SIGKILL}) {
        SimProcess sim(kSim, {"--rate", "2000", "--block", "50"});
        const std::string csv = tempPath("signalled.csv");
        BackgroundProgram kelvo({kKelvo, "stream", sim.paths[0], "--config", "CONFigure:DEVice 3", "--rate", "2000",
                                 "--raw", "--out", csv},
                                tempPath("signalled"));
        // Rows reach the file in pieces of the C library's buffer.
        ASSERT_TRUE(eventuallyTrue([&] { return std::filesystem::exists(csv) && std::filesystem::file_size(csv) > 0; }))
            << strsignal(number);
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        kelvo.signal(number);
        const int status = kelvo.wait(std::chrono::seconds(30));
        const StreamCsv table = parseStreamCsv(readFile(csv));
        std::filesystem::remove(csv);
        if (number == SIGKILL) {
            EXPECT_EQ(status, -1);
            EXPECT_FALSE(deviceIsSilent(sim.paths[0])) << "the check does not see a streaming device";
            continue;
        }
        EXPECT_EQ(status, 0) << strsignal(number) << ": " << kelvo.err();
        EXPECT_TRUE(table.whole) << strsignal(number);
        EXPECT_EQ(table.end, endOfCleanRun(table.rows.size())) << strsignal(number);
        for (size_t r = 0; r < table.rows.size(); ++r) {
            ASSERT_EQ(table.rows[r].size(), table.columns.size()) << strsignal(number) << " row " << r;
            ASSERT_EQ(table.rows[r][1], std::to_string(r)) << strsignal(number);
        }
        EXPECT_TRUE(deviceIsSilent(sim.paths[0])) << strsignal(number);
    }
}

// A reader that stops taking the output stalls the tool, the library's
// stream queue overflows and drops whole samples: the counts, the file and
// the exit status all say so, exactly.
TEST(StreamCommand, SamplesLostToAFullQueueAreCountedExactlyAndMakeTheExitStatus3) {
    SimProcess sim(kSim, {"--rate", "50000", "--block", "500"});
    BackgroundProgram kelvo({kKelvo, "stream", sim.paths[0], "--config", "CONFigure:DEVice 3", "--seconds", "4",
                             "--rate", "50000", "--raw", "--out", "-"},
                            tempPath("stalled"), true);
    // The queue holds 256 KiB, a third of a second of this stream.
    std::this_thread::sleep_for(std::chrono::seconds(3));
    const StreamCsv table = parseStreamCsv(kelvo.readOut());
    EXPECT_EQ(kelvo.wait(std::chrono::seconds(30)), 3) << kelvo.err();
    ASSERT_GE(table.rows.size(), 1000u) << kelvo.err();
    uint64_t missing = 0;
    for (size_t r = 1; r < table.rows.size(); ++r) {
        missing += std::stoull(table.rows[r][1]) - std::stoull(table.rows[r - 1][1]) - 1;
    }
    EXPECT_GT(missing, 0u) << "the stall lost nothing; the test proves nothing";
    EXPECT_EQ(table.end, std::to_string(table.rows.size()) + " samples received, " + std::to_string(missing) +
                             " dropped, 0 framing errors, 0 bytes skipped");
    EXPECT_NE(kelvo.err().find("; dropped " + std::to_string(missing) + ", framing errors 0"), std::string::npos)
        << kelvo.err();
}

TEST(StreamCommand, DeviceFaultsEndTheStreamWithTheLibraryTextAndNonZeroExit) {
    const std::string timeout = ": nothing streamed for 2 s";
    struct Case {
        const char *fault;
        std::vector<std::string> texts;  // any one of them
    };
    // The library notices a dead line (the simulator hangs it up) at once.
    // A malformed block no longer ends a stream: the library finds the next.
    const Case cases[] = {{"silent:3", {timeout}}, {"drop:3", {"kelvoReadSamples(dev=0):fatal I/O error on Port"}}};
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
    tools.listAcceptedAndForeign(sim.paths[0]);

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

TEST(ListCommand, AUdevadmThatNeverEndsHoldsTheListNoLongerThanItsTimeLimit) {
    // `kelvo list` waited for the udevadm of a hung udev as long as it ran:
    // for ever.
    FakeSystemTools tools;
    tools.listed('A', {"/dev/ttyACM0", "/dev/ttyACM1"});
    tools.describe("/dev/ttyACM0", udevadmWalk(UsbTty{}));
    tools.describeThenHang("/dev/ttyACM1", "");
    const auto start = std::chrono::steady_clock::now();
    const Outcome list = runKelvo({"list"});
    const auto took = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(list.status, 0) << list.err;
    EXPECT_EQ(list.out, "tallo\t/dev/ttyACM0\tC1234\n");
    EXPECT_LT(took, std::chrono::seconds(6));
    const std::vector<pid_t> hung = tools.hungProcesses();
    ASSERT_EQ(hung.size(), 1u);
    EXPECT_TRUE(processGone(hung[0])) << "the hung udevadm outlived kelvo list";
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
    for (const char *command :
         {"list", "query", "stream", "sync", "upload", "plot", "demo", "record", "publish", "subscribe"}) {
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
