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

#define KELVO_OK 0                /* success, for every int result */
#define KELVO_STREAM_TIMEOUT (-2) /* kelvoGetStreamingData: no data for 200 ms */

/* ---- Fault bits: sticky, one word per slot (kelvoGetFaultBits) ---------- */

#define KELVO_FAULT_STREAM_QUEUE_FULL 0x01u      /* whole samples were lost */
#define KELVO_FAULT_RESPONSE_QUEUE_FULL 0x02u    /* an answer chunk was lost */
#define KELVO_FAULT_ABORT_NO_ROOM 0x04u          /* no room for kelvoClose's "abort\n" */
#define KELVO_FAULT_COMMAND_NO_ROOM 0x08u        /* no room for a kelvoSendCmd command */
#define KELVO_FAULT_TRANSMIT_TOO_LARGE 0x10u     /* transmit queue fuller than the I/O buffer */
#define KELVO_FAULT_ANSWER_TOO_LARGE 0x20u       /* an answer over the answer buffer dropped */
#define KELVO_FAULT_STREAM_COMMAND_NO_ROOM 0x40u /* no room for a kelvoSendCmdWhileStreaming command */
#define KELVO_FAULT_DISCONNECTED 0x80u           /* the tty hung up (device unplugged) */
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
 * waits; any thread. The queue holds whole samples of the layout's size
 * only. When it overflows (KELVO_FAULT_STREAM_QUEUE_FULL), samples are lost
 * whole; the ones that remain stay intact. After an unplug it first hands
 * out what arrived before, then returns -1 with "fatal I/O error on Port".
 *
 * A malformed block (a bad header, or no CR or LF after the payload) does
 * not end the stream: the library sets KELVO_FAULT_STREAM_FRAMING, drops
 * the sample the break fell into (whole, for the queue, the callback and
 * the plot alike), skips bytes up to the next well-formed block header that
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

/* ---- Errors and diagnostics -------------------------------------------- */

/* The slot's last error text once, then an empty text until the next error.
 * NULL for a slot outside 0..3 or a slot whose port is closed. The thread
 * that uses the slot; never waits. */
KELVO_API const char *kelvoGetLastError(int dev) KELVO_NOEXCEPT;

/* The slot's sticky fault word (KELVO_FAULT_* bits); 0 for a slot outside
 * 0..3. Reading does not clear it. Any thread; never waits. */
KELVO_API uint32_t kelvoGetFaultBits(int dev) KELVO_NOEXCEPT;

/* Clear the fault words of all slots. Any thread; never waits. */
KELVO_API void kelvoClearSystemErrors(void) KELVO_NOEXCEPT;

/* With debugLevel 1 (kelvo_lowlevel.h) and any fault bit set, the four fault
 * words as "0x..,0x..,0x..,0x..,"; otherwise an empty text. One static
 * buffer: calls must not overlap. Never waits. */
KELVO_API const char *kelvoGetSystemErrors(void) KELVO_NOEXCEPT;

/* The library's version, e.g. "1.2.0.2". Any thread; never waits. */
KELVO_API const char *kelvoGetVersion(void) KELVO_NOEXCEPT;

/* ---- Device discovery -------------------------------------------------- */

/* Lines "kind\tpath\tserial\n" of the attached devices; an empty text when
 * none. kelvoListAllDevices adds other USB ttys as "foreign". Wait for the
 * ls and udevadm runs they start (some ms per tty); one static buffer, so
 * calls must not overlap; not from a callback. */
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

#ifdef __cplusplus
}
#endif

#endif /* KELVO_H */
