// SPDX-License-Identifier: MIT
// kelvo keys: a directory of CURVE keys for --curve-keys, made in one step.
#include <cstdio>
#include <stdexcept>
#include <string>

#include "cli.h"
#include "commands.h"
#include "curveKeys.h"

namespace kelvo::cli {

namespace {

int run(const Arguments &args) {
    if (args.positional.size() != 1) throw Failure("'keys' takes one DIR, the directory to make", 2);
    const std::string &dir = args.positional.front();
    try {
        recording::makeCurveKeys(dir);
        // Read back as --curve-keys reads it: what was made is what works.
        (void)recording::loadCurveKeys(dir);
    } catch (const std::runtime_error &e) {
        throw Failure(e.what());
    }
    std::printf("made %s: server.key, server.key_secret, client.key, client.key_secret, authorized_clients\n",
                dir.c_str());
    return 0;
}

}  // namespace

const Command keysCommand{
    .name = "keys",
    .summary = "make CURVE keys for publishing across machines",
    .outline = "DIR",
    .usage = "DIR",
    .description = R"(Makes the directory DIR (mode 0700; it must not exist) with new CURVE keys
for --curve-keys DIR of publish, record, subscribe and mark:
  server.key          public key of the side that binds (publish, record)
  server.key_secret   its secret key (mode 0600)
  client.key          public key of the side that connects (subscribe, mark)
  client.key_secret   its secret key (mode 0600)
  authorized_clients  the client keys the binding side accepts, one a line;
                      this client's to begin with
Used as it is on one machine, the directory gives both sides their keys.
Across machines the binding one keeps server.key, server.key_secret and
authorized_clients, each connecting one server.key, client.key and
client.key_secret; a second client's client.key goes into
authorized_clients as a line of its own. docs/security.md has the details.

A secret key file open to others is refused wherever it is read.

Exit status: 0 when the directory was made, 1 when it could not be (it
exists, or a file could not be written), 2 for a usage error.)",
    .options = {},
    .run = run,
};

}  // namespace kelvo::cli
