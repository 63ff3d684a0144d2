// SPDX-License-Identifier: MIT
// Attaching the bus: what a process does without a usable announcement,
// and the server program's own behaviour around the segment and the file.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cerrno>
#include <functional>
#include <memory>

#include "busHarness.h"

using namespace bustest;

namespace {

constexpr char kEveryCallRefused[] = "-1 -1 -1 -1 -1 -1 -1 -1 -1 -1 -1 -1 -1 untouched";

bool segmentExists(int id) {
    shmid_ds info{};
    return shmctl(id, IPC_STAT, &info) == 0 || (errno != EINVAL && errno != EIDRM);
}

TEST(BusAttach, WithoutAnnouncementEveryCallFailsUntilTheProcessAttachesLater) {
    AnnouncementGuard guard;
    Peer early;
    EXPECT_EQ(early.ask("all"), kEveryCallRefused);
    EXPECT_EQ(early.call("init"), -1);

    Server server;
    RawView raw(server.id());
    Peer loaded;  // counted in and sets the record up
    ASSERT_EQ(raw.usersSettledAt(1), 1);
    EXPECT_EQ(early.call("init"), 0);
    EXPECT_EQ(early.call("init"), 0) << "attaching again is no error";
    EXPECT_EQ(early.call("master"), 0);
    EXPECT_EQ(raw.usersSettledAt(1), 1) << "a late attach does not count the process in";
    early.quit();
    // Regression: the late process's unload took one off the count, so the
    // next loader saw 0 and wiped the still-running processes' record.
    EXPECT_EQ(raw.usersSettledAt(1), 1);
    Peer next;
    EXPECT_EQ(raw.i32(RawView::kMasterId), 1);
}

TEST(BusAttach, UnusableAnnouncementsLeaveTheLibraryWorkingWithoutTheBus) {
    AnnouncementGuard guard;
    OwnSegment large(4096);
    OwnSegment tiny(100);
    int removedId = -1;
    {
        OwnSegment gone(4096);
        removedId = gone.id();
    }
    const struct {
        const char *what;
        std::function<void()> prepare;
    } cases[] = {
        {"only two text lines", [&] { writeAnnouncement(large.id(), 2); }},
        {"a removed segment", [&] { writeAnnouncement(removedId, 3); }},
        {"a segment smaller than the record", [&] { writeAnnouncement(tiny.id(), 3); }},
        // A FIFO must not hold up the load of every process.
        {"a FIFO at the path", [&] { ASSERT_EQ(mkfifo(kAnnouncement, 0600), 0); }},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        unlink(kAnnouncement);
        c.prepare();
        Peer peer;
        EXPECT_EQ(peer.ask("all"), kEveryCallRefused);
        EXPECT_GT(std::stoll(peer.ask("ticks")), 0);
    }
    unlink(kAnnouncement);
    writeAnnouncement(large.id(), 3);
    Peer control;
    EXPECT_EQ(control.call("master"), 0) << "the same file with three lines is accepted";
}

TEST(BusServer, RefusesToStartWhileALiveSegmentIsAnnounced) {
    AnnouncementGuard guard;
    Server running;
    Child second({KELVO_BUSD});
    ASSERT_TRUE(second.waitFor(std::chrono::seconds(10)));
    EXPECT_EQ(second.exitCode(), 1);
    EXPECT_NE(second.drainErrors().find("already announces the live segment"), std::string::npos);
    RawView stillThere(running.id());
    Peer peer;
    EXPECT_EQ(stillThere.usersSettledAt(1), 1) << "the running server's announcement is kept";
}

TEST(BusServer, ReplacesAnAnnouncementWhoseSegmentIsGone) {
    AnnouncementGuard guard;
    int removedId = -1;
    {
        OwnSegment gone(4096);
        removedId = gone.id();
    }
    writeAnnouncement(removedId, 3);
    Server server;
    EXPECT_NE(server.id(), removedId);
    Peer peer;
    RawView raw(server.id());
    EXPECT_EQ(raw.usersSettledAt(1), 1);
}

TEST(BusServer, SegmentIsForItsUserOnlyUnlessWidened) {
    AnnouncementGuard guard;
    shmid_ds info{};
    {
        Server server;
        ASSERT_EQ(shmctl(server.id(), IPC_STAT, &info), 0);
        EXPECT_EQ(info.shm_perm.mode & 0777, 0600u);
        EXPECT_GE(info.shm_segsz, 2372u);
    }
    {
        Server server({"-m", "0660"});
        ASSERT_EQ(shmctl(server.id(), IPC_STAT, &info), 0);
        EXPECT_EQ(info.shm_perm.mode & 0777, 0660u);
    }
    for (const char *mode : {"0400", "9", "01777"}) {
        Child refused({KELVO_BUSD, "-m", mode});
        ASSERT_TRUE(refused.waitFor(std::chrono::seconds(10)));
        EXPECT_EQ(refused.exitCode(), 2) << mode;
    }
}

TEST(BusServer, InterruptRemovesTheAnnouncementAndTheSegmentOnceUnused) {
    AnnouncementGuard guard;
    auto server = std::make_unique<Server>();
    const int id = server->id();
    Peer peer;
    ASSERT_EQ(peer.call("master"), 0);
    server.reset();  // interrupted
    struct stat info {};
    EXPECT_NE(lstat(kAnnouncement, &info), 0) << "the announcement is withdrawn";
    EXPECT_TRUE(segmentExists(id)) << "a process still attached keeps the segment";
    EXPECT_EQ(peer.call("toAll still works"), 0);
    peer.quit();
    EXPECT_FALSE(segmentExists(id));
}

}  // namespace
