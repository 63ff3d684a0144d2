// SPDX-License-Identifier: MIT
#include "curveKeys.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zmq.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <stdexcept>

namespace kelvo::recording {

namespace {

constexpr size_t kZ85KeyLength = 40;
constexpr const char *kServerPublic = "server.key";
constexpr const char *kServerSecret = "server.key_secret";
constexpr const char *kClientPublic = "client.key";
constexpr const char *kClientSecret = "client.key_secret";
constexpr const char *kAuthorized = "authorized_clients";

[[noreturn]] void refuse(const std::string &path, const std::string &why) {
    throw std::runtime_error("CURVE keys: " + path + " " + why);
}

std::string pathOf(const std::string &dir, const char *name) { return dir + "/" + name; }

bool exists(const std::string &path) {
    struct stat st {};
    return lstat(path.c_str(), &st) == 0;
}

std::string trimmed(const std::string &line) {
    const size_t first = line.find_first_not_of(" \t\r");
    if (first == std::string::npos) return {};
    return line.substr(first, line.find_last_not_of(" \t\r") - first + 1);
}

// The keys of a file, a line each: what is left of its lines without
// blanks and '#' comments. A line that is no key is refused by its number.
std::vector<std::string> keysIn(const std::string &path) {
    std::ifstream in(path);
    if (!in) refuse(path, std::string("cannot be read: ") + std::strerror(errno));
    std::vector<std::string> keys;
    int number = 0;
    for (std::string line; std::getline(in, line);) {
        ++number;
        const std::string text = trimmed(line);
        if (text.empty() || text[0] == '#') continue;
        if (!isZ85Key(text)) {
            refuse(path, "line " + std::to_string(number) + " is not a key: 40 Z85 characters are expected");
        }
        keys.push_back(text);
    }
    return keys;
}

std::string oneKeyIn(const std::string &path) {
    const std::vector<std::string> keys = keysIn(path);
    if (keys.size() != 1) refuse(path, "holds " + std::to_string(keys.size()) + " keys; a key file holds one");
    return keys.front();
}

// A secret others can read is no secret: refused before it is used, as
// ssh refuses such a key.
std::string secretIn(const std::string &path) {
    struct stat st {};
    if (stat(path.c_str(), &st) != 0) refuse(path, std::string("cannot be read: ") + std::strerror(errno));
    if (!S_ISREG(st.st_mode)) refuse(path, "is not a file");
    if ((st.st_mode & 077) != 0) {
        char mode[8];
        std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(st.st_mode & 07777));
        refuse(path, "is open to others (mode " + std::string(mode) + "): 'chmod 600' it");
    }
    return oneKeyIn(path);
}

// A secret key and its public key, both or neither; the public one must be
// the secret's, so that a pair mixed up from two runs of 'kelvo keys' shows
// here rather than as a connection that never comes up.
void readPair(const std::string &dir, const char *publicName, const char *secretName, std::string &publicKey,
              std::string &secretKey) {
    const std::string publicPath = pathOf(dir, publicName);
    const std::string secretPath = pathOf(dir, secretName);
    if (!exists(secretPath)) {
        if (exists(publicPath)) publicKey = oneKeyIn(publicPath);
        return;
    }
    if (!exists(publicPath)) refuse(publicPath, std::string("is missing beside ") + secretName);
    publicKey = oneKeyIn(publicPath);
    secretKey = secretIn(secretPath);
    char derived[kZ85KeyLength + 1] = {};
    if (zmq_curve_public(derived, secretKey.c_str()) != 0 || publicKey != derived) {
        refuse(publicPath, std::string("is not the public key of ") + secretName);
    }
}

void writeFile(const std::string &path, const std::string &text, mode_t mode) {
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
    if (fd < 0) refuse(path, std::string("cannot be made: ") + std::strerror(errno));
    const bool written = write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    // The umask may have taken bits away, never added any; fchmod makes it exact.
    const bool modeSet = fchmod(fd, mode) == 0;
    if (close(fd) != 0 || !written || !modeSet) refuse(path, std::string("cannot be written: ") + std::strerror(errno));
}

struct Pair {
    char publicKey[kZ85KeyLength + 1] = {};
    char secretKey[kZ85KeyLength + 1] = {};
};

Pair newPair() {
    Pair pair;
    if (zmq_curve_keypair(pair.publicKey, pair.secretKey) != 0) {
        throw std::runtime_error(std::string("CURVE keys: ZeroMQ makes none: ") + zmq_strerror(zmq_errno()));
    }
    return pair;
}

}  // namespace

bool isZ85Key(const std::string &text) {
    if (text.size() != kZ85KeyLength) return false;
    uint8_t bytes[32];
    return zmq_z85_decode(bytes, text.c_str()) != nullptr;
}

CurveKeys loadCurveKeys(const std::string &dir) {
    struct stat st {};
    if (dir.empty() || stat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
        refuse(dir, "is no directory ('kelvo keys DIR' makes one)");
    }
    if (zmq_has("curve") == 0) throw std::runtime_error("CURVE keys: this ZeroMQ library was built without CURVE");
    CurveKeys keys;
    keys.dir = dir;
    readPair(dir, kServerPublic, kServerSecret, keys.serverPublic, keys.serverSecret);
    readPair(dir, kClientPublic, kClientSecret, keys.clientPublic, keys.clientSecret);
    if (keys.serverPublic.empty()) refuse(pathOf(dir, kServerPublic), "is missing: every side needs the server's key");
    if (!keys.canBind() && !keys.canConnect()) {
        refuse(dir,
               std::string("holds no secret key: ") + kServerSecret + " to bind or " + kClientSecret + " to connect");
    }
    if (keys.canConnect() && keys.clientPublic.empty()) refuse(pathOf(dir, kClientPublic), "is missing");
    if (keys.canBind()) {
        // A server that took any client would encrypt for strangers.
        const std::string authorized = pathOf(dir, kAuthorized);
        if (!exists(authorized)) refuse(authorized, std::string("is missing beside ") + kServerSecret);
        keys.authorizedClients = keysIn(authorized);
        if (keys.authorizedClients.empty()) refuse(authorized, "names no client key");
    }
    return keys;
}

void makeCurveKeys(const std::string &dir) {
    if (dir.empty()) throw std::runtime_error("CURVE keys: no directory named");
    if (mkdir(dir.c_str(), 0700) != 0) refuse(dir, std::string("cannot be made: ") + std::strerror(errno));
    if (chmod(dir.c_str(), 0700) != 0) refuse(dir, std::string("cannot be made private: ") + std::strerror(errno));
    const Pair server = newPair();
    const Pair client = newPair();
    const auto line = [](const char *key) { return std::string(key) + "\n"; };
    writeFile(pathOf(dir, kServerPublic), line(server.publicKey), 0644);
    writeFile(pathOf(dir, kServerSecret), line(server.secretKey), 0600);
    writeFile(pathOf(dir, kClientPublic), line(client.publicKey), 0644);
    writeFile(pathOf(dir, kClientSecret), line(client.secretKey), 0600);
    writeFile(pathOf(dir, kAuthorized),
              "# The public keys (client.key) of the subscribers and senders this side takes, one a line.\n" +
                  line(client.publicKey),
              0644);
}

}  // namespace kelvo::recording
