/*
 * kelvo: drive up to four USB data-acquisition devices that speak SCPI over
 * a serial tty.
 *
 * The contract, once:
 *  - Devices live in four slots, numbered 0 to 3. Every operation refuses a
 *    slot number outside 0..3 and then stores no error text anywhere.
 *  - Results: 0 is success; a refusal is -1 or 1 as each function says;
 *    functions that hand out data return a pointer, NULL on failure. The
 *    reason of a refusal is kept as the slot's error text
 *    (kelvoGetLastError). Faults on the background I/O thread leave no text:
 *    they set a sticky bit in the slot's fault word (kelvoGetSystemErrors).
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
 *    error on Port" and fault bit 0x80 is set; kelvoClose frees the slot.
 *  - Threads: use one slot from one thread at a time; different slots may be
 *    driven from different threads. kelvoSendCmd calls must not overlap at
 *    all, since every slot's answer lands in one shared buffer.
 *  - Callbacks (stream data, message bus) run on the I/O thread. They must
 *    return quickly and must not call kelvoOpen, kelvoClose,
 *    kelvoSendSCPIbinBlock or kelvoSendCmd, which wait for that thread.
 *  - Time is counted in ticks: 100 ns units of CLOCK_MONOTONIC_RAW.
 */
#ifndef KELVO_H
#define KELVO_H

#include <pthread.h>
#include <stdint.h>

#if defined(KELVO_BUILDING_LIBRARY)
#define KELVO_API __attribute__((visibility("default")))
#else
#define KELVO_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* ---- Shared types ------------------------------------------------------ */

/* Single-producer single-consumer byte ring; empty when head == tail, one
 * byte is always kept free, so a ring of `size` bytes holds size - 1. */
typedef struct ByteRing {
    uint32_t head;
    uint32_t tail;
    uint8_t *buffer;
    uint32_t size;
} ByteRing;

/* One SCPI definite-length block decoder ("#", digit count, length, payload,
 * CR or LF). Caller-owned; reset before first use. */
typedef struct SCPIdecoderState {
    int32_t state, count, length, error;
    char header[16];
} SCPIdecoderState;

/* The stream layout of a slot, learnt from its configuration commands. */
typedef struct FiltInfo {
    int32_t oversampling, sampleBytes, nAdc24, nAdc16, nImu6, isAdc24;
} FiltInfo;

/* Stream payload pushed on the I/O thread; `data` is valid during the call. */
typedef void (*kelvoDataCallback)(const unsigned char *data, int count);

/* A message-bus message, a terminated text valid during the call. */
typedef void (*tMsgCallback)(const char *message);

/* ---- Lifecycle --------------------------------------------------------- */

/* Do nothing; setting up and tearing down happen when the library is loaded
 * and unloaded. Always 0. */
KELVO_API int kelvoInit(void);
KELVO_API int kelvoDeInit(void);

/* Open the tty `path` in slot `dev`. `path` is a tty path or a line of the
 * device list (kind, tab, path, tab, serial). Opening an open slot closes the
 * earlier port first. 0 opened, 1 not opened. Takes at least 110 ms. */
KELVO_API int kelvoOpen(int dev, const char *path);

/* Send "abort\n" and close the slot. 0 closed, 1 refused. A device that does
 * not take the bytes gets 500 ms; then they are dropped and the slot closes
 * anyway. While transmission is held (kelvoDisableTx) nothing is sent. */
KELVO_API int kelvoClose(int dev);

/* Start and stop the I/O thread; the load and unload hooks call them. 0. */
KELVO_API int myInit(int unused);
KELVO_API int myDeInit(void);

/* Record "name(dev=N):message" as the slot's error text; nothing for a slot
 * outside 0..3. */
KELVO_API void buildErrMsg(int dev, const char *name, const char *message);

/* ---- Commands ---------------------------------------------------------- */

/* Send `command` (a line feed is appended) and wait for the answer: up to
 * 400 ms for its first byte when the command holds a '?', 30 ms otherwise,
 * then until the line has been quiet for 5 ms. Returns the answer text, or
 * the payload when the answer is one complete definite-length block
 * (*isBinary = 1); *answerLength gets its length. No answer gives an empty
 * text. NULL when refused; *isBinary is 0 then and *answerLength unwritten.
 * Both pointers must not be NULL (the call is refused if they are). A device
 * unplugged during the wait ends it at once: NULL, "fatal I/O error on
 * Port". */
KELVO_API const char *kelvoSendCmd(int dev, const char *command, int *answerLength, int *isBinary);

/* Upload 1..4096 raw bytes as a definite-length block and wait until the
 * device's line has taken it (at most 2 s per wait). 0 sent; -1 refused for
 * the slot, the device was unplugged, or the queue did not drain in time (the
 * text says why, e.g. "the device does not take data"); 1 refused for the
 * length. */
KELVO_API int kelvoSendSCPIbinBlock(int dev, const void *data, int length);

/* ---- Streaming --------------------------------------------------------- */

/* Register (or with NULL remove) the slot's stream callback. 0, or -1 for a
 * slot outside 0..3. While a callback is set nothing reaches the stream
 * queue. */
KELVO_API int kelvoSetCallbackData(int dev, kelvoDataCallback callback);

/* Queue a command without waiting for an answer. A command beginning "init"
 * starts streaming, one beginning "abor" stops it once the line has been
 * quiet for 50 ms. 0 handled, 1 refused. */
KELVO_API int kelvoSendCmdWhileStreaming(int dev, const char *command);

/* Copy whole samples of `sampleSize` bytes (at most `capacity` bytes) from
 * the slot's stream queue. Returns the byte count (0 or more), -1 refused,
 * -2 when no data came for more than 200 ms. Never waits. When the queue
 * overflows (fault bit 0x01), samples of the layout's size are lost whole;
 * the ones that remain stay intact. After an unplug it first hands out what
 * arrived before, then returns -1 with "fatal I/O error on Port". */
KELVO_API int kelvoGetStreamingData(int dev, void *destination, int sampleSize, unsigned int capacity);

/* Bytes per stream sample (0 before any layout command); -1 refused. */
KELVO_API int kelvoGetSampleSize(int dev);

/* The slot's ADC oversampling factor (1 after kelvoOpen); -1 refused. */
KELVO_API int kelvoGetAdcOversampling(int dev);

/* ---- Synchronized start ------------------------------------------------ */

/* Hold all transmission; queue start commands; release them in one moment
 * with kelvoEnableTx. Both return 0. */
KELVO_API int kelvoDisableTx(void);
KELVO_API int kelvoEnableTx(void);

/* Current time in ticks (100 ns of CLOCK_MONOTONIC_RAW). */
KELVO_API int64_t kelvoGetTicks(void);

/* The slot's four start stamps: released, sent, first bytes back, first
 * payload delivered. 0 copied; -1 refused. */
KELVO_API int kelvoGetTimeStampsFromSynchronizedGroup(int dev, int64_t stamps[4]);

/* ---- Errors and diagnostics -------------------------------------------- */

/* The slot's last error text once, then an empty text until the next error.
 * NULL for a slot outside 0..3 or a slot whose port is closed. */
KELVO_API const char *kelvoGetLastError(int dev);

/* The sticky fault bits of a slot's fault word (kelvoGetSystemErrors):
 *   0x01 stream queue full: whole samples were lost
 *   0x02 response queue full: an answer chunk was lost
 *   0x04 no room for kelvoClose's "abort\n"
 *   0x08 no room for a kelvoSendCmd command
 *   0x10 transmit queue fuller than the I/O thread's buffer
 *   0x20 an answer larger than the answer buffer was dropped
 *   0x40 no room for a kelvoSendCmdWhileStreaming command
 *   0x80 device disconnected: its tty hung up (unplugged)
 * Clear them for all slots: */
KELVO_API void kelvoClearSystemErrors(void);

/* With debugLevel 1 and any fault bit set, the four fault words as
 * "0x..,0x..,0x..,0x..,"; otherwise an empty text. */
KELVO_API const char *kelvoGetSystemErrors(void);

/* "1.2.0.2". */
KELVO_API const char *kelvoGetVersion(void);

/* Print the bus user count (when attached) and whether the I/O thread runs. */
KELVO_API int test(void);

/* ---- Serial transport (used by the I/O thread) ------------------------- */

/* Open `path` non-blocking, raw 8N1 at 9600 Bd, raise DTR and RTS, store the
 * descriptor in *port. 0 opened; 1 failed (also for a path that opens but is
 * no terminal: the descriptor is then stored and open). */
KELVO_API int openSerialPort(int *port, const char *path);
/* Bytes read without waiting (0 when none or on failure). */
KELVO_API int readFromSerialPort(int fd, void *buffer, int capacity);
/* Write what the line takes now, without waiting: the count written (may be
 * short, 0 when the line is full), -1 on failure, 0 for fd -1. */
KELVO_API int writeToSerialPort(int fd, const void *buffer, int count);
/* Drop DTR and RTS, close *port and set it to -1. 0. */
KELVO_API int closeSerialPort(int *port);
/* 1 when the tty `fd` is hung up (its device unplugged), else 0. Asks the
 * descriptor itself; touches no shared state. */
KELVO_API int isSerialPortDisconnected(int fd);

/* ---- SCPI block decoder ------------------------------------------------ */

/* Step `decoder` with one received byte; 1 when the byte is payload. */
KELVO_API int SCPIdecoder(SCPIdecoderState *decoder, int ch);
/* Return the decoder to idle. */
KELVO_API void SCPIdecoderReset(SCPIdecoderState *decoder);

/* ---- Device discovery -------------------------------------------------- */

/* Lines "kind\tpath\tserial\n" of the attached devices; an empty text when
 * none. kelvoListAllDevices adds other USB ttys as "foreign". */
KELVO_API const char *kelvoListDevices(void);
KELVO_API const char *kelvoListAllDevices(void);
/* Set the listing mode (non-zero: all USB ttys) for serialportinfo. */
KELVO_API void listAllSerialDevices(int all);
/* The device list in the current mode. */
KELVO_API const char *serialportinfo(void);

/* ---- Message bus ------------------------------------------------------- */

struct TMsgRecord;

/* Attach the segment announced in /tmp/xyzServer.id. 0 attached, -1 not. */
KELVO_API int tMsgInit(void);
/* Reset the bus record (user count kept). */
KELVO_API void initMem(void);
/* Every call below returns -1 on failure (no segment, index outside 0..3,
 * mailbox closed or full, nothing new). */
KELVO_API int tMsgRegisterAsMaster(void);            /* 0, the handle */
KELVO_API int tMsgRegisterAsSlave(void);             /* slave index 0..3 */
KELVO_API int tMsgUnregisterAsMaster(int handle);
KELVO_API int tMsgUnregisterAsSlave(int index);
KELVO_API int tMsgSetSlaveCallback(tMsgCallback callback, int index);
KELVO_API int tMsgSetMasterCallback(tMsgCallback callback);
KELVO_API int tMsgSendMsgToSlave(const char *text, int index);
KELVO_API int tMsgSendMsgToAllSlaves(const char *text); /* slaves offered */
KELVO_API int tMsgSendMsgToMaster(const char *text, int index);
/* `buffer` takes at least 256 bytes; it always receives a terminated text. */
KELVO_API int tMsgGetMasterMsg(char *buffer, int index);
KELVO_API int tMsgGetSlaveMsg(char *buffer, int index);
KELVO_API int tMsgClearAllSlaveMessages(void);
KELVO_API int tMsgGetTimeStamps(int64_t stamps[4], int index);

/* ---- Plot window ------------------------------------------------------- */

struct RenderArea;
struct PlotWindow;

/* Open the plot window and start its render thread. 0 (see the README for
 * how a failure shows). */
KELVO_API int sdl2Window(int x, int y, int width, int height);
/* Lay the plot out for slot `dev`'s stream layout, `span` samples across the
 * window, and start feeding it. 0, or -1 for a slot outside 0..3. */
KELVO_API int sdl2WindowConfigure(int dev, int span);
/* Stop the render thread and close the window. 0. */
KELVO_API int sdl2KillWindow(void);

/* ---- Exported state ---------------------------------------------------- */

KELVO_API extern int myPorts[4];          /* descriptor per slot, -1 closed */
KELVO_API extern int myPortErr[4];        /* 1 after a transport fault */
KELVO_API extern pthread_t threadId;      /* the I/O thread */
KELVO_API extern int debugLevel;          /* 1 enables kelvoGetSystemErrors */
KELVO_API extern const char *versionInfo; /* "1.2.0.2" */
KELVO_API extern FiltInfo filtInfo[4];
KELVO_API extern kelvoDataCallback myDataCallback[4];
KELVO_API extern struct TMsgRecord *psMem;
KELVO_API extern tMsgCallback mytMsgSlaveCallback[4];
KELVO_API extern tMsgCallback mytMsgMasterCallback[4];
KELVO_API extern ByteRing graphicQ;
KELVO_API extern int isGraphicConfigured;
KELVO_API extern FiltInfo grConf;
KELVO_API extern struct RenderArea *pRender;
KELVO_API extern struct PlotWindow *pWindow;
KELVO_API extern pthread_t graphicThreadId;

#ifdef __cplusplus
}
#endif

#endif /* KELVO_H */
