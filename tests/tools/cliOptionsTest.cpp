// SPDX-License-Identifier: MIT
// The conventions every kelvo command follows: --opt=value, the short
// forms, --json documents (parsed here by Python's json module), the help
// and the exit statuses.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <limits>
#include <string>
#include <vector>

#include "fakeSystemTools.h"
#include "json.h"
#include "programRunner.h"

using namespace kelvo::test;

namespace {

const std::string kKelvo = KELVO_CLI;
const std::string kSim = KELVO_SIM;
::testing::Environment *const kRuntimeFolder = ::testing::AddGlobalTestEnvironment(new PrivateRuntimeFolder);

Outcome runKelvo(std::vector<std::string> args) {
    args.insert(args.begin(), kKelvo);
    return runProgram(args);
}

std::string tempPath(const std::string &name) {
    return (std::filesystem::temp_directory_path() / (std::to_string(getpid()) + "-" + name)).string();
}

// Parses `document` as JSON (it must be exactly one document) and prints
// the Python `expression` of it, `d`, as JSON: a failed parse is an empty
// result.
std::string fromJson(const std::string &document, const std::string &expression) {
    const std::string path = tempPath("document.json");
    std::ofstream(path, std::ios::binary) << document;
    const Outcome o = runProgram({KELVO_PYTHON, "-c",
                                  "import json, sys\n"
                                  "d = json.load(open(sys.argv[1], encoding='utf-8'))\n"
                                  "print(json.dumps(" +
                                      expression + ", sort_keys=True))",
                                  path});
    std::filesystem::remove(path);
    EXPECT_EQ(o.status, 0) << o.err << "\n" << document;
    return o.status == 0 ? o.out.substr(0, o.out.find_last_not_of('\n') + 1) : "";
}

// The header and the rows of a stream's CSV, without its '#' lines.
std::vector<std::string> csvLines(const std::string &path) {
    std::vector<std::string> lines;
    std::ifstream in(path);
    for (std::string line; std::getline(in, line);) {
        if (line.rfind('#', 0) != 0) lines.push_back(line);
    }
    return lines;
}

TEST(Options, EqualsValuesAndShortFormsMeanWhatTheLongOptionsMean) {
    SimProcess sim(kSim, {});
    const std::string longCsv = tempPath("long.csv"), shortCsv = tempPath("short.csv");
    const Outcome longForm =
        runKelvo({"stream", sim.paths[0], "--config=CONFigure:DEVice 3", "--seconds=0.5", "--out=" + longCsv});
    ASSERT_EQ(longForm.status, 0) << longForm.err;
    const Outcome shortForm =
        runKelvo({"stream", sim.paths[0], "-c", "CONFigure:DEVice 3", "-s", "0.5", "-o", shortCsv});
    ASSERT_EQ(shortForm.status, 0) << shortForm.err;
    for (const std::string &path : {longCsv, shortCsv}) {
        const std::vector<std::string> lines = csvLines(path);
        ASSERT_GT(lines.size(), 100u) << path;
        EXPECT_EQ(lines[0], "time,counter,Adc24_1,Adc24_2,Adc24_3") << path;
        std::filesystem::remove(path);
    }
    // Glued short values, and --config given twice adds up.
    const Outcome query =
        runKelvo({"query", sim.paths[0], "-t500", "CONFigure:DEVice 3", "CONFigure:DEVice?", "--timeout=700"});
    EXPECT_EQ(query.status, 0) << query.err;
    EXPECT_EQ(query.out, "3\n");
    const std::string bin = tempPath("twice.bin");
    const Outcome twice = runKelvo(
        {"stream", sim.paths[0], "--config", "CONFigure:DEVice 1", "-s0.3", "--config=CONFigure:DEVice 3", "-o" + bin});
    EXPECT_EQ(twice.status, 0) << twice.err;
    EXPECT_NE(twice.err.find("samples of 16 bytes"), std::string::npos) << twice.err;
    std::filesystem::remove(bin);
}

TEST(Options, MisusedOptionsAreUsageErrorsWithStatusTwo) {
    struct Case {
        std::vector<std::string> args;
        std::string message;
    };
    const Case cases[] = {
        {{"list", "--all=yes"}, "--all takes no value"},
        {{"list", "-x"}, "'list' has no option -x"},
        {{"list", "--bogus=1"}, "'list' has no option --bogus"},
        {{"query", "/dev/null", "*IDN?", "--timeout="}, "--timeout takes a number"},
        {{"query", "/dev/null", "*IDN?", "-t"}, "--timeout needs a value"},
        {{"stream", "/dev/null", "-c", "X", "-s", "-o", "x.csv"}, "--seconds needs a value"},
        {{"stream", "/dev/null", "--config="}, "--config needs at least one command"},
        {{"stream", "/dev/null", "-c", "X", "--out="}, "--out needs a file name"},
        {{"upload", "/dev/null", "f", "-s", "1"}, "'upload' has no option --seconds"},
    };
    for (const Case &c : cases) {
        const Outcome o = runKelvo(c.args);
        EXPECT_EQ(o.status, 2) << c.args[1];
        EXPECT_NE(o.err.find(c.message), std::string::npos) << o.err;
    }
}

TEST(Options, HelpListsTheVersionOptionTheShortFormsAndTheExitStatuses) {
    const Outcome help = runKelvo({"--help"});
    ASSERT_EQ(help.status, 0);
    for (const char *text :
         {"-V, --version", "-c, --config", "-s, --seconds", "-n, --samples", "-o, --out", "-t, --timeout", "--json",
          "--option=value", "0  success", "1  failure", "2  usage", "3  data lost"}) {
        EXPECT_NE(help.out.find(text), std::string::npos) << text;
    }
    const Outcome version = runKelvo({"-V"});
    EXPECT_EQ(version.status, 0);
    EXPECT_EQ(version.out, runKelvo({"--version"}).out);
    EXPECT_EQ(version.out.rfind("kelvo ", 0), 0u) << version.out;
}

TEST(JsonOutput, QueryGivesOneDocumentWithEveryAnswerAndRefusal) {
    SimProcess sim(kSim, {});
    const Outcome o = runKelvo({"query", sim.paths[0], "*IDN?", "CONFigure:DEVice 3", "CONFigure:DEVice?", "--json"});
    ASSERT_EQ(o.status, 0) << o.err;
    EXPECT_EQ(fromJson(o.out, "d['device']"), "\"" + sim.paths[0] + "\"");
    EXPECT_EQ(fromJson(o.out, "[r['command'] for r in d['results']]"),
              R"(["*IDN?", "CONFigure:DEVice 3", "CONFigure:DEVice?"])");
    EXPECT_EQ(fromJson(o.out, "d['results'][0]['answer'].split(',')[2]"), "\"SIM0001\"");
    EXPECT_EQ(fromJson(o.out, "d['results'][1]"), R"({"accepted": true, "command": "CONFigure:DEVice 3"})");
    EXPECT_EQ(fromJson(o.out, "d['results'][2]['answer']"), "\"3\"");

    // A refused setting is in the document too, and the status is 1.
    const Outcome refused = runKelvo({"query", sim.paths[0], "FOO:BAR 1", "--json"});
    EXPECT_EQ(refused.status, 1);
    EXPECT_EQ(fromJson(refused.out, "d['results'][0]['accepted']"), "false");
    EXPECT_NE(fromJson(refused.out, "d['results'][0]['error']"), "\"\"");
}

// Whatever bytes a device answers, the document parses: quotes, control
// characters and bytes that are not UTF-8 are escaped, UTF-8 stays as it is.
TEST(JsonOutput, AnyAnswerBytesMakeAValidDocument) {
    static const char kOdd[] =
        "quote \" back \\ tab \t nul \0 del \x7f \xff\xfe half \xe2\x80 ok \xc3\xa4 "
        "surrogate \xed\xa0\x80 overlong \xc0\xaf";
    const std::string odd(kOdd, sizeof kOdd - 1);
    kelvo::cli::JsonWriter json;
    json.beginObject().member("text", odd).member("number", 1.5).key("list").beginArray();
    json.value(-3).null().value(true).value(std::numeric_limits<double>::infinity()).endArray().endObject();
    EXPECT_EQ(fromJson(json.text(), "d['text']"),
              R"("quote \" back \\ tab \t nul \u0000 del \u007f \u00ff\u00fe half \u00e2\u0080 ok \u00e4 )"
              R"(surrogate \u00ed\u00a0\u0080 overlong \u00c0\u00af")");
    EXPECT_EQ(fromJson(json.text(), "[d['number'], d['list']]"), "[1.5, [-3, null, true, null]]");
}

TEST(JsonOutput, SyncAndTheStreamSummaryGiveOneDocumentEach) {
    SimProcess sim(kSim, {}, 2);
    const Outcome sync =
        runKelvo({"sync", sim.paths[0], sim.paths[1], "-c", "CONFigure:DEVice 3", "-s", "1", "--json"});
    ASSERT_EQ(sync.status, 0) << sync.err;
    EXPECT_EQ(fromJson(sync.out, "[x['device'] for x in d['devices']]"),
              "[\"" + sim.paths[0] + "\", \"" + sim.paths[1] + "\"]");
    EXPECT_EQ(fromJson(sync.out,
                       "all(x['released_ticks'] > 0 and 0 <= x['sent_us'] <= x['first_bytes_us'] <= "
                       "x['first_payload_us'] for x in d['devices'])"),
              "true");
    EXPECT_EQ(fromJson(sync.out,
                       "all(500 < x['samples'] < 2000 and x['sample_bytes'] == 16 and x['dropped'] == 0 "
                       "and x['framing_errors'] == 0 for x in d['devices'])"),
              "true");
    EXPECT_EQ(fromJson(sync.out, "sorted(d['spread_us'])"), R"(["first_bytes", "first_payload", "sent"])");

    const std::string csv = tempPath("summary.csv");
    const Outcome stream =
        runKelvo({"stream", sim.paths[0], "-c", "CONFigure:DEVice 3", "-s", "1", "-o", csv, "--json"});
    ASSERT_EQ(stream.status, 0) << stream.err;
    const size_t rows = csvLines(csv).size() - 1;
    EXPECT_EQ(fromJson(stream.out, "[d['device'], d['out'], d['sample_bytes']]"),
              "[\"" + sim.paths[0] + "\", \"" + csv + "\", 16]");
    EXPECT_EQ(fromJson(stream.out, "d['samples']"), std::to_string(rows));
    EXPECT_EQ(fromJson(stream.out, "0.9 < d['seconds'] < 5"), "true");
    std::filesystem::remove(csv);
}

TEST(JsonOutput, ListGivesTheDevicesAsObjects) {
    SimProcess sim(kSim, {});
    FakeSystemTools tools;
    tools.listAcceptedAndForeign(sim.paths[0]);

    const Outcome all = runKelvo({"list", "--all", "--json"});
    ASSERT_EQ(all.status, 0) << all.err;
    EXPECT_EQ(
        fromJson(all.out, "d['devices']"),
        R"([{"kind": "tallo", "path": ")" + sim.paths[0] +
            R"(", "serial": "C1234"}, {"kind": "foreign", "path": "/dev/ttyUSB0", "serial": "A9X"}, {"kind": "simulated", "path": ")" +
            sim.paths[0] + R"(", "serial": "SIM0001"}])");
}

}  // namespace
