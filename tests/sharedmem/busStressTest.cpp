// SPDX-License-Identifier: MIT
// A master and four slave processes pass 100000 numbered, checksummed
// messages back and forth; every one must arrive once, in order and intact.
#include <gtest/gtest.h>

#include <memory>

#include "busHarness.h"

using namespace bustest;

namespace {

TEST(BusStress, HundredThousandMessagesBetweenMasterAndFourSlavesArriveOnceInOrderAndIntact) {
    constexpr int kSlaves = 4;
    constexpr int kRoundTrips = 100000 / (2 * kSlaves);
    AnnouncementGuard guard;
    Server server;
    Peer master;
    ASSERT_EQ(master.call("master"), 0);
    std::vector<std::unique_ptr<Peer>> slaves;
    for (int n = 0; n < kSlaves; ++n) {
        slaves.push_back(std::make_unique<Peer>());
        ASSERT_EQ(slaves[n]->call("slave"), n);
    }
    master.send("stressMaster " + std::to_string(kSlaves) + " " + std::to_string(kRoundTrips));
    // Slave 3 takes its answers through the I/O thread's callback delivery,
    // the others poll.
    for (int n = 0; n < kSlaves; ++n)
        slaves[n]->send("stressSlave " + std::to_string(n) + " " + std::to_string(kRoundTrips));
    const auto limit = std::chrono::seconds(240);
    EXPECT_EQ(master.receive(limit), "ok");
    for (int n = 0; n < kSlaves; ++n) EXPECT_EQ(slaves[n]->receive(limit), "ok") << "slave " << n;
}

}  // namespace
