/* SPDX-License-Identifier: MIT */
/*
 * kelvo low-level interface: the serial transport, the SCPI block decoder,
 * the library's start and stop, and its exported state. The library's own
 * parts, its tests and its tools use these; an application needs only
 * kelvo.h, and the names here may change with the library's internals.
 *
 * Writing to the exported state from outside the library races with the
 * I/O thread (and the render thread); read it only to look.
 */
#ifndef KELVO_LOWLEVEL_H
#define KELVO_LOWLEVEL_H

#include <pthread.h>
#include <stdint.h>

#include "kelvo.h"

#ifdef __cplusplus
extern "C" {
#endif

/* ---- Types ------------------------------------------------------------- */

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

struct TMsgRecord;
struct RenderArea;
struct PlotWindow;

/* ---- Start, stop and diagnostics --------------------------------------- */

/* Start the I/O thread (myInit) and stop it after closing every open slot
 * (myDeInit). Both return 0. The load and unload hooks call them; an
 * application must not while it uses the library. myInit does not wait;
 * myDeInit sleeps about 110 ms and waits for the thread to end. */
KELVO_API int myInit(int unused) KELVO_NOEXCEPT;
KELVO_API int myDeInit(void) KELVO_NOEXCEPT;

/* Record "name(dev=N):message" as the slot's error text; nothing for a slot
 * outside 0..3. Call it from the thread that uses the slot; never waits. */
KELVO_API void buildErrMsg(int dev, const char *name, const char *message) KELVO_NOEXCEPT;

/* Print the bus user count (when attached) and whether the I/O thread runs
 * to stdout. Always 0; any thread; never waits. */
KELVO_API int test(void) KELVO_NOEXCEPT;

/* ---- Serial transport (used by the I/O thread) ------------------------- */

/* None of these waits. The I/O thread owns the descriptors of open slots:
 * any thread may use them on a descriptor of its own, but only the I/O
 * thread on a slot's. */

/* Open `path` non-blocking, lock it exclusively (flock), set it raw 8N1 at
 * 9600 Bd, raise DTR and RTS, store the descriptor in *port. 0 opened; 1
 * failed: a path that does not open or is locked by another descriptor
 * leaves *port alone; one that opens but is no terminal is stored and open. */
KELVO_API int openSerialPort(int *port, const char *path) KELVO_NOEXCEPT;
/* The count of bytes read (0 when none waited, on failure, for fd -1). */
KELVO_API int readFromSerialPort(int fd, void *buffer, int capacity) KELVO_NOEXCEPT;
/* Write what the line takes now: the count written (may be short, 0 when
 * the line is full), -1 on failure, 0 for fd -1. */
KELVO_API int writeToSerialPort(int fd, const void *buffer, int count) KELVO_NOEXCEPT;
/* Drop DTR and RTS and the lock, close *port and set it to -1. Always 0. */
KELVO_API int closeSerialPort(int *port) KELVO_NOEXCEPT;
/* 1 when the tty `fd` is hung up (its device unplugged), else 0. Asks the
 * descriptor itself; touches no shared state. */
KELVO_API int isSerialPortDisconnected(int fd) KELVO_NOEXCEPT;

/* ---- SCPI block decoder ------------------------------------------------ */

/* Step `decoder` with one received byte: 1 when the byte is payload, else 0.
 * Any thread, one decoder per thread; never waits. */
KELVO_API int SCPIdecoder(SCPIdecoderState *decoder, int ch) KELVO_NOEXCEPT;
/* Return the decoder to idle. */
KELVO_API void SCPIdecoderReset(SCPIdecoderState *decoder) KELVO_NOEXCEPT;

/* ---- Device discovery -------------------------------------------------- */

/* Set the listing mode (non-zero: all USB ttys) for serialportinfo; any
 * thread, never waits. */
KELVO_API void listAllSerialDevices(int all) KELVO_NOEXCEPT;
/* The device list in the current mode, as kelvoListDevices gives it (same
 * buffer, same waiting). */
KELVO_API const char *serialportinfo(void) KELVO_NOEXCEPT;

/* ---- Message bus ------------------------------------------------------- */

/* Reset the bus record other processes share (user count kept); nothing
 * without a segment. Only while no process uses the bus; never waits. */
KELVO_API void initMem(void) KELVO_NOEXCEPT;

/* ---- Exported state ---------------------------------------------------- */

KELVO_API extern int myPorts[4];          /* descriptor per slot, -1 closed */
KELVO_API extern int myPortErr[4];        /* 1 after a transport fault */
KELVO_API extern pthread_t threadId;      /* the I/O thread */
KELVO_API extern int debugLevel;          /* 1 enables kelvoGetSystemErrors */
KELVO_API extern const char *versionInfo; /* what kelvoGetVersion returns */
KELVO_API extern FiltInfo filtInfo[4];    /* each slot's stream layout */
KELVO_API extern kelvoDataCallback myDataCallback[4];
KELVO_API extern struct TMsgRecord *psMem; /* the bus record, NULL unattached */
KELVO_API extern tMsgCallback mytMsgSlaveCallback[4];
KELVO_API extern tMsgCallback mytMsgMasterCallback[4];
KELVO_API extern ByteRing graphicQ;       /* samples on their way to the plot */
KELVO_API extern int isGraphicConfigured; /* 1 while the plot is fed */
KELVO_API extern FiltInfo grConf;         /* the plotted layout */
KELVO_API extern struct RenderArea *pRender;
KELVO_API extern struct PlotWindow *pWindow; /* NULL when no window is open */
KELVO_API extern pthread_t graphicThreadId;  /* the render thread */

#ifdef __cplusplus
}
#endif

#endif /* KELVO_LOWLEVEL_H */
