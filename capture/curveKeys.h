// SPDX-License-Identifier: MIT
// CURVE keys for kelvo's ZeroMQ sockets, read from a directory the user
// prepares ('kelvo keys DIR' makes one; docs/security.md):
//   server.key          public key of the side that binds; both sides need it
//   server.key_secret   its secret key, only where kelvo binds
//   authorized_clients  the public keys a binding side accepts, one a line
//   client.key          public key of the side that connects
//   client.key_secret   its secret key, only where kelvo connects
// A key file holds one key of 40 Z85 characters; blank lines and lines
// that begin with '#' are skipped. Secret files must be open to their owner
// alone, as ssh asks of its keys.
#pragma once

#include <string>
#include <vector>

namespace kelvo::recording {

struct CurveKeys {
    std::string dir;  // where they were read, for the messages
    std::string serverPublic;
    std::string serverSecret;  // empty where the directory is a connecting side's
    std::vector<std::string> authorizedClients;
    std::string clientPublic;
    std::string clientSecret;  // empty where the directory is a binding side's

    bool canBind() const { return !serverSecret.empty(); }
    bool canConnect() const { return !clientSecret.empty(); }
};

// Reads and checks the directory: a secret key with its public key, and
// authorized_clients beside a server's secret. Throws std::runtime_error
// naming the file and what is wrong with it: missing, malformed, a secret
// that does not match its public key or that others may read.
CurveKeys loadCurveKeys(const std::string &dir);

// Makes `dir` (mode 0700; it must not exist yet) with a new server pair, a
// new client pair and authorized_clients naming that client, the secrets
// mode 0600: both sides' keys, to be copied where each runs. Throws
// std::runtime_error.
void makeCurveKeys(const std::string &dir);

// Whether `text` is a Z85 key: 40 characters that decode to 32 bytes.
bool isZ85Key(const std::string &text);

}  // namespace kelvo::recording
