/* SPDX-License-Identifier: MIT */
/* kelvo.h alone serves a C99 application: it compiles as plain C without the
 * low-level header, and the program links and runs. */
#include <kelvo.h>
#include <stdio.h>
#include <string.h>

#ifdef KELVO_LOWLEVEL_H
#error "kelvo.h must not pull in kelvo_lowlevel.h"
#endif

int main(void) {
    int length = 0, binary = 1;
    int64_t stamps[4];
    char answer[16];
    float value;
    uint32_t counter;
    kelvoDataCallback onData = NULL;
    tMsgCallback onMessage = NULL;
    const uint32_t allFaults =
        KELVO_FAULT_STREAM_QUEUE_FULL | KELVO_FAULT_RESPONSE_QUEUE_FULL | KELVO_FAULT_ABORT_NO_ROOM |
        KELVO_FAULT_COMMAND_NO_ROOM | KELVO_FAULT_TRANSMIT_TOO_LARGE | KELVO_FAULT_ANSWER_TOO_LARGE |
        KELVO_FAULT_STREAM_COMMAND_NO_ROOM | KELVO_FAULT_DISCONNECTED | KELVO_FAULT_STREAM_FRAMING;
    kelvoStreamStats stats;
    if (allFaults != 0x1ffu) return 1;
    if (kelvoGetStreamStats(4, &stats) != -1 || kelvoGetStreamStats(0, &stats) != KELVO_OK) return 7;
    if (strcmp(kelvoGetVersion(), "") == 0) return 2;
    if (kelvoSendCmd(7, "*IDN?", &length, &binary) != NULL || binary != 0) return 3;
    binary = 1;
    if (kelvoQuery(7, "*IDN?", answer, (int)sizeof answer, 0, &binary) != -1 || binary != 0) return 6;
    if (kelvoSetCallbackData(0, onData) != KELVO_OK || kelvoGetFaultBits(4) != 0) return 4;
    if (kelvoGetTimeStampsFromSynchronizedGroup(-1, stamps) != -1) return 5;
    if (kelvoGetChannelCount(4) != -1 || kelvoGetChannelName(4, 0) != NULL) return 7;
    if (kelvoDecodeSamples(-1, answer, 1, &value) != -1 || kelvoGetSampleCounters(-1, answer, 1, &counter) != -1)
        return 8;
    (void)onMessage;
    puts("C client ok");
    return 0;
}
