/* SPDX-License-Identifier: MIT */
/*
 * kelvo: drive up to four USB data-acquisition devices that speak SCPI over
 * a serial tty. This header is the application's interface; the transport,
 * the block decoder and the exported state are in kelvo_lowlevel.h.
 *
 * The contract, once:
 *  - Devices live in four slots, numbered 0 to 3. Every operation refuses a
 *    slot number outside 0..3 and then stores no error text anywhere.
 *  - Results: 0 (KELVO_OK) is success; a refusal is -1 or 1 as each function
 *    says; functions that hand out data return a pointer, NULL on failure.
 *    The reason of a refusal is kept as the slot's error text
 *    (kelvoGetLastError). Faults on the background I/O thread leave no text:
 *    they set a sticky bit (KELVO_FAULT_*) in the slot's fault word, read by
 *    kelvoGetFaultBits (and, as text, kelvoGetSystemErrors).
 *  - Texts returned by the library (answers, error texts, the device list,
 *    the version) live in static buffers that the next call of the same kind
 *    overwrites. Never free them.
 *  - One background I/O thread does all serial I/O. It is started when the
 *    library is loaded and stopped when it is unloaded; kelvoInit and
 *    kelvoDeInit do nothing. It sleeps until a device sends, a line it has
 *    bytes for takes them, or the application gives it work, so an idle
 *    library costs no CPU. Calls that wait for it sleep too.
 *  - A device that stops reading holds up nothing but its own slot: what it
 *    does not take stays queued. An unplugged device (its tty hung up) is
 *    noticed at once: the slot's operations then refuse with "fatal I/O
 *    error on Port" and KELVO_FAULT_DISCONNECTED is set; kelvoClose frees
 *    the slot.
 *  - Threads: use one slot from one thread at a time; different slots may be
 *    driven from different threads. kelvoSendCmd calls must not overlap at
 *    all, since every slot's answer lands in one shared buffer; kelvoQuery
 *    answers into the caller's buffer, so its calls on different slots may. Calls that
 *    never wait may be made from any thread, callbacks included.
 *  - Callbacks (stream data, message bus) run on the I/O thread. They must
 *    return quickly and must not call kelvoOpen, kelvoClose,
 *    kelvoSendSCPIbinBlock, kelvoSendCmd or kelvoQuery, which wait for that
 *    thread.
 *  - Time is counted in ticks: 100 ns units of CLOCK_MONOTONIC_RAW.
 */
#ifndef KELVO_H
#define KELVO_H

#include <stdint.h>

#if defined(KELVO_BUILDING_LIBRARY)
#define KELVO_API __attribute__((visibility("default")))
#else
#define KELVO_API
#endif

/* C++ callers see that no exception leaves the library. */
#ifdef __cplusplus
#define KELVO_NOEXCEPT noexcept
#else
#define KELVO_NOEXCEPT
#endif

/* ---- Results ----------------------------------------------------------- */

/* The named results of the calls added since 1.3 (kelvoReadSamples,
 * kelvoStopStream, kelvoStartTogether, the sample clock ...). Every refusal
 * keeps its reason as the slot's error text, as ever. The older calls keep
 * the numbers they always had:
 *
 *   call                              success            refusal  other
 *   kelvoOpen, kelvoClose             0                  1
 *   kelvoSendCmdWhileStreaming        0                  1
 *   kelvoSendSCPIbinBlock             0                  -1 / 1   (slot / length)
 *   kelvoQuery                        answer length      -1       -2 time-out, -3 too long
 *   kelvoGetStreamingData             bytes copied       -1       -2 no data for 200 ms
 *   kelvoSendCmd, kelvoListDevices    a text             NULL
 *   every other int call              0 (or a count)     -1
 */
enum kelvoResult {
    KELVO_OK = 0,            /* success */
    KELVO_REFUSED = -1,      /* bad arguments, or the slot cannot do it now */
    KELVO_TIMEOUT = -2,      /* nothing came within the time-out */
    KELVO_TOO_LONG = -3,     /* the answer does not fit */
    KELVO_DISCONNECTED = -4, /* the device was unplugged; what came before was handed out */
};
#define KELVO_STREAM_TIMEOUT (-2) /* kelvoGetStreamingData: no data for 200 ms */

/* Layout kinds (kelvoLayout.kind). */
#define KELVO_LAYOUT_NONE 0      /* no configuration command learnt yet */
#define KELVO_LAYOUT_ADC24 1     /* "CONFigure:DEVice k": counter + k 32-bit channels */
#define KELVO_LAYOUT_ADC16 2     /* "CONFigure:DEVice 0,a,i,e1,e2": 16-bit words, no counter */
#define KELVO_LAYOUT_SCAN_LIST 3 /* "CONFigure:SCAn:LISt (@...)": counter + one 32-bit word per entry */

/* ---- Fault bits: sticky, one word per slot (kelvoGetFaultBits) ---------- */

#define KELVO_FAULT_STREAM_QUEUE_FULL 0x01u      /* whole samples were lost */
#define KELVO_FAULT_RESPONSE_QUEUE_FULL 0x02u    /* an answer chunk was lost */
#define KELVO_FAULT_ABORT_NO_ROOM 0x04u          /* no room for kelvoClose's "abort\n" */
#define KELVO_FAULT_COMMAND_NO_ROOM 0x08u        /* no room for a kelvoSendCmd command */
#define KELVO_FAULT_TRANSMIT_TOO_LARGE 0x10u     /* transmit queue fuller than the I/O buffer */
#define KELVO_FAULT_ANSWER_TOO_LARGE 0x20u       /* an answer over the answer buffer dropped */
#define KELVO_FAULT_STREAM_COMMAND_NO_ROOM 0x40u /* no room for a kelvoSendCmdWhileStreaming command */
#define KELVO_FAULT_DISCONNECTED 0x80u           /* the tty hung up (device unplugged); kelvoOpen clears it */
#define KELVO_FAULT_STREAM_FRAMING 0x100u        /* stream framing error: a malformed block was skipped */

#ifdef __cplusplus
extern "C" {
#endif

/* ---- Types ------------------------------------------------------------- */

/* Stream payload pushed on the I/O thread; `data` is valid during the call. */
typedef void (*kelvoDataCallback)(const unsigned char *data, int count);

/* A message-bus message, a terminated text valid during the call. */
typedef void (*tMsgCallback)(const char *message);

/* Counts of the slot's current (or last) stream, see kelvoGetStreamStats. */
typedef struct kelvoStreamStats {
    uint64_t blocks;         /* complete blocks decoded */
    uint64_t payloadBytes;   /* payload bytes decoded */
    uint64_t samplesDropped; /* whole samples lost: stream queue full, or cut by a framing error */
    uint64_t framingErrors;  /* malformed blocks (bad header, missing terminator) */
    uint64_t bytesSkipped;   /* bytes thrown away while finding the next block */
    int64_t lastDataTicks;   /* when bytes last arrived (kelvoGetTicks units), 0 if never */
} kelvoStreamStats;

/* Whole samples pushed on the I/O thread (kelvoSetSampleCallback): `count`
 * consecutive samples of the layout's size at `samples`, the stream index of
 * the first and its time on the sample clock (ticks). Valid during the call. */
typedef void (*kelvoSampleCallback)(void *user, const void *samples, int count, int64_t firstIndex, int64_t firstTicks);

/* The fit of a slot's sample clock (kelvoGetSampleClock): sample i was
 * measured at originTicks + (i - originIndex) x periodTicks. */
typedef struct kelvoSampleClock {
    int64_t originIndex;   /* the stream index the origin belongs to */
    double originTicks;    /* the fitted time of sample originIndex, latency taken off */
    double periodTicks;    /* ticks per sample: the device's true rate, drift included */
    double rateHz;         /* samples per second, 10^7 / periodTicks */
    double jitterUs;       /* how far arrivals lie above the fit, their median, in us */
    int64_t samplesFitted; /* samples the fit has seen */
} kelvoSampleClock;

/* A slot's sample layout as the library learnt it (kelvoGetLayout). */
typedef struct kelvoLayout {
    int32_t kind;         /* KELVO_LAYOUT_* */
    int32_t sampleSize;   /* bytes per sample, kelvoGetSampleSize */
    int32_t channelCount; /* values per sample, kelvoGetChannelCount */
    int32_t oversampling; /* the ADC oversampling factor */
    int32_t nAdc24;       /* 24-bit channels (ADC24) */
    int32_t nAdc16;       /* 16-bit ADC channels before oversampling (ADC16) */
    int32_t nImu6;        /* six-axis inertial units (ADC16) */
    int32_t nExtra;       /* extra 16-bit words (ADC16) */
    int32_t hasCounter;   /* 1 when each sample begins with a 32-bit counter */
} kelvoLayout;

/* ---- Lifecycle --------------------------------------------------------- */

/* Do nothing; setting up and tearing down happen when the library is loaded
 * and unloaded. Always 0; any thread; never wait. */
KELVO_API int kelvoInit(void) KELVO_NOEXCEPT;
KELVO_API int kelvoDeInit(void) KELVO_NOEXCEPT;

/* Open the tty `path` in slot `dev`. `path` is a tty path or a line of the
 * device list (kind, tab, path, tab, serial). Opening an open slot closes the
 * earlier port first. 0 opened; 1 not opened (bad slot or path, the tty does
 * not open, the device is busy, no I/O thread); kelvoGetOpenError tells why.
 * One program per device: the slot takes the tty with an exclusive lock
 * (flock) before it touches the line, held until kelvoClose; a device
 * already open, in another slot or another process that locks it, is
 * refused and the slot stays closed. A path that opens but will not take
 * serial-line settings leaves the slot open but failed (1; kelvoClose it).
 * Waits for the I/O thread, at least 110 ms in all; not from a callback. */
KELVO_API int kelvoOpen(int dev, const char *path) KELVO_NOEXCEPT;

/* Why the slot's last kelvoOpen failed, as the message alone: "device busy:
 * opened by another program", the system's text for a path that does not
 * open ("No such file or directory", "Permission denied"), or a refusal such
 * as "path longer than 255 characters". An empty text after a successful
 * open (and before any), NULL for a slot outside 0..3. Leaves
 * kelvoGetLastError's text alone. Never waits; read it from the thread that
 * called kelvoOpen. */
KELVO_API const char *kelvoGetOpenError(int dev) KELVO_NOEXCEPT;

/* Send "abort\n" and close the slot. 0 closed; 1 refused (bad slot, slot not
 * open, no I/O thread). Waits for the I/O thread, at least 20 ms; a device
 * that does not take the bytes gets 500 ms, then they are dropped and the
 * slot closes anyway. While transmission is held (kelvoDisableTx) nothing is
 * sent. Not from a callback. */
KELVO_API int kelvoClose(int dev) KELVO_NOEXCEPT;

/* 1 while slot `dev` holds an open port (also a failed or unplugged one,
 * until kelvoClose), 0 otherwise and for a slot outside 0..3. Any thread;
 * never waits. */
KELVO_API int kelvoIsOpen(int dev) KELVO_NOEXCEPT;

/* ---- Commands ---------------------------------------------------------- */

/* Send `command` (a line feed is appended) and wait for the answer: up to
 * 400 ms for its first byte when the command holds a '?', 30 ms otherwise,
 * then until the line has been quiet for 5 ms. Returns the answer text, or
 * the payload when the answer is one complete definite-length block
 * (*isBinary = 1); *answerLength gets its length. No answer gives an empty
 * text. NULL when refused; *isBinary is 0 then and *answerLength unwritten.
 * Both pointers must not be NULL (the call is refused if they are). A device
 * unplugged during the wait ends it at once: NULL, "fatal I/O error on
 * Port". Not from a callback; calls must not overlap (one answer buffer). */
KELVO_API const char *kelvoSendCmd(int dev, const char *command, int *answerLength, int *isBinary) KELVO_NOEXCEPT;

/* The query call for new programs. Send `command` (a line feed is appended)
 * and wait for exactly one complete answer, which goes into `answer`
 * (`capacity` bytes):
 *  - a text: the bytes up to a line feed, without it and without a CR right
 *    before it, followed by a zero byte;
 *  - a block: an answer that begins with a definite-length block header
 *    ("#", digit count, length) ends with the CR or LF after the payload;
 *    the payload alone is stored (no zero byte added), *isBinary = 1.
 * Returns as soon as the answer is complete. Bytes still waiting from an
 * earlier exchange are dropped first. A command without '?' has no answer:
 * the call returns 0 (an empty text) once the line has taken the command.
 * Results: the answer's length (0 or more); -1 refused (bad, closed, faulty,
 * unplugged or streaming slot, NULL pointer, capacity < 1, no room for the
 * command; also an unplug during the wait, "fatal I/O error on Port");
 * -2 no complete answer within `timeoutMs` ("no complete answer within N
 * ms"; what arrived is dropped); -3 the answer does not fit ("answer longer
 * than N bytes", N = capacity for a block, capacity - 1 for a text; the
 * rest of it is read and dropped, so the next call starts clean). The text
 * of every negative result is kept (kelvoGetLastError); `answer` then holds
 * an empty text. *isBinary is 0 on every result but a block answer.
 * timeoutMs <= 0 means 1000 ms. Configuration commands are learnt as with
 * kelvoSendCmd. Answers of any size arrive whole: the call empties the
 * response queue into `answer` while it waits.
 * Threads: calls on different slots may run at the same time from different
 * threads; calls on one slot must not overlap. Waits (sleeping) at most
 * timeoutMs; not from a callback. */
KELVO_API int kelvoQuery(int dev, const char *command, void *answer, int capacity, int timeoutMs,
                         int *isBinary) KELVO_NOEXCEPT;

/* Upload 1..4096 raw bytes as a definite-length block and wait until the
 * device's line has taken it (two waits, at most 2 s each). 0 sent; -1
 * refused for the slot, the device was unplugged, or the queue did not
 * drain in time (the text says why, e.g. "the device does not take data");
 * 1 refused for the length or a NULL `data`. Not from a callback. */
KELVO_API int kelvoSendSCPIbinBlock(int dev, const void *data, int length) KELVO_NOEXCEPT;

/* ---- Streaming --------------------------------------------------------- */

/* Register (or with NULL remove) the slot's stream callback. 0, or -1 for a
 * slot outside 0..3. While a callback is set nothing reaches the stream
 * queue. The callback is called with whole samples of the layout's size
 * (kelvoGetSampleSize; without a layout, or for samples over 64 KiB, with
 * the payload bytes as they come). Any thread; never waits. */
KELVO_API int kelvoSetCallbackData(int dev, kelvoDataCallback callback) KELVO_NOEXCEPT;

/* Queue a command without waiting for an answer. A command beginning "init"
 * starts streaming, one beginning "abor" stops it once the line has been
 * quiet for 50 ms. 0 handled (a command that finds no room in the transmit
 * queue is dropped and sets KELVO_FAULT_STREAM_COMMAND_NO_ROOM); 1 refused
 * (bad or closed slot, port fault, unplugged, NULL command). Any thread;
 * never waits. */
KELVO_API int kelvoSendCmdWhileStreaming(int dev, const char *command) KELVO_NOEXCEPT;

/* Copy whole samples of `sampleSize` bytes (at most `capacity` bytes) from
 * the slot's stream queue. Returns the byte count (0 or more), -1 refused,
 * KELVO_STREAM_TIMEOUT (-2) when no data came for more than 200 ms. Never
 * waits; any thread. Every payload byte that arrives is queued, so a
 * `sampleSize` other than the layout's (a device the library learnt no
 * layout of, a slot reopened on another device) still gets all of it. When
 * the queue overflows (KELVO_FAULT_STREAM_QUEUE_FULL), samples of the
 * layout's size are lost whole; the ones that remain stay intact. After an
 * unplug it first hands out what arrived before, then returns -1 with
 * "fatal I/O error on Port".
 *
 * A malformed block (a bad header, or no CR or LF after the payload) does
 * not end the stream: the library sets KELVO_FAULT_STREAM_FRAMING, drops
 * the sample the break fell into (whole, for the queue, the callback and
 * the plot alike: a reader whose sampleSize is the layout's never sees
 * the part of it that was queued), skips bytes up to the next well-formed block header that
 * follows a CR or LF and, once the stream had a good block, announces that
 * block's payload length, and goes on there with a new sample. The block
 * after a missing terminator is skipped too: its header follows payload,
 * not a line end. kelvoGetStreamStats counts all of it. */
KELVO_API int kelvoGetStreamingData(int dev, void *destination, int sampleSize, unsigned int capacity) KELVO_NOEXCEPT;

/* Copy the slot's stream counts to *stats. The I/O thread keeps them and
 * sets them to 0 when it takes up a start ("init"); they stay readable after
 * the stream stopped and the slot closed. Each field is a true count at
 * some moment, the fields need not be of the same moment. samplesDropped
 * counts samples of the layout's size (kelvoGetSampleSize) that never
 * reached the stream queue for want of room, and samples a framing error
 * cut short; samples the plot window's queue loses are not counted.
 * bytesSkipped counts the bytes passed over after each framing error until
 * the next good header (a broken header's own bytes included). lastDataTicks
 * is when the I/O thread last read bytes of the stream. 0 copied; -1
 * refused: a slot outside 0..3 (no text) or NULL stats (with a text). Any
 * thread; never waits. */
KELVO_API int kelvoGetStreamStats(int dev, kelvoStreamStats *stats) KELVO_NOEXCEPT;

/* Bytes per stream sample (0 before any layout command); -1 for a bad or
 * closed slot. Any thread; never waits.
 * The layout is learnt from the configuration commands that kelvoSendCmd and
 * kelvoQuery send: CONFigure:DEVice, CONFigure:SCAn:OVErsampling and
 * CONFigure:SCAn:LISt. Each node is matched letter by letter, in any case,
 * and may be given in its short form, its long form or anything in between
 * ("CONF:SCAN:OVER 2"); a misspelt header ("CONF:DEVise 3") teaches nothing.
 * A line of several commands separated by ';' is learnt command by command,
 * a header without a leading ':' after a ';' continuing the path of the
 * command before it ("CONF:SCAN:OVER 2;LIST (@1,2)" also sets the scan
 * list). The library learns from what is sent, not from what the device
 * accepted: read the device's error queue to be sure. */
KELVO_API int kelvoGetSampleSize(int dev) KELVO_NOEXCEPT;

/* The slot's ADC oversampling factor (1 after kelvoOpen); -1 for a bad or
 * closed slot. Any thread; never waits. */
KELVO_API int kelvoGetAdcOversampling(int dev) KELVO_NOEXCEPT;

/* Copy the slot's layout to *layout (kind KELVO_LAYOUT_NONE, all counts 0,
 * before any layout command). Like the decoding calls below it needs no open
 * slot: the layout outlives kelvoClose. KELVO_OK; KELVO_REFUSED for a slot
 * outside 0..3 (no text) or NULL `layout`. Any thread; never waits. */
KELVO_API int kelvoGetLayout(int dev, kelvoLayout *layout) KELVO_NOEXCEPT;

/* ---- Stream verbs: waiting reads, stopping, samples with their index ----
 *
 * The stream index numbers a stream's samples: 0 is the first sample after
 * the start. For layouts with a sample counter (ADC24, scan list) it follows
 * the device's counter, unwrapped past 2^32, so a sample lost anywhere (in
 * the device, on the line, in a full queue, cut by a framing error) shows as
 * a jump in the index. For the 16-bit layout it counts the samples the
 * library received, the ones it dropped included (a block that a framing
 * error makes it skip whole cannot be counted: no counter tells its size). */

/* Wait, sleeping, until at least one whole sample of the layout's size
 * (kelvoGetSampleSize) is queued, or `timeoutMs` passes (0: look once, do not
 * wait); copy up to `capacitySamples` of them to `destination` and store the
 * stream index of the first in *firstIndex (may be NULL). The samples of one
 * call are consecutive: a call ends before a jump in the index, and the next
 * call's index shows the jump. Returns the number of samples copied (1 or
 * more); KELVO_TIMEOUT when none came ("no samples within N ms");
 * KELVO_REFUSED for a bad or closed slot, NULL `destination`,
 * capacitySamples < 1, a negative time-out, no layout, or a slot that does
 * not stream and has nothing queued ("the slot is not streaming");
 * KELVO_DISCONNECTED after an unplug, once everything that arrived before it
 * was handed out ("fatal I/O error on Port"). Takes from the same queue as
 * kelvoGetStreamingData, so use one of the two. Not from a callback; calls on
 * one slot must not overlap. */
KELVO_API int kelvoReadSamples(int dev, void *destination, int capacitySamples, int timeoutMs,
                               int64_t *firstIndex) KELVO_NOEXCEPT;

/* kelvoReadSamples for a caller that wants a batch: waits, sleeping, until
 * `minSamples` (1 .. capacitySamples) consecutive samples are queued, and
 * only then is woken; returns sooner when a jump in the index ends the run
 * (with the samples before it), when half the stream queue is full, when the
 * stream ends or the device is unplugged, or, with what came (at least one),
 * when `timeoutMs` passes. A reader that wants 0.1 s of samples wakes once
 * per 0.1 s, not once per chunk. Results and refusals as kelvoReadSamples
 * ("minSamples must be 1 to the capacity"). */
KELVO_API int kelvoReadSamplesAtLeast(int dev, void *destination, int capacitySamples, int minSamples, int timeoutMs,
                                      int64_t *firstIndex) KELVO_NOEXCEPT;

/* Register (or with NULL remove) the slot's sample callback, which runs on
 * the I/O thread with runs of consecutive whole samples, their stream index
 * and the time of the first on the sample clock (before the clock's second
 * arrival that time leans on the start: see kelvoGetSampleClock). A run ends
 * before a jump in the index. It is called as kelvoSetCallbackData's
 * callback is, and both may be set; while either is set nothing reaches the
 * stream queue. KELVO_OK, or KELVO_REFUSED for a slot outside 0..3. Any
 * thread; never waits. */
KELVO_API int kelvoSetSampleCallback(int dev, kelvoSampleCallback callback, void *user) KELVO_NOEXCEPT;

/* Stop the slot's stream: queue "ABORt" and wait, sleeping, until the slot
 * has left streaming (the line quiet for 50 ms). What arrived stays
 * readable. KELVO_OK at once when the slot does not stream; KELVO_TIMEOUT
 * when it still streams after `timeoutMs` (<= 0 means 1000 ms; the stop
 * stays requested); KELVO_REFUSED for a bad or closed slot or no room for
 * the command; KELVO_DISCONNECTED when the device is unplugged. Not from a
 * callback. */
KELVO_API int kelvoStopStream(int dev, int timeoutMs) KELVO_NOEXCEPT;

/* ---- Sample clock -------------------------------------------------------
 *
 * For every read of a stream the I/O thread notes when the bytes arrived and
 * the stream index of the last sample they completed. From these pairs it
 * fits, online, when each sample was measured: t(i) = origin + i x period,
 * the period (the device's true rate, drift included) estimated too. Arrivals
 * are late by the transport's latency and by scheduling, never early, so the
 * fit follows their lower envelope over the last 32 s, not their mean: a
 * read that a busy machine delays does not move it, and it follows a rate
 * that drifts. With one arrival only, the line runs from the start request to
 * it.
 *
 * The times are when each sample could first have been seen by this host,
 * with jitter removed: the constant delay inside the device and the
 * transport cannot be known here, so devices of one kind align with each
 * other, and kelvoSetSampleLatency takes off a delay known for the device.
 * The fit restarts at each start, and stays readable after the stream stops
 * and the slot closes. */

/* Copy the slot's fit now to *clock. KELVO_OK; KELVO_REFUSED for a slot
 * outside 0..3 (no text), NULL `clock`, or before the first arrival of a
 * stream ("no sample clock yet: the stream has delivered no samples"). Any
 * thread; never waits. */
KELVO_API int kelvoGetSampleClock(int dev, kelvoSampleClock *clock) KELVO_NOEXCEPT;

/* The fitted time (ticks) of each of `count` consecutive samples from
 * stream index `firstIndex` on, into `ticks`; any index, also past or future
 * ones (the fit extrapolates). Returns `count`; KELVO_REFUSED as
 * kelvoGetSampleClock, and for a negative count or NULL `ticks`. Any thread;
 * never waits. */
KELVO_API int kelvoGetSampleTimes(int dev, int64_t firstIndex, int count, int64_t *ticks) KELVO_NOEXCEPT;

/* A delay known to lie between a sample's measurement and its arrival at
 * this host (the device's filter, its USB frame): taken off every time the
 * slot's clock gives from now on. 0 at load; kept until changed, through
 * starts and reopening. KELVO_OK; KELVO_REFUSED for a slot outside 0..3 or
 * a negative delay. Any thread; never waits. */
KELVO_API int kelvoSetSampleLatency(int dev, int64_t ticks) KELVO_NOEXCEPT;

/* ---- Decoded samples --------------------------------------------------- */

/* Whole samples of the slot's current layout (the one kelvoGetSampleSize
 * measures) become float values of full scale +-1.0, one per channel; the
 * plot window draws its traces from the same conversion. The devices send
 * little-endian words. The channels of each layout kind, in sample order:
 *  - 24-bit layout ("CONFigure:DEVice k", k > 0): a 32-bit sample counter
 *    (not a channel; kelvoGetSampleCounters), then one 32-bit word per
 *    channel with the converter's 24 bits at the top, scaled by 2^-31:
 *    "Adc24_1" .. "Adc24_k".
 *  - 16-bit layout ("CONFigure:DEVice 0,a,i,e1,e2"): one channel per 16-bit
 *    word, scaled by 2^-15, no counter:
 *      the ADC words, a x the oversampling factor, in the order the device
 *      sends them (all readings of channel 1, then of channel 2 ...):
 *      "Adc16_1", "Adc16_2" ...; with factor 2 "Adc16_1", "Adc16_1_2",
 *      "Adc16_2", "Adc16_2_2" ... ("_2": the second reading in the sample);
 *      six words per inertial unit, accelerometer then gyroscope axes:
 *      "Imu6_1_x", "Imu6_1_y", "Imu6_1_z", "Imu6_1_gx", "Imu6_1_gy",
 *      "Imu6_1_gz", "Imu6_2_x" ...;
 *      the extra words (e1 + e2 of them, whatever is left of the sample):
 *      "Extra_1", "Extra_2" ...
 *    The counts are those of the layout record, cut at the end of the
 *    sample: a count that the last layout command did not give keeps its
 *    older value, and a word beyond the counted ones is an extra word.
 *  - Scan list ("CONFigure:SCAn:LISt (@n1,n2,...)"): kelvoGetSampleSize
 *    bytes, a 32-bit sample counter and one 32-bit word per listed channel,
 *    scaled as in the 24-bit layout, named after the listed channel numbers:
 *    "Adc24_n1", "Adc24_n2" ...; a number listed again gets "_2", "_3" ...
 *    for its further readings ("Adc24_5_2"), and a piece of the list that is
 *    no number is named by its position ("Scan_3").
 * Channel names are unique within a layout. None of these calls needs the
 * slot to be open: the layout outlives kelvoClose. Each refusal of a slot
 * in 0..3 keeps its reason as the slot's error text. */

/* Channels of the slot's layout: 0 before any layout; -1 for a slot outside
 * 0..3. Any thread; never waits. */
KELVO_API int kelvoGetChannelCount(int dev) KELVO_NOEXCEPT;

/* The name of channel `channel` (0 .. count-1) of the slot's layout, as
 * listed above; NULL for a slot outside 0..3, no layout, or a channel out of
 * range. The text lives in the slot's name table: it stays until the layout
 * changes or the name of a channel 1024 further on is asked for. The thread
 * that uses the slot; never waits. */
KELVO_API const char *kelvoGetChannelName(int dev, int channel) KELVO_NOEXCEPT;

/* Convert `sampleCount` whole samples at `raw` (sampleCount x
 * kelvoGetSampleSize bytes, as kelvoGetStreamingData hands them out) into
 * sampleCount x kelvoGetChannelCount floats at `values`, row by row (all
 * channels of the first sample, then of the second ...). Returns
 * sampleCount; -1 refused: a slot outside 0..3, NULL `raw` or `values`, a
 * negative count, no layout. Allocates nothing. Any thread; never waits. */
KELVO_API int kelvoDecodeSamples(int dev, const void *raw, int sampleCount, float *values) KELVO_NOEXCEPT;

/* The 32-bit sample counters of `sampleCount` whole samples at `raw`, into
 * `counters` (sampleCount entries), for the layouts that have one (24-bit
 * and scan list). Returns sampleCount; -1 refused as kelvoDecodeSamples, and
 * for a 16-bit layout, which has no counter. Any thread; never waits. */
KELVO_API int kelvoGetSampleCounters(int dev, const void *raw, int sampleCount, uint32_t *counters) KELVO_NOEXCEPT;

/* ---- Synchronized start ------------------------------------------------ */

/* Hold all transmission; queue start commands; release them in one moment
 * with kelvoEnableTx. Both return 0; any thread; never wait. */
KELVO_API int kelvoDisableTx(void) KELVO_NOEXCEPT;
KELVO_API int kelvoEnableTx(void) KELVO_NOEXCEPT;

/* Current time in ticks (100 ns of CLOCK_MONOTONIC_RAW). Any thread. */
KELVO_API int64_t kelvoGetTicks(void) KELVO_NOEXCEPT;

/* The slot's four start stamps: released, sent, first bytes back, first
 * payload delivered. 0 copied; -1 for a bad or closed slot or NULL `stamps`.
 * Any thread; never waits. */
KELVO_API int kelvoGetTimeStampsFromSynchronizedGroup(int dev, int64_t stamps[4]) KELVO_NOEXCEPT;

/* The synchronized start of `count` (1..4) different open slots: hold all
 * transmission, queue `startCommand` (which must begin with "init", in any
 * case) on every slot, release them together, and wait, sleeping, until
 * every slot delivered its first payload. The four stamps stay readable as
 * above. KELVO_OK; KELVO_TIMEOUT when a slot delivered nothing within
 * `timeoutMs` (<= 0 means 1000 ms; the streams stay started: stop them);
 * KELVO_REFUSED for a bad list or command (the text goes to the first slot
 * of the list) or a slot that cannot start (its own text; then nothing was
 * started). Not from a callback. */
KELVO_API int kelvoStartTogether(const int *devs, int count, const char *startCommand, int timeoutMs) KELVO_NOEXCEPT;

/* How far apart the start commands of the slots' last synchronized start
 * went out: the largest minus the smallest "sent" stamp (stamp 1), in ticks,
 * into *spreadTicks. KELVO_OK; KELVO_REFUSED for a bad list, NULL
 * `spreadTicks`, or a slot whose last start has no "sent" stamp (it was not
 * started together with the others). Any thread; never waits. */
KELVO_API int kelvoGetStartSpread(const int *devs, int count, int64_t *spreadTicks) KELVO_NOEXCEPT;

/* ---- Errors and diagnostics -------------------------------------------- */

/* The slot's last error text once, then an empty text until the next error.
 * NULL for a slot outside 0..3 or a slot whose port is closed. The thread
 * that uses the slot; never waits. */
KELVO_API const char *kelvoGetLastError(int dev) KELVO_NOEXCEPT;

/* Read the device's error queue: ask "SYSTem:ERRor?" until the device
 * answers with error number 0 ("0,..." or "+0,..."), at most 32 times, each
 * answer awaited up to 1000 ms. 0 when there was no error; 1 when there was,
 * the first error's answer ('-113,"Undefined header"') copied to `text`
 * (cut to capacity - 1 bytes and terminated; `text` may be NULL when
 * capacity is 0); KELVO_TIMEOUT when the device does not answer;
 * KELVO_REFUSED for a bad, closed, streaming or unplugged slot or a NULL
 * `text` with capacity > 0. The errors read are gone from the device's
 * queue. Not from a callback; as kelvoQuery for threads. */
KELVO_API int kelvoCheckDeviceErrors(int dev, char *text, int capacity) KELVO_NOEXCEPT;

/* The slot's sticky fault word (KELVO_FAULT_* bits); 0 for a slot outside
 * 0..3. Reading does not clear it. Any thread; never waits. */
KELVO_API uint32_t kelvoGetFaultBits(int dev) KELVO_NOEXCEPT;

/* Clear the fault words of all slots. Any thread; never waits. */
KELVO_API void kelvoClearSystemErrors(void) KELVO_NOEXCEPT;

/* With debugLevel 1 (kelvo_lowlevel.h) and any fault bit set, the four fault
 * words as "0x..,0x..,0x..,0x..,"; otherwise an empty text. One static
 * buffer: calls must not overlap. Never waits. */
KELVO_API const char *kelvoGetSystemErrors(void) KELVO_NOEXCEPT;

/* The library's version, e.g. "1.3.0.0". Any thread; never waits. */
KELVO_API const char *kelvoGetVersion(void) KELVO_NOEXCEPT;

/* ---- Device discovery -------------------------------------------------- */

/* Lines "kind\tpath\tserial\n" of the attached devices; an empty text when
 * none. kelvoListAllDevices adds other USB ttys as "foreign". Wait for the
 * ls and udevadm runs they start (some ms per tty). A udevadm or ls that
 * runs longer than 5 s is ended, and what was listed until then is
 * returned. One static buffer, so calls must not overlap; not from a
 * callback. */
KELVO_API const char *kelvoListDevices(void) KELVO_NOEXCEPT;
KELVO_API const char *kelvoListAllDevices(void) KELVO_NOEXCEPT;

/* ---- Message bus ------------------------------------------------------- */

/* A bus between processes in a shared segment: one master, up to four
 * slaves, one 256-byte mailbox each way per slave. None of these calls
 * waits; any thread. Every int result is -1 on failure: no segment
 * attached, a slave index outside 0..3, a NULL pointer, a mailbox closed or
 * full, nothing new. */

/* Attach the segment announced in /tmp/xyzServer.id. 0 attached (or already
 * was), -1 not. */
KELVO_API int tMsgInit(void) KELVO_NOEXCEPT;
KELVO_API int tMsgRegisterAsMaster(void) KELVO_NOEXCEPT;         /* 0, the handle; -1 a master exists */
KELVO_API int tMsgRegisterAsSlave(void) KELVO_NOEXCEPT;          /* slave index 0..3; -1 all taken */
KELVO_API int tMsgUnregisterAsMaster(int handle) KELVO_NOEXCEPT; /* the handle */
KELVO_API int tMsgUnregisterAsSlave(int index) KELVO_NOEXCEPT;   /* the index */
/* Callbacks run on the I/O thread; NULL removes one. 0 set. */
KELVO_API int tMsgSetSlaveCallback(tMsgCallback callback, int index) KELVO_NOEXCEPT;
KELVO_API int tMsgSetMasterCallback(tMsgCallback callback) KELVO_NOEXCEPT;
/* Texts are cut at 255 characters. The index when sent; to all slaves, the
 * count of registered slaves offered the text (a full mailbox drops it). */
KELVO_API int tMsgSendMsgToSlave(const char *text, int index) KELVO_NOEXCEPT;
KELVO_API int tMsgSendMsgToAllSlaves(const char *text) KELVO_NOEXCEPT;
KELVO_API int tMsgSendMsgToMaster(const char *text, int index) KELVO_NOEXCEPT; /* -1 no master */
/* The index when a message was taken. `buffer` takes at least 256 bytes; it
 * always receives a terminated text. */
KELVO_API int tMsgGetMasterMsg(char *buffer, int index) KELVO_NOEXCEPT;
KELVO_API int tMsgGetSlaveMsg(char *buffer, int index) KELVO_NOEXCEPT;
/* Empty the mailboxes to the master. 0. */
KELVO_API int tMsgClearAllSlaveMessages(void) KELVO_NOEXCEPT;
/* Send and receive stamps (ticks) of the mailbox this process writes to,
 * then of the one it reads from. 0 copied. */
KELVO_API int tMsgGetTimeStamps(int64_t stamps[4], int index) KELVO_NOEXCEPT;

/* ---- Plot window ------------------------------------------------------- */

/* Call these from one application thread, never from a callback
 * (kelvoPlotWindowIsOpen excepted). */

/* Open the plot window (closing an open one first) and start its render
 * thread; waits until the window is up or has failed. Always 0: on failure
 * no window exists (pWindow in kelvo_lowlevel.h stays NULL) and
 * SDL_GetError() on the calling thread says why. */
KELVO_API int sdl2Window(int x, int y, int width, int height) KELVO_NOEXCEPT;
/* Lay the plot out for slot `dev`'s stream layout, `span` samples across the
 * window, and start feeding it. 0, or -1 for a slot outside 0..3 or when
 * there is no memory for the layout (SDL_GetError() tells; the plot stays
 * empty). With a window open, waits until its render thread took the layout
 * (about one 30 ms frame). */
KELVO_API int sdl2WindowConfigure(int dev, int span) KELVO_NOEXCEPT;
/* Stop the render thread and close the window. 0. Waits for the render
 * thread to end (about one frame). */
KELVO_API int sdl2KillWindow(void) KELVO_NOEXCEPT;
/* Set the title of the open window (UTF-8, cut to 511 bytes; a new window
 * is titled "SDL Output"). 0 once the window shows it, or -1 for a NULL
 * `title` or when no window's render thread runs. Waits about one frame.
 * Call it from the thread that opened the window. */
KELVO_API int kelvoSetPlotTitle(const char *title) KELVO_NOEXCEPT;
/* 1 while the window's render thread runs; 0 when no window exists, or once
 * the user closed the window (it then stays on screen, frozen, until
 * sdl2KillWindow). Any thread may ask, as often as it likes: it only reads
 * two flags. */
KELVO_API int kelvoPlotWindowIsOpen(void) KELVO_NOEXCEPT;

/* Why the last plot call that failed (sdl2Window, sdl2WindowConfigure,
 * kelvoSetPlotTitle) failed, the text SDL_GetError() gave then on the
 * calling thread ("sdl2Window: ..."); an empty text when the last of them
 * succeeded. A static buffer: read it from the thread that made the plot
 * calls. Never waits. */
KELVO_API const char *kelvoGetPlotError(void) KELVO_NOEXCEPT;

#ifdef __cplusplus
}
#endif

#endif /* KELVO_H */
