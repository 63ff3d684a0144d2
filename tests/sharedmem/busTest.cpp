// SPDX-License-Identifier: MIT
// The message bus between real processes: a server program makes the
// segment, each peer is a process that loaded the library, and the test
// looks at the segment's raw bytes as a further process would.
#include <gtest/gtest.h>

#include <memory>
#include <sstream>

#include "busHarness.h"

using namespace bustest;

namespace {

std::vector<int64_t> numbersOf(const std::string &line) {
    std::istringstream in(line);
    std::vector<int64_t> numbers;
    for (int64_t n = 0; in >> n;) numbers.push_back(n);
    return numbers;
}

class Bus : public ::testing::Test {
protected:
    AnnouncementGuard guard;
    Server server;
    RawView raw{server.id()};

    int32_t flagsOf(size_t mailbox) const {
        return raw.i32(mailbox + RawView::kIsFull) * 10 + raw.i32(mailbox + RawView::kIsReady);
    }
};

TEST_F(Bus, FirstLoaderSetsTheRecordUpAndLaterLoadersJoinIt) {
    for (size_t offset = 0; offset < 2372; offset += 4) ASSERT_EQ(raw.i32(offset), 0) << offset;

    Peer first;
    EXPECT_EQ(raw.usersSettledAt(1), 1);
    EXPECT_EQ(raw.i32(RawView::kMasterId), -1);
    for (int i = 0; i < 4; ++i) EXPECT_EQ(raw.i32(RawView::slaveId(i)), -1);
    ASSERT_EQ(first.call("master"), 0);

    {
        Peer second;
        EXPECT_EQ(raw.usersSettledAt(2), 2);
        EXPECT_EQ(raw.i32(RawView::kMasterId), 1) << "a later loader must not set the record up again";
        EXPECT_EQ(second.call("master"), -1);
        second.quit();
    }
    EXPECT_EQ(raw.usersSettledAt(1), 1);
    first.quit();
    EXPECT_EQ(raw.usersSettledAt(0), 0);
}

TEST_F(Bus, FieldsLieAtTheirOffsetsInTheSegment) {
    Peer master, slave;
    ASSERT_EQ(slave.call("slave"), 0);
    ASSERT_EQ(master.call("master"), 0);
    EXPECT_EQ(raw.i32(RawView::slaveId(0)), 0);
    EXPECT_EQ(raw.i32(RawView::slaveId(1)), -1);
    EXPECT_EQ(raw.i32(RawView::kMasterId), 1);
    for (int i = 0; i < 4; ++i) EXPECT_EQ(flagsOf(RawView::toMaster(i)), 1) << "master opens every inbox " << i;
    EXPECT_EQ(flagsOf(RawView::toSlave(0)), 1);
    EXPECT_EQ(flagsOf(RawView::toSlave(1)), 0);

    ASSERT_EQ(master.call("toSlave 0 down the line"), 0);
    EXPECT_EQ(raw.text(RawView::toSlave(0)), "down the line");
    EXPECT_EQ(flagsOf(RawView::toSlave(0)), 10);
    const auto masterStamps = numbersOf(master.ask("stamps 0"));
    EXPECT_EQ(raw.i64(RawView::toSlave(0) + RawView::kSend), masterStamps[1]);

    EXPECT_EQ(slave.ask("fromMaster 0"), "0 down the line");
    EXPECT_EQ(raw.text(RawView::toSlave(0)), "");
    EXPECT_EQ(flagsOf(RawView::toSlave(0)), 1);
    ASSERT_EQ(slave.call("toMaster 0 and back up"), 0);
    EXPECT_EQ(raw.text(RawView::toMaster(0)), "and back up");
    EXPECT_EQ(flagsOf(RawView::toMaster(0)), 10);
    const auto slaveStamps = numbersOf(slave.ask("stamps 0"));
    EXPECT_EQ(raw.i64(RawView::toMaster(0) + RawView::kSend), slaveStamps[1]);
    EXPECT_EQ(raw.i64(RawView::toSlave(0) + RawView::kReceive), slaveStamps[4]);
    EXPECT_GT(slaveStamps[4], slaveStamps[3]);
}

TEST_F(Bus, RegistrationsAreLimitedToOneMasterAndFourSlaves) {
    std::vector<std::unique_ptr<Peer>> slaves;
    for (int n = 0; n < 5; ++n) slaves.push_back(std::make_unique<Peer>());
    for (int n = 0; n < 4; ++n) EXPECT_EQ(slaves[n]->call("slave"), n);
    EXPECT_EQ(slaves[4]->call("slave"), -1);
    EXPECT_EQ(slaves[1]->call("unslave 1"), 1);
    EXPECT_EQ(slaves[4]->call("slave"), 1) << "the freed index is taken again";

    Peer first, second;
    EXPECT_EQ(first.call("master"), 0);
    EXPECT_EQ(second.call("master"), -1);
    EXPECT_EQ(second.call("unmaster -1"), -1);
    EXPECT_EQ(first.call("unmaster 0"), 0);
    EXPECT_EQ(second.call("master"), 0);

    for (const char *call : {"unslave 4", "unslave -1", "slaveCallback 4", "toSlave 4 x", "toMaster -1 x",
                             "fromMaster 4", "fromSlave -2", "stamps 4"}) {
        EXPECT_EQ(numbersOf(second.ask(call))[0], -1) << call;
    }
}

TEST_F(Bus, SlavesRegisteringAtOneInstantGetDistinctIndices) {
    Peer racer;
    EXPECT_EQ(racer.call("race 500"), 0) << "times one index was held by two threads";
}

TEST_F(Bus, MailboxHoldsOneMessageUntilItIsRead) {
    Peer master, slave;
    ASSERT_EQ(master.call("master"), 0);
    ASSERT_EQ(slave.call("slave"), 0);

    EXPECT_EQ(master.call("toSlave 0 first"), 0);
    EXPECT_EQ(master.call("toSlave 0 second"), -1);
    EXPECT_EQ(slave.ask("fromMaster 0"), "0 first");
    EXPECT_EQ(slave.ask("fromMaster 0"), "-1 untouched");
    EXPECT_EQ(master.call("toSlave 0 third"), 0);
    EXPECT_EQ(slave.ask("fromMaster 0"), "0 third");

    EXPECT_EQ(slave.call("toMaster 0 up one"), 0);
    EXPECT_EQ(slave.call("toMaster 0 up two"), -1);
    EXPECT_EQ(master.ask("fromSlave 0"), "0 up one");
    EXPECT_EQ(master.ask("fromSlave 0"), "-1 untouched");
}

TEST_F(Bus, WithoutARegisteredMasterNothingIsSentOrReadTowardsIt) {
    Peer master, slave;
    ASSERT_EQ(slave.call("slave"), 0);
    EXPECT_EQ(slave.call("toMaster 0 too early"), -1);
    ASSERT_EQ(master.call("master"), 0);
    EXPECT_EQ(slave.call("toMaster 0 waiting"), 0);
    ASSERT_EQ(master.call("unmaster 0"), 0);
    EXPECT_EQ(master.ask("fromSlave 0"), "-1 untouched") << "no reads while no master is registered";
    EXPECT_EQ(flagsOf(RawView::toMaster(0)), 10) << "the message stays in its closed mailbox";
    ASSERT_EQ(master.call("master"), 0);
    EXPECT_EQ(master.ask("fromSlave 0"), "0 waiting");
}

TEST_F(Bus, NullTextsBuffersAndStampsAreRefused) {
    Peer master, slave;
    ASSERT_EQ(master.call("master"), 0);
    ASSERT_EQ(slave.call("slave"), 0);
    EXPECT_EQ(master.ask("nulls"), "-1 -1 -1 -1 -1 -1 ");
    EXPECT_EQ(slave.ask("nulls"), "-1 -1 -1 -1 -1 -1 ");
}

TEST_F(Bus, TextsAreCutTo255Characters) {
    Peer master, slave;
    ASSERT_EQ(master.call("master"), 0);
    ASSERT_EQ(slave.call("slave"), 0);
    std::string text(300, 'a');
    for (size_t k = 0; k < text.size(); ++k) text[k] = static_cast<char>('a' + k % 26);
    ASSERT_EQ(master.call("toSlave 0 " + text), 0);
    EXPECT_EQ(slave.ask("fromMaster 0"), "0 " + text.substr(0, 255));
}

TEST_F(Bus, AnUnterminatedTextInTheSegmentIsNotReadPastItsMailbox) {
    Peer master, slave;
    ASSERT_EQ(master.call("master"), 0);
    ASSERT_EQ(slave.call("slave"), 0);
    // Another process wrote 256 characters and no terminator; the bytes
    // after the text are not zero either.
    std::memset(raw.bytes(RawView::toSlave(0)), 'x', 260);
    raw.setI32(RawView::toSlave(0) + RawView::kIsFull, 1);
    EXPECT_EQ(slave.ask("fromMaster 0"), "0 " + std::string(255, 'x'));
}

TEST_F(Bus, SendingToAllCountsEveryRegisteredSlaveEvenWithAFullMailbox) {
    Peer master, slave0, slave1, slave2;
    ASSERT_EQ(master.call("master"), 0);
    ASSERT_EQ(slave0.call("slave"), 0);
    ASSERT_EQ(slave1.call("slave"), 1);
    ASSERT_EQ(slave2.call("slave"), 2);
    ASSERT_EQ(slave1.call("unslave 1"), 1);
    ASSERT_EQ(master.call("toSlave 2 still unread"), 2);

    EXPECT_EQ(master.call("toAll to everyone"), 2);
    EXPECT_EQ(slave0.ask("fromMaster 0"), "0 to everyone");
    EXPECT_EQ(slave2.ask("fromMaster 2"), "2 still unread");
    EXPECT_EQ(master.call("toSlave 1 gone"), -1);
    EXPECT_EQ(flagsOf(RawView::toSlave(1)), 0);
}

TEST_F(Bus, AnUnregisteredSlaveIsRefusedWhileTheOthersGoOn) {
    Peer master;
    std::vector<std::unique_ptr<Peer>> slaves;
    ASSERT_EQ(master.call("master"), 0);
    for (int n = 0; n < 4; ++n) {
        slaves.push_back(std::make_unique<Peer>());
        ASSERT_EQ(slaves[n]->call("slave"), n);
    }
    ASSERT_EQ(slaves[1]->call("unslave 1"), 1);
    EXPECT_EQ(master.call("toSlave 1 anyone there"), -1);
    for (int n : {0, 2, 3}) {
        EXPECT_EQ(slaves[n]->call("toMaster " + std::to_string(n) + " slave " + std::to_string(n)), n);
    }
    for (int n : {0, 2, 3}) {
        EXPECT_EQ(master.ask("fromSlave " + std::to_string(n)), std::to_string(n) + " slave " + std::to_string(n));
    }
}

TEST_F(Bus, ClearingDropsUnreadMessagesToTheMasterAndReopensOnlyThoseMailboxes) {
    Peer master, slave0, slave1;
    ASSERT_EQ(master.call("master"), 0);
    ASSERT_EQ(slave0.call("slave"), 0);
    ASSERT_EQ(slave1.call("slave"), 1);
    ASSERT_EQ(slave0.call("toMaster 0 a"), 0);
    ASSERT_EQ(slave1.call("toMaster 1 b"), 1);

    EXPECT_EQ(master.call("clear"), 0);
    EXPECT_EQ(master.ask("fromSlave 0"), "-1 untouched");
    EXPECT_EQ(master.ask("fromSlave 1"), "-1 untouched");
    EXPECT_EQ(slave0.call("toMaster 0 c"), 0);
    EXPECT_EQ(master.ask("fromSlave 0"), "0 c");

    // With the master gone its mailboxes are closed; clearing reopens the
    // one holding a message and leaves the empty ones closed.
    ASSERT_EQ(slave1.call("toMaster 1 d"), 1);
    ASSERT_EQ(master.call("unmaster 0"), 0);
    EXPECT_EQ(slave0.call("clear"), 0);
    EXPECT_EQ(flagsOf(RawView::toMaster(1)), 1);
    EXPECT_EQ(raw.text(RawView::toMaster(1)), "");
    EXPECT_EQ(flagsOf(RawView::toMaster(0)), 0);
    EXPECT_EQ(flagsOf(RawView::toMaster(2)), 0);
}

TEST_F(Bus, TimeStampsOfOneExchangeAscendAndAgreeOnBothSides) {
    Peer master, slave;
    ASSERT_EQ(master.call("master"), 0);
    ASSERT_EQ(slave.call("slave"), 0);
    ASSERT_EQ(slave.call("toMaster 0 question"), 0);
    ASSERT_EQ(master.ask("fromSlave 0"), "0 question");
    ASSERT_EQ(master.call("toSlave 0 answer"), 0);
    ASSERT_EQ(slave.ask("fromMaster 0"), "0 answer");

    const auto mine = numbersOf(slave.ask("stamps 0"));
    ASSERT_EQ(mine.size(), 5u);
    EXPECT_EQ(mine[0], 0);
    EXPECT_GT(mine[1], 0);
    EXPECT_LT(mine[1], mine[2]) << "slave sent before the master read";
    EXPECT_LT(mine[2], mine[3]) << "master read before it answered";
    EXPECT_LT(mine[3], mine[4]) << "master answered before the slave read";
    const auto theirs = numbersOf(master.ask("stamps 0"));
    EXPECT_EQ(std::vector<int64_t>({0, mine[3], mine[4], mine[1], mine[2]}), theirs)
        << "the master sees the same pairs, its own mailbox first";
}

TEST_F(Bus, SlaveCallbackIsServedByTheIoThreadWithinAFewPasses) {
    Peer master, slave;
    ASSERT_EQ(master.call("master"), 0);
    ASSERT_EQ(slave.call("slave"), 0);
    ASSERT_EQ(slave.call("slaveCallback 0"), 0);
    for (const char *text : {"one", "two"}) {
        ASSERT_EQ(master.call(std::string("toSlave 0 ") + text), 0);
        const int64_t sent = numbersOf(master.ask("stamps 0"))[1];
        const std::string delivered = slave.ask("delivered 1 5000");
        ASSERT_EQ(delivered.substr(delivered.find(':')), std::string(":") + text);
        const int64_t arrived = std::stoll(delivered.substr(2));
        // A pass is ~50 us; a loaded two-core machine under a sanitizer may
        // hold the thread off for much longer, hence the wide bound.
        EXPECT_LT(arrived - sent, 2000000) << "ticks from send to callback";
        slave.ask("forget");
    }
    EXPECT_EQ(slave.ask("fromMaster 0"), "-1 untouched") << "the callback consumed the message";
    ASSERT_EQ(slave.call("callbackOff 0"), 0);
    ASSERT_EQ(master.call("toSlave 0 polled"), 0);
    EXPECT_EQ(slave.ask("fromMaster 0"), "0 polled");
}

TEST_F(Bus, MasterCallbackReceivesOnlySlaveZerosMailbox) {
    Peer master, slave0, slave1;
    ASSERT_EQ(master.call("master"), 0);
    ASSERT_EQ(master.call("masterCallback"), 0);
    ASSERT_EQ(slave0.call("slave"), 0);
    ASSERT_EQ(slave1.call("slave"), 1);
    ASSERT_EQ(slave1.call("toMaster 1 from one"), 1);
    ASSERT_EQ(slave0.call("toMaster 0 from zero"), 0);

    const std::string first = master.ask("delivered 1 5000");
    EXPECT_EQ(first.substr(0, 2), "1 ");
    EXPECT_EQ(first.substr(first.find(':')), ":from zero");
    // Give the thread many more passes to deliver what it must not.
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(master.ask("delivered 2 0").substr(0, 2), "1 ");
    EXPECT_EQ(master.ask("fromSlave 1"), "1 from one");
}

}  // namespace
