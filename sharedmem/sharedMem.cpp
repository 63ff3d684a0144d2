// SPDX-License-Identifier: MIT
// The message bus: one master and up to four slave processes exchange short
// texts through one-message mailboxes in a System V segment that another
// process creates and announces in /tmp/xyzServer.id.
//
// A mailbox has one sender and one reader. Its isFull/isReady pair is only
// ever touched as one aligned 8-byte word, so both halves always change
// together:
//   sender: claim (isReady 1 -> 0, a stale message withdrawn), write tSend
//           and the text, publish isFull = 1 / isReady = 0 with one release
//           store;
//   reader: claim (isFull 1 -> 0, closed while it reads), copy and empty the
//           text, stamp tReceive, reopen (isReady = 1) with a release.
// Whoever holds a claim owns the text. The claims are compare-and-swaps, so
// two threads of one process (the I/O thread delivering callbacks and an
// application thread polling, say) never take one message twice or write
// one mailbox at once.
#include <fcntl.h>
#include <sys/shm.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstring>

#include "atomics.h"
#include "busHooks.h"
#include "busRecord.h"
#include "clock.h"
#include "kelvo_lowlevel.h"
#include "wakeups.h"

extern "C" {
KELVO_API struct TMsgRecord *psMem;
KELVO_API tMsgCallback mytMsgSlaveCallback[4];
KELVO_API tMsgCallback mytMsgMasterCallback[4];
}

using namespace kelvo;

namespace {

// 1 once this process registered as master; picks the side tMsgGetTimeStamps
// reports from.
int32_t appIsMaster;

// 1 once the load hook counted this process into nUser. A process that
// attached later through its own tMsgInit was never counted, and taking it
// out at unload would let the next loader find the count at 0 and wipe the
// registrations of processes still using the bus.
int32_t countedIn;

struct Flags {
    int32_t full;
    int32_t ready;
};

// The pair as one word, in memory order whatever the byte order.
uint64_t packFlags(Flags flags) {
    const int32_t halves[2] = {flags.full, flags.ready};
    uint64_t word = 0;
    std::memcpy(&word, halves, sizeof word);
    return word;
}

Flags unpackFlags(uint64_t word) {
    int32_t halves[2];
    std::memcpy(halves, &word, sizeof word);
    return {halves[0], halves[1]};
}

// isFull and isReady are declared as the two 32-bit fields they are to
// other processes; this process only ever reaches them through this word.
using FlagWord = uint64_t __attribute__((may_alias));

std::atomic_ref<uint64_t> flagWord(TMsgMailbox &box) {
    return std::atomic_ref<uint64_t>(*reinterpret_cast<FlagWord *>(&box.isFull));
}

// Applies `change` to the pair as one indivisible update. `change` returns
// false to leave the pair alone; the pair as it was is returned either way.
template <class Change>
Flags updateFlags(TMsgMailbox &box, Change change) {
    std::atomic_ref<uint64_t> word = flagWord(box);
    uint64_t seen = word.load(std::memory_order_acquire);
    for (;;) {
        const Flags before = unpackFlags(seen);
        Flags after = before;
        if (!change(after)) return before;
        if (word.compare_exchange_weak(seen, packFlags(after), std::memory_order_acq_rel, std::memory_order_acquire)) {
            return before;
        }
    }
}

bool claimForSending(TMsgMailbox &box) {
    return updateFlags(box, [](Flags &f) {
               if (f.ready == 0) return false;
               f = {0, 0};
               return true;
           }).ready != 0;
}

bool claimForReading(TMsgMailbox &box) {
    return updateFlags(box, [](Flags &f) {
               if (f.full == 0) return false;
               f = {0, 0};
               return true;
           }).full != 0;
}

void setReady(TMsgMailbox &box, int32_t ready) {
    (void)updateFlags(box, [ready](Flags &f) {
        f.ready = ready;
        return true;
    });
}

// The stamps lie 4 bytes off an 8-byte boundary: two aligned 32-bit halves.
// They are published by the flag pair's release store and read after its
// acquire; a stamp read while the other side rewrites it is not torn within
// a half.
void storeStamp(uint32_t (&stamp)[2], int64_t ticks) {
    uint32_t halves[2];
    std::memcpy(halves, &ticks, sizeof ticks);
    std::atomic_ref<uint32_t>(stamp[0]).store(halves[0], std::memory_order_relaxed);
    std::atomic_ref<uint32_t>(stamp[1]).store(halves[1], std::memory_order_relaxed);
}

int64_t loadStamp(uint32_t (&stamp)[2]) {
    const uint32_t halves[2] = {loadRelaxed(stamp[0]), loadRelaxed(stamp[1])};
    int64_t ticks = 0;
    std::memcpy(&ticks, halves, sizeof ticks);
    return ticks;
}

TMsgRecord *record() { return loadAcquire(psMem); }

bool isSlaveIndex(int index) { return static_cast<unsigned>(index) < kBusSlaves; }

// The announced segment identifier. A FIFO or device at the path would
// block every process that loads the library, so only a regular file counts.
bool readAnnouncement(int32_t &identifier) {
    const int fd = open(kBusAnnouncementPath, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return false;
    struct stat info {};
    FILE *file = nullptr;
    if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) || (file = fdopen(fd, "rb")) == nullptr) {
        close(fd);
        return false;
    }
    int32_t announced = 0;
    char line[128];
    bool complete = std::fread(&announced, sizeof announced, 1, file) == 1;
    for (int n = 0; n < 3 && complete; ++n) complete = std::fgets(line, sizeof line, file) != nullptr;
    std::fclose(file);
    if (complete) identifier = announced;
    return complete;
}

// A segment smaller than the record would let every bus call write past its
// end, so its size is checked before it is attached.
void *attachSegment(int32_t identifier) {
    shmid_ds info{};
    if (shmctl(identifier, IPC_STAT, &info) != 0 || info.shm_segsz < kBusSegmentSize) return nullptr;
    void *base = shmat(identifier, nullptr, 0);
    // NOLINTNEXTLINE(performance-no-int-to-ptr): shmat's failure value
    if (base == reinterpret_cast<void *>(-1)) return nullptr;
    // shmat maps at a page boundary; the flag pairs rely on it.
    if (reinterpret_cast<uintptr_t>(base) % alignof(uint64_t) != 0) {
        shmdt(base);
        return nullptr;
    }
    return base;
}

int sendTo(TMsgMailbox &box, const char *text, int index) {
    if (!claimForSending(box)) return -1;
    storeStamp(box.tSend, ticksNow());
    std::strncpy(box.msg, text, kBusTextSize - 1);
    flagWord(box).store(packFlags({1, 0}), std::memory_order_release);
    return index;
}

// The text in the segment is cut at 255 characters whether or not another
// process terminated it, and the caller's buffer always ends terminated.
int readFrom(TMsgRecord &bus, TMsgMailbox &box, char *buffer, int index) {
    if (loadAcquire(bus.masterId) == -1 || !claimForReading(box)) return -1;
    const size_t length = strnlen(box.msg, kBusTextSize - 1);
    std::memcpy(buffer, box.msg, length);
    buffer[length] = '\0';
    box.msg[0] = '\0';
    // Stamped before the reopening release so that the sender's next send
    // finds the stamp of this read.
    storeStamp(box.tReceive, ticksNow());
    setReady(box, 1);
    return index;
}

}  // namespace

namespace kelvo {

void busJoinAtLoad() {
    if (tMsgInit() != 0) return;
    // Counted in before the record is set up, and set up only by the process
    // that raised the count from 0: two processes loading at one instant
    // would otherwise both initialise it, the later one wiping what the
    // earlier one had registered.
    storeRelease(countedIn, 1);
    if (fetchAdd(record()->nUser, 1) == 0) initMem();
}

void busLeaveAtUnload() {
    TMsgRecord *bus = record();
    if (bus != nullptr && loadAcquire(countedIn) == 1) (void)fetchAdd(bus->nUser, -1);
}

bool busDeliverToCallbacks(char *scratch) {
    if (record() == nullptr) return false;
    bool anyRegistered = false;
    for (int index = 0; index < kBusSlaves; ++index) {
        if (tMsgCallback callback = loadAcquire(mytMsgSlaveCallback[index])) {
            anyRegistered = true;
            if (tMsgGetMasterMsg(scratch, index) >= 0) callback(scratch);
        }
    }
    // Only slave 0's mailbox reaches the master's callback; the master
    // polls the others itself.
    if (tMsgCallback callback = loadAcquire(mytMsgMasterCallback[0])) {
        anyRegistered = true;
        if (tMsgGetSlaveMsg(scratch, 0) >= 0) callback(scratch);
    }
    return anyRegistered;
}

int busUserCount() {
    TMsgRecord *bus = record();
    return bus == nullptr ? -1 : loadAcquire(bus->nUser);
}

}  // namespace kelvo

extern "C" {

KELVO_API int tMsgInit(void) noexcept {
    if (record() != nullptr) return 0;
    int32_t identifier = 0;
    if (!readAnnouncement(identifier)) return -1;
    void *base = attachSegment(identifier);
    if (base == nullptr) return -1;
    auto *mapped = reinterpret_cast<TMsgRecord *>(static_cast<char *>(base) + kBusRecordOffset);
    TMsgRecord *expected = nullptr;
    if (!std::atomic_ref<TMsgRecord *>(psMem).compare_exchange_strong(expected, mapped, std::memory_order_acq_rel)) {
        shmdt(base);  // another thread attached first
    }
    return 0;
}

KELVO_API void initMem(void) noexcept {
    TMsgRecord *bus = record();
    if (bus == nullptr) return;
    // nUser is skipped, not rewritten: other processes may be counting
    // themselves in or out right now.
    auto *bytes = reinterpret_cast<char *>(bus);
    std::memset(bytes, 0, offsetof(TMsgRecord, nUser));
    std::memset(bytes + offsetof(TMsgRecord, reserved0), 0, sizeof(TMsgRecord) - offsetof(TMsgRecord, reserved0));
    for (int32_t &id : bus->slaveId) storeRelease(id, -1);
    storeRelease(bus->masterId, -1);
}

KELVO_API int tMsgRegisterAsMaster(void) noexcept {
    TMsgRecord *bus = record();
    if (bus == nullptr) return -1;
    int32_t seen = loadAcquire(bus->masterId);
    if (seen >= 0) return -1;
    // Opened before the registration shows, so a slave that sees the master
    // finds its mailbox open.
    for (TMsgMailbox &box : bus->toMaster) setReady(box, 1);
    if (!std::atomic_ref<int32_t>(bus->masterId).compare_exchange_strong(seen, 1, std::memory_order_acq_rel)) {
        return -1;  // another process became master meanwhile
    }
    storeRelease(appIsMaster, 1);
    return 0;
}

KELVO_API int tMsgRegisterAsSlave(void) noexcept {
    TMsgRecord *bus = record();
    if (bus == nullptr) return -1;
    for (int index = 0; index < kBusSlaves; ++index) {
        std::atomic_ref<int32_t> id(bus->slaveId[index]);
        int32_t seen = id.load(std::memory_order_acquire);
        // Taken with compare-and-swap: two processes registering at once
        // must not end up sharing one index and its mailboxes.
        while (seen < 0) {
            if (id.compare_exchange_weak(seen, index, std::memory_order_acq_rel)) {
                storeRelease(appIsMaster, 0);
                setReady(bus->toSlave[index], 1);
                return index;
            }
        }
    }
    return -1;
}

KELVO_API int tMsgUnregisterAsMaster(int handle) noexcept {
    TMsgRecord *bus = record();
    if (bus == nullptr || handle < 0) return -1;
    storeRelease(bus->masterId, -1);
    for (TMsgMailbox &box : bus->toMaster) setReady(box, 0);
    storeRelease(appIsMaster, 0);
    if (handle == 0) storeRelease(mytMsgMasterCallback[0], nullptr);
    return handle;
}

KELVO_API int tMsgUnregisterAsSlave(int index) noexcept {
    TMsgRecord *bus = record();
    if (bus == nullptr || !isSlaveIndex(index)) return -1;
    storeRelease(appIsMaster, 0);
    // Closed before the index is given back, so that a slave registering
    // at once under this index keeps the mailbox it opens.
    setReady(bus->toSlave[index], 0);
    storeRelease(bus->slaveId[index], -1);
    storeRelease(mytMsgSlaveCallback[index], nullptr);
    return index;
}

KELVO_API int tMsgSetSlaveCallback(tMsgCallback callback, int index) noexcept {
    if (record() == nullptr || !isSlaveIndex(index)) return -1;
    storeRelease(mytMsgSlaveCallback[index], callback);
    wakeIoThread();
    return 0;
}

KELVO_API int tMsgSetMasterCallback(tMsgCallback callback) noexcept {
    if (record() == nullptr) return -1;
    storeRelease(mytMsgMasterCallback[0], callback);
    wakeIoThread();
    return 0;
}

KELVO_API int tMsgSendMsgToSlave(const char *text, int index) noexcept {
    TMsgRecord *bus = record();
    if (bus == nullptr || text == nullptr || !isSlaveIndex(index)) return -1;
    return sendTo(bus->toSlave[index], text, index);
}

KELVO_API int tMsgSendMsgToAllSlaves(const char *text) noexcept {
    TMsgRecord *bus = record();
    if (bus == nullptr || text == nullptr) return -1;
    int offered = 0;
    for (int index = 0; index < kBusSlaves; ++index) {
        if (loadAcquire(bus->slaveId[index]) < 0) continue;
        ++offered;  // counted whether or not its mailbox was free
        (void)sendTo(bus->toSlave[index], text, index);
    }
    return offered;
}

KELVO_API int tMsgSendMsgToMaster(const char *text, int index) noexcept {
    TMsgRecord *bus = record();
    if (bus == nullptr || text == nullptr || !isSlaveIndex(index)) return -1;
    if (loadAcquire(bus->masterId) == -1) return -1;
    return sendTo(bus->toMaster[index], text, index);
}

KELVO_API int tMsgGetMasterMsg(char *buffer, int index) noexcept {
    TMsgRecord *bus = record();
    if (bus == nullptr || buffer == nullptr || !isSlaveIndex(index)) return -1;
    return readFrom(*bus, bus->toSlave[index], buffer, index);
}

KELVO_API int tMsgGetSlaveMsg(char *buffer, int index) noexcept {
    TMsgRecord *bus = record();
    if (bus == nullptr || buffer == nullptr || !isSlaveIndex(index)) return -1;
    return readFrom(*bus, bus->toMaster[index], buffer, index);
}

KELVO_API int tMsgClearAllSlaveMessages(void) noexcept {
    TMsgRecord *bus = record();
    if (bus == nullptr) return -1;
    for (TMsgMailbox &box : bus->toMaster) {
        if (!claimForReading(box)) continue;  // empty or closed: left as it is
        box.msg[0] = '\0';
        setReady(box, 1);
    }
    return 0;
}

KELVO_API int tMsgGetTimeStamps(int64_t stamps[4], int index) noexcept {
    TMsgRecord *bus = record();
    if (bus == nullptr || stamps == nullptr || !isSlaveIndex(index)) return -1;
    // First the mailbox this process writes to, then the one it reads from.
    const bool master = loadAcquire(appIsMaster) == 1;
    TMsgMailbox &written = master ? bus->toSlave[index] : bus->toMaster[index];
    TMsgMailbox &read = master ? bus->toMaster[index] : bus->toSlave[index];
    stamps[0] = loadStamp(written.tSend);
    stamps[1] = loadStamp(written.tReceive);
    stamps[2] = loadStamp(read.tSend);
    stamps[3] = loadStamp(read.tReceive);
    return 0;
}

}  // extern "C"
