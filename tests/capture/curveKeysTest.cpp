// SPDX-License-Identifier: MIT
// CURVE keys as 'kelvo keys' makes them and --curve-keys reads them, and
// real ZeroMQ sockets over TCP secured with them: an authorized client
// receives, a client with another key or a wrong server key receives
// nothing and the server counts each refused handshake.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <zmq.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <regex>
#include <thread>

#include "curveKeys.h"
#include "listeners.h"
#include "zmqSocket.h"

using kelvo::recording::CurveKeys;
using kelvo::recording::Listeners;
using kelvo::recording::loadCurveKeys;
using kelvo::recording::makeCurveKeys;
using kelvo::recording::ZmqSocket;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

namespace {

std::string freshDir(const std::string &name) {
    const fs::path dir = fs::temp_directory_path() / ("kelvo-" + std::to_string(getpid()) + "-" + name);
    fs::remove_all(dir);
    return dir.string();
}

struct KeyDir {
    explicit KeyDir(const std::string &name) : dir(freshDir(name)) { makeCurveKeys(dir); }
    ~KeyDir() { fs::remove_all(dir); }
    std::string file(const std::string &name) const { return dir + "/" + name; }
    void write(const std::string &name, const std::string &text) const { std::ofstream(file(name)) << text; }
    std::string read(const std::string &name) const {
        std::ifstream in(file(name));
        return std::string(std::istreambuf_iterator<char>(in), {});
    }
    std::string dir;
};

int modeOf(const std::string &path) {
    struct stat st {};
    stat(path.c_str(), &st);
    return static_cast<int>(st.st_mode & 07777);
}

std::string refusalOf(const std::string &dir) {
    try {
        (void)loadCurveKeys(dir);
    } catch (const std::runtime_error &e) {
        return e.what();
    }
    return "loaded";
}

bool until(const std::function<bool()> &done, std::chrono::seconds most = 30s) {
    const auto end = std::chrono::steady_clock::now() + most;
    while (!done()) {
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::sleep_for(10ms);
    }
    return true;
}

}  // namespace

TEST(CurveKeys, ADirectoryMadeByKeysIsPrivateAndHoldsBothSidesMatchingKeys) {
    const KeyDir made("made");
    EXPECT_EQ(modeOf(made.dir), 0700);
    EXPECT_EQ(modeOf(made.file("server.key_secret")), 0600);
    EXPECT_EQ(modeOf(made.file("client.key_secret")), 0600);
    const CurveKeys keys = loadCurveKeys(made.dir);
    EXPECT_TRUE(keys.canBind());
    EXPECT_TRUE(keys.canConnect());
    EXPECT_EQ(keys.authorizedClients, std::vector<std::string>{keys.clientPublic});
    EXPECT_NE(keys.serverPublic, keys.clientPublic);
    EXPECT_THROW(makeCurveKeys(made.dir), std::runtime_error) << "an existing directory is never overwritten";
}

// Each fault is made in a directory of its own and must be refused naming
// the file and what is wrong with it.
TEST(CurveKeys, ABadDirectoryIsRefusedNamingTheFileAndTheFault) {
    struct Case {
        const char *what;
        std::function<void(const KeyDir &)> spoil;
        const char *expected;
    };
    const Case cases[] = {
        {"no server key", [](const KeyDir &d) { fs::remove(d.file("server.key")); }, "server.key is missing"},
        {"a secret others may read", [](const KeyDir &d) { chmod(d.file("server.key_secret").c_str(), 0644); },
         "server.key_secret is open to others (mode 0644)"},
        {"a secret the group may read", [](const KeyDir &d) { chmod(d.file("client.key_secret").c_str(), 0640); },
         "client.key_secret is open to others (mode 0640)"},
        {"no key at all", [](const KeyDir &d) { d.write("server.key", "not a key\n"); },
         "server.key line 1 is not a key"},
        {"a key cut short", [](const KeyDir &d) { d.write("client.key", d.read("client.key").substr(0, 39) + "\n"); },
         "client.key line 1 is not a key"},
        {"two keys in a key file",
         [](const KeyDir &d) { d.write("server.key", d.read("server.key") + d.read("client.key")); },
         "server.key holds 2 keys"},
        {"a public key of another pair", [](const KeyDir &d) { d.write("server.key", d.read("client.key")); },
         "server.key is not the public key of server.key_secret"},
        {"a malformed authorized key",
         [](const KeyDir &d) { d.write("authorized_clients", "# mine\n" + d.read("client.key") + "\nxyz\n"); },
         "authorized_clients line 4 is not a key"},
        {"nobody authorized", [](const KeyDir &d) { d.write("authorized_clients", "# nobody yet\n"); },
         "authorized_clients names no client key"},
        {"no authorized clients", [](const KeyDir &d) { fs::remove(d.file("authorized_clients")); },
         "authorized_clients is missing"},
        {"a client secret alone", [](const KeyDir &d) { fs::remove(d.file("client.key")); }, "client.key is missing"},
        {"no secret",
         [](const KeyDir &d) {
             fs::remove(d.file("server.key_secret"));
             fs::remove(d.file("client.key_secret"));
         },
         "holds no secret key"},
    };
    for (const Case &c : cases) {
        const KeyDir d("bad");
        c.spoil(d);
        const std::string refusal = refusalOf(d.dir);
        EXPECT_NE(refusal.find(c.expected), std::string::npos) << c.what << ": " << refusal;
    }
    EXPECT_NE(refusalOf(freshDir("none")).find("is no directory"), std::string::npos);
}

TEST(CurveKeys, EachSideNeedsOnlyItsOwnSecret) {
    const KeyDir connecting("connecting");
    fs::remove(connecting.file("server.key_secret"));
    fs::remove(connecting.file("authorized_clients"));
    const CurveKeys client = loadCurveKeys(connecting.dir);
    EXPECT_FALSE(client.canBind());
    ZmqSocket pub(ZMQ_PUB);
    try {
        pub.secureAsServer(client);
        ADD_FAILURE() << "a server without its secret key";
    } catch (const std::runtime_error &e) {
        EXPECT_NE(std::string(e.what()).find("server.key_secret"), std::string::npos) << e.what();
    }

    const KeyDir binding("binding");
    fs::remove(binding.file("client.key_secret"));
    const CurveKeys server = loadCurveKeys(binding.dir);
    EXPECT_FALSE(server.canConnect());
    ZmqSocket sub(ZMQ_SUB);
    EXPECT_THROW(sub.secureAsClient(server), std::runtime_error);
}

TEST(Listeners, ABindIsToldAsBoundWithThePortChosenAndOnlyThere) {
    Listeners listeners;
    ZmqSocket pub(ZMQ_PUB);
    const std::string bound = listeners.bind(pub, "publish", "tcp://127.0.0.1:0");
    std::smatch m;
    ASSERT_TRUE(std::regex_match(bound, m, std::regex(R"(tcp://127\.0\.0\.1:(\d+))"))) << bound;
    EXPECT_NE(std::stoi(m[1]), 0);
    EXPECT_EQ(pub.boundEndpoint(), bound);
    ZmqSocket wildcard(ZMQ_PULL);
    const std::string any = listeners.bind(wildcard, "markers", "tcp://*:0");
    EXPECT_TRUE(std::regex_match(any, std::regex(R"(tcp://0\.0\.0\.0:[1-9]\d*)")))
        << "the address a wildcard stands for: " << any;
    const std::vector<kelvo::recording::Listener> all = listeners.all();
    ASSERT_EQ(all.size(), 2u);
    EXPECT_EQ(all[0].role, "publish");
    EXPECT_EQ(all[0].endpoint, bound);
    EXPECT_FALSE(all[0].curve);
    EXPECT_EQ(all[1].role, "markers");
}

// Three subscribers of one CURVE publisher: one with the directory's keys,
// one whose client key is not authorized, one that expects another server
// key. The two refused ones do not try again, so that each handshake that
// failed is counted exactly once.
TEST(CurveSockets, OnlyTheAuthorizedClientReceivesAndEachRefusedHandshakeIsCounted) {
    const KeyDir mine("mine");
    const KeyDir theirs("theirs");
    const CurveKeys keys = loadCurveKeys(mine.dir);
    const CurveKeys other = loadCurveKeys(theirs.dir);
    CurveKeys unauthorized = other;
    unauthorized.serverPublic = keys.serverPublic;
    CurveKeys wrongServer = keys;
    wrongServer.serverPublic = other.serverPublic;

    Listeners listeners;
    listeners.useKeys(keys);
    ZmqSocket pub(ZMQ_PUB);
    const std::string endpoint = listeners.bind(pub, "publish", "tcp://127.0.0.1:*");
    ASSERT_TRUE(listeners.all().at(0).curve);

    const auto subscriber = [&](const CurveKeys &with, bool retry) {
        auto sub = std::make_unique<ZmqSocket>(ZMQ_SUB);
        if (!retry) sub->setInt(ZMQ_RECONNECT_IVL, -1);
        sub->secureAsClient(with);
        sub->subscribe("");
        sub->connect(endpoint);
        return sub;
    };
    const auto good = subscriber(keys, true);
    const auto stranger = subscriber(unauthorized, false);
    const auto misled = subscriber(wrongServer, false);

    std::vector<std::string> frames;
    const std::string text = "sample";
    bool received = false;
    const auto refused = [&] { return listeners.all().at(0).refused(); };
    ASSERT_TRUE(until([&] {
        pub.send({{text.data(), text.size()}});
        received = received || good->receive(frames, 10ms);
        return received && refused() >= 2;
    })) << "received "
        << received << ", refused " << refused();
    EXPECT_EQ(frames, std::vector<std::string>{text});
    EXPECT_EQ(refused(), 2u);
    EXPECT_FALSE(stranger->receive(frames, 0ms));
    EXPECT_FALSE(misled->receive(frames, 0ms));
}
