// SPDX-License-Identifier: MIT
// The message-bus record as it lies in the System V segment, a format shared
// with every process that attaches the segment (and with the program that
// creates it).
//
// The record starts 4 bytes into the page-aligned segment. That puts each
// mailbox's isFull/isReady pair on an 8-byte boundary, so a sender can
// publish both with one 8-byte store, and the 64-bit stamps 4 bytes off one.
// The stamps are therefore kept as two 32-bit halves in memory order, never
// loaded as one misaligned 64-bit word, and the whole record only needs
// 4-byte alignment.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kelvo {

inline constexpr int kBusSlaves = 4;
inline constexpr int kBusTextSize = 256;              // text plus terminator
inline constexpr std::size_t kBusRecordOffset = 4;    // of the record in the segment
inline constexpr std::size_t kBusSegmentSize = 2372;  // the least the library needs
inline constexpr const char kBusAnnouncementPath[] = "/tmp/xyzServer.id";

}  // namespace kelvo

struct TMsgMailbox {
    char msg[kelvo::kBusTextSize];
    int32_t reserved0;
    int32_t isFull;   // 1: holds a message not yet read
    int32_t isReady;  // 1: the sender may put a message in
    int32_t reserved1;
    uint32_t tSend[2];  // signed 64-bit ticks, as two halves in memory order
    uint32_t tReceive[2];
};

struct TMsgRecord {
    TMsgMailbox toMaster[kelvo::kBusSlaves];  // slave i -> master
    TMsgMailbox toSlave[kelvo::kBusSlaves];   // master -> slave i
    int32_t nUser;
    int32_t reserved0;
    int32_t slaveId[kelvo::kBusSlaves];  // -1 free, i taken
    int32_t masterId;                    // -1 none, 1 registered
    int32_t reserved1[9];
};

static_assert(offsetof(TMsgMailbox, msg) == 0);
static_assert(offsetof(TMsgMailbox, isFull) == 260);
static_assert(offsetof(TMsgMailbox, isReady) == 264);
static_assert(offsetof(TMsgMailbox, tSend) == 272);
static_assert(offsetof(TMsgMailbox, tReceive) == 280);
static_assert(sizeof(TMsgMailbox) == 288);
static_assert(offsetof(TMsgRecord, toMaster) == 0);
static_assert(offsetof(TMsgRecord, toSlave) == 1152);
static_assert(offsetof(TMsgRecord, nUser) == 2304);
static_assert(offsetof(TMsgRecord, reserved0) == 2308);
static_assert(offsetof(TMsgRecord, slaveId) == 2312);
static_assert(offsetof(TMsgRecord, masterId) == 2328);
static_assert(offsetof(TMsgRecord, reserved1) == 2332);
static_assert(sizeof(TMsgRecord) == 2368);
static_assert(alignof(TMsgRecord) == 4);
static_assert(kelvo::kBusRecordOffset + sizeof(TMsgRecord) == kelvo::kBusSegmentSize);
// The pair stored as one word must sit 8-aligned within a page-aligned segment.
static_assert((kelvo::kBusRecordOffset + offsetof(TMsgMailbox, isFull)) % 8 == 0);
static_assert(sizeof(TMsgMailbox) % 8 == 0);
