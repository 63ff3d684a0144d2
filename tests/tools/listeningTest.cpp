// SPDX-License-Identifier: MIT
// What kelvo listens on, driven as a user drives it: publish binds where
// told and nowhere else, and says where as bound; with CURVE keys only the
// authorized subscriber receives; kelvo subscribe survives a publisher that
// sends it thousands of hostile messages and still takes the good ones.
// Simulated devices on pseudo-terminals, real ZeroMQ over TCP and ipc.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <regex>
#include <set>
#include <sstream>
#include <thread>

#include "backgroundProgram.h"
#include "programRunner.h"

using namespace kelvo::test;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

namespace {

::testing::Environment *const kRuntimeFolder = ::testing::AddGlobalTestEnvironment(new PrivateRuntimeFolder);

const std::string kKelvo = KELVO_CLI;
const std::string kSim = KELVO_SIM;
const std::string kPython = KELVO_PYTHON;
const std::string kHostile = KELVO_SOURCE_DIR "/tests/tools/hostilePublisher.py";
const std::vector<std::string> kLayout = {"--config", "CONFigure:DEVice 3"};

std::string tempPath(const std::string &name) {
    return (fs::temp_directory_path() / ("kelvo-" + std::to_string(getpid()) + "-" + name)).string();
}

class Background : public BackgroundProgram {
public:
    Background(const std::vector<std::string> &argv, const std::string &name)
        : BackgroundProgram(argv, tempPath(name)) {}
    int wait() { return BackgroundProgram::wait(60s); }
    std::string output() const { return out() + err(); }
    // Waits until standard error matches `pattern`; the match and its
    // groups, none when it never did.
    std::vector<std::string> awaitLine(const std::string &pattern) const {
        const std::regex line(pattern);
        for (const auto end = std::chrono::steady_clock::now() + 60s; std::chrono::steady_clock::now() < end;) {
            const std::string text = err();
            std::smatch m;
            if (std::regex_search(text, m, line)) return {m.begin(), m.end()};
            std::this_thread::sleep_for(20ms);
        }
        return {};
    }
};

std::vector<std::string> linesOf(const std::string &text, const std::string &word) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        if (line.rfind(word, 0) == 0) lines.push_back(line);
    }
    return lines;
}

// The TCP sockets `pid` listens on, "127.0.0.1:PORT" (IPv6 ones as
// "[v6]:PORT"), from its descriptors and the kernel's tables.
std::set<std::string> listeningTcp(pid_t pid) {
    std::set<std::string> inodes;
    for (const auto &fd : fs::directory_iterator("/proc/" + std::to_string(pid) + "/fd")) {
        std::error_code error;
        const std::string target = fs::read_symlink(fd.path(), error).string();
        if (target.rfind("socket:[", 0) == 0) inodes.insert(target.substr(8, target.size() - 9));
    }
    std::set<std::string> listening;
    for (const char *table : {"/proc/net/tcp", "/proc/net/tcp6"}) {
        std::ifstream in(table);
        std::string line;
        std::getline(in, line);  // the column names
        while (std::getline(in, line)) {
            std::istringstream fields(line);
            std::string slot, local, remote, state, queues, timer, retransmits, uid, timeout, inode;
            fields >> slot >> local >> remote >> state >> queues >> timer >> retransmits >> uid >> timeout >> inode;
            if (state != "0A" || !inodes.contains(inode)) continue;  // 0A: LISTEN
            const size_t colon = local.find(':');
            const int port = std::stoi(local.substr(colon + 1), nullptr, 16);
            std::string address = "[v6]";
            if (colon == 8) {
                const unsigned long ip = std::stoul(local.substr(0, 8), nullptr, 16);  // this machine's byte order
                address = std::to_string(ip & 0xff) + "." + std::to_string((ip >> 8) & 0xff) + "." +
                          std::to_string((ip >> 16) & 0xff) + "." + std::to_string(ip >> 24);
            }
            listening.insert(address + ":" + std::to_string(port));
        }
    }
    return listening;
}

std::string serialOf(const std::string &path) {
    const Outcome o = runProgram({kKelvo, "query", path, "*IDN?"});
    std::istringstream fields(o.out);
    std::string field;
    for (int k = 0; k < 3; ++k) std::getline(fields, field, ',');
    return field;
}

// A directory of keys: the named files of `from`, and server.key of `server`.
std::string keysFrom(const std::string &name, const std::string &from, const std::vector<std::string> &files,
                     const std::string &server) {
    const std::string dir = tempPath(name);
    fs::remove_all(dir);
    fs::create_directory(dir);
    for (const std::string &file : files) fs::copy_file(from + "/" + file, dir + "/" + file);
    fs::copy_file(server + "/server.key", dir + "/server.key");
    return dir;
}

}  // namespace

// Port 0 lets the system choose: what is printed must be the port taken,
// and the process must listen there and nowhere else.
TEST(Listening, PublishBindsOnlyWhereToldAndSaysWhereAsBound) {
    SimProcess sim(kSim, {"--rate", "1000", "--block", "50"}, 1);
    std::vector<std::string> argv = {kKelvo, "publish", sim.paths[0]};
    argv.insert(argv.end(), kLayout.begin(), kLayout.end());
    argv.insert(argv.end(), {"--bind", "tcp://127.0.0.1:0", "--markers", "tcp://127.0.0.1:0", "--seconds", "600"});
    Background publisher(argv, "publisher");
    const std::vector<std::string> data =
        publisher.awaitLine(R"(publishing on tcp://(127\.0\.0\.1:(\d+)): kelvo/\S+\n)");
    const std::vector<std::string> time = publisher.awaitLine(R"(time service on tcp://(127\.0\.0\.1:(\d+))\n)");
    const std::vector<std::string> markers = publisher.awaitLine(R"(taking markers on tcp://(127\.0\.0\.1:(\d+))\n)");
    ASSERT_FALSE(data.empty() || time.empty() || markers.empty()) << publisher.output();
    EXPECT_NE(data[2], "0");
    EXPECT_NE(time[2], "0");
    EXPECT_NE(markers[2], "0");
    EXPECT_EQ(listeningTcp(publisher.pid()), (std::set<std::string>{data[1], time[1], markers[1]}));

    const Outcome got = runProgram({kKelvo, "subscribe", "tcp://" + data[1], "--seconds", "2"});
    EXPECT_EQ(got.status, 0) << got.out << got.err;
    EXPECT_NE(got.out.find("kelvo/" + serialOf(sim.paths[0])), std::string::npos) << got.out;
    const Outcome marked = runProgram({kKelvo, "mark", "--to", "tcp://" + markers[1], "here"});
    EXPECT_EQ(marked.status, 0) << marked.out << marked.err;
    publisher.signal(SIGINT);
    EXPECT_EQ(publisher.wait(), 0) << publisher.output();
    EXPECT_NE(publisher.out().find("markers           1 recorded"), std::string::npos) << publisher.output();
}

// One publisher with keys; a subscriber with them, one whose client key is
// not authorized, one that expects another server and one without keys. Only
// the first receives, and the publisher counts the others' handshakes.
TEST(Listening, WithCurveKeysOnlyTheAuthorizedSubscriberReceives) {
    SimProcess sim(kSim, {"--rate", "1000", "--block", "50"}, 1);
    const std::string serial = serialOf(sim.paths[0]);
    const std::string mine = tempPath("mine"), theirs = tempPath("theirs");
    fs::remove_all(mine);
    fs::remove_all(theirs);
    ASSERT_EQ(runProgram({kKelvo, "keys", mine}).status, 0);
    ASSERT_EQ(runProgram({kKelvo, "keys", theirs}).status, 0);
    const std::string stranger = keysFrom("stranger", theirs, {"client.key", "client.key_secret"}, mine);
    const std::string misled = keysFrom("misled", mine, {"client.key", "client.key_secret"}, theirs);

    std::vector<std::string> argv = {kKelvo, "publish", sim.paths[0]};
    argv.insert(argv.end(), kLayout.begin(), kLayout.end());
    argv.insert(argv.end(), {"--bind", "tcp://127.0.0.1:0", "--seconds", "600", "--curve-keys", mine});
    Background publisher(argv, "publisher");
    const std::vector<std::string> bound = publisher.awaitLine(R"(publishing on (tcp://127\.0\.0\.1:\d+): )");
    ASSERT_FALSE(bound.empty()) << publisher.output();
    const std::string endpoint = bound[1];
    const auto subscriber = [&](const std::string &keys, const std::string &name) {
        std::vector<std::string> a = {kKelvo, "subscribe", endpoint, "--seconds", "3"};
        if (!keys.empty()) a.insert(a.end(), {"--curve-keys", keys});
        return std::make_unique<Background>(a, name);
    };
    auto good = subscriber(mine, "good");
    std::vector<std::unique_ptr<Background>> refused;
    refused.push_back(subscriber(stranger, "stranger"));
    refused.push_back(subscriber(misled, "misled"));
    refused.push_back(subscriber("", "plain"));
    ASSERT_EQ(good->wait(), 0) << good->output();
    EXPECT_NE(good->out().find("kelvo/" + serial), std::string::npos) << good->output();
    EXPECT_NE(good->out().find("lost 0 messages"), std::string::npos) << good->output();
    for (const auto &other : refused) {
        ASSERT_EQ(other->wait(), 0) << other->output();
        // Not even the meta document came, nor an answer of the time service.
        EXPECT_EQ(other->out().rfind("nothing received\npublisher " + endpoint + " (no meta document): no answer", 0),
                  0u)
            << other->output();
    }
    publisher.signal(SIGINT);
    ASSERT_EQ(publisher.wait(), 0) << publisher.output();
    std::smatch m;
    const std::string summary = publisher.out();
    ASSERT_TRUE(
        std::regex_search(summary, m,
                          std::regex("refused (\\d+) connections on " + endpoint + ": not an authorized CURVE client")))
        << publisher.output();
    EXPECT_GE(std::stoi(m[1]), 3) << "each of the three tried at least once";

    const Outcome notMine = runProgram({kKelvo, "subscribe", endpoint, "--curve-keys", tempPath("none")});
    EXPECT_NE(notMine.status, 0);
    EXPECT_NE(notMine.err.find("is no directory"), std::string::npos) << notMine.err;
    for (const std::string &dir : {mine, theirs, stranger, misled}) fs::remove_all(dir);
}

TEST(Listening, KeysMakesAPrivateDirectoryAndRefusesAnExistingOne) {
    const std::string dir = tempPath("made");
    fs::remove_all(dir);
    const Outcome made = runProgram({kKelvo, "keys", dir});
    ASSERT_EQ(made.status, 0) << made.err;
    EXPECT_EQ(fs::status(dir).permissions() & fs::perms::all, fs::perms::owner_all);
    for (const char *secret : {"/server.key_secret", "/client.key_secret"}) {
        EXPECT_EQ(fs::status(dir + secret).permissions() & fs::perms::all,
                  fs::perms::owner_read | fs::perms::owner_write);
    }
    const Outcome again = runProgram({kKelvo, "keys", dir});
    EXPECT_EQ(again.status, 1);
    EXPECT_NE(again.err.find("File exists"), std::string::npos) << again.err;
    fs::remove_all(dir);
}

// A publisher made by hand sends broken meta documents, five thousand
// random messages on the device's topics, a 20 MiB frame and sound data
// on 300 made-up topics, then the device's good messages. None of it
// crashes or stalls kelvo subscribe: every broken message is counted as
// not understood, it keeps at most 256 topics, and the good messages come
// through whole.
TEST(Listening, SubscribeCountsAHostilePublishersMessagesAndStillTakesTheGoodOnes) {
    const std::string endpoint = "ipc://" + tempPath("hostile.sock");
    const std::string file = tempPath("hostile.h5");
    Background publisher({kPython, kHostile, endpoint, "7"}, "hostile");
    Background subscriber({kKelvo, "subscribe", endpoint, "--seconds", "20", "--out", file}, "subscriber");
    ASSERT_EQ(publisher.wait(), 0) << publisher.output();
    ASSERT_EQ(subscriber.wait(), 0) << subscriber.output();

    const std::string sent = publisher.out();
    const auto number = [&](const std::string &word) {
        const std::vector<std::string> lines = linesOf(sent, word + " ");
        return lines.size() == 1 ? std::stoi(lines[0].substr(word.size() + 1)) : -1;
    };
    const int broken = number("broken"), madeUp = number("made-up"), topics = number("topics");
    ASSERT_GT(broken, 0) << sent;
    const int keptUp = 256 - topics;
    const std::string out = subscriber.out();
    EXPECT_NE(out.find("kelvo/HM0001                  2 messages          200 samples"), std::string::npos) << out;
    EXPECT_NE(out.find("\nmarkers: 1\n"), std::string::npos) << out;
    EXPECT_EQ(linesOf(out, "kelvo/X").size(), static_cast<size_t>(keptUp)) << out;
    EXPECT_NE(subscriber.err().find("kelvo: " + std::to_string(broken + madeUp - keptUp) + " messages not understood"),
              std::string::npos)
        << subscriber.err() << "\n"
        << sent;

    const Outcome counters =
        runProgram({kPython, "-c",
                    "import sys, h5py, numpy; c = h5py.File(sys.argv[1], 'r')['devices/HM0001/counter'][()]; "
                    "print('ok' if (c == numpy.arange(200)).all() else c)",
                    file});
    EXPECT_EQ(counters.out, "ok\n") << counters.out << counters.err;
    fs::remove(file);
}
