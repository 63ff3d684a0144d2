/* SPDX-License-Identifier: MIT */
/*
 * kelvo capture: a session of one to four devices, opened, configured,
 * started together and streamed into sinks: an HDF5 file, a ZeroMQ
 * publisher, and the calling program itself (a callback, or reads that wait
 * for data). Built on kelvo.h alone; links HDF5 and ZeroMQ.
 *
 * The contract, once:
 *  - A session is made with kelvoCaptureCreate, given its devices, its
 *    configuration and its sinks, opened (kelvoCaptureOpen: every device
 *    opened and configured, or none), started (kelvoCaptureStart: the
 *    synchronized start; streaming begins only here), stopped
 *    (kelvoCaptureStop) and destroyed (kelvoCaptureDestroy, which stops and
 *    closes what is still running).
 *  - Results: 0 (KELVO_OK) is success, KELVO_REFUSED a refusal whose reason
 *    kelvoCaptureGetError gives, KELVO_TIMEOUT a read that found nothing in
 *    time. No exception leaves the library.
 *  - Devices take the session's slots from 0 on; a program that also uses
 *    kelvo.h directly must leave those slots alone while the session lives.
 *    One session at a time per process.
 *  - Calls on one session must not overlap, except kelvoCaptureMark,
 *    kelvoCaptureGetStats and kelvoCaptureGetMarkerStats, which any thread
 *    may make while it runs.
 *  - Time is counted in ticks, 100 ns units of CLOCK_MONOTONIC_RAW, as in
 *    kelvo.h; sample times come from each device's sample clock.
 */
#ifndef KELVO_CAPTURE_H
#define KELVO_CAPTURE_H

#include <stdint.h>

#include "kelvo.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct kelvoCapture kelvoCapture;

/* ---- Building a session ------------------------------------------------ */

/* A new session with no devices and no sinks; NULL when out of memory. */
KELVO_API kelvoCapture *kelvoCaptureCreate(void) KELVO_NOEXCEPT;

/* Stops and closes what still runs and frees the session; NULL is ignored. */
KELVO_API void kelvoCaptureDestroy(kelvoCapture *capture) KELVO_NOEXCEPT;

/* The reason of the session's last refusal; "" when there was none. Lives
 * until the next call on the session. */
KELVO_API const char *kelvoCaptureGetError(const kelvoCapture *capture) KELVO_NOEXCEPT;

/* 1 when the last refusal was for what the caller asked (no devices, a
 * device given twice, two devices of one serial number, commands that give
 * no layout), 0 when the devices or files failed. */
KELVO_API int kelvoCaptureErrorIsUsage(const kelvoCapture *capture) KELVO_NOEXCEPT;

/* Adds a device: a tty path, a serial number (found in the USB listing and
 * among running simulators) or a line of kelvoListDevices. Up to four,
 * before kelvoCaptureOpen. */
KELVO_API int kelvoCaptureAddDevice(kelvoCapture *capture, const char *device) KELVO_NOEXCEPT;

/* Adds a configuration command, sent to every device in order at
 * kelvoCaptureOpen and checked with the device's error queue. The commands
 * must give each device a sample layout. */
KELVO_API int kelvoCaptureAddConfig(kelvoCapture *capture, const char *command) KELVO_NOEXCEPT;

/* Records into the HDF5 file `path` (created or truncated at
 * kelvoCaptureOpen). Flags: KELVO_CAPTURE_RAW also keeps each sample's raw
 * bytes. */
#define KELVO_CAPTURE_RAW 1
KELVO_API int kelvoCaptureSetHdf5(kelvoCapture *capture, const char *path, int flags) KELVO_NOEXCEPT;

/* Splits the HDF5 recording into files of `seconds` of sample time each
 * (0, the default: one file). With the path "run.h5" they are run-0001.h5,
 * run-0002.h5, ...: the number goes before the file name's extension (or
 * after a name without one). File N holds every sample timed from
 * (N - 1) x `seconds` to N x `seconds` after the release (the first also
 * those timed before it), so the files' datasets in order hold each sample
 * once. Each file is a recording on its own: the root's attributes (and
 * split_part, split_seconds, split_start_ticks, split_end_ticks), the
 * device groups, the markers and gaps of its span, and the statistics of
 * its span at its end. Before kelvoCaptureOpen. */
KELVO_API int kelvoCaptureSetHdf5Split(kelvoCapture *capture, double seconds) KELVO_NOEXCEPT;

/* Publishes on a ZeroMQ PUB socket bound to `endpoint` (docs/wire-format.md),
 * topics "kelvo/<serial>" (NULL `topicPrefix`) or "<topicPrefix>/<serial>",
 * with a send high-water mark of `highWaterMark` messages (0: kelvo's
 * default, 5000, about ten seconds of four devices at full rate). A data
 * message holds a device's samples of up to 10 ms, or 64 KiB of them. */
KELVO_API int kelvoCaptureSetPublish(kelvoCapture *capture, const char *endpoint, const char *topicPrefix,
                                     int highWaterMark) KELVO_NOEXCEPT;

/* Where a publishing session serves its clock to subscribers, for them to
 * put its ticks on their own time axis (docs/wire-format.md, "Time
 * service"): a ZeroMQ ROUTER socket bound at kelvoCaptureOpen (refused,
 * naming the endpoint, when it cannot bind). NULL or "": the publishing
 * endpoint's port + 1 on the same host (tcp://HOST:5555 -> tcp://HOST:5556),
 * ipc://PATH.time for ipc://PATH. Before kelvoCaptureOpen. */
KELVO_API int kelvoCaptureSetTimeEndpoint(kelvoCapture *capture, const char *endpoint) KELVO_NOEXCEPT;

/* The time service's endpoint as bound (the port the system chose for
 * tcp://HOST:0 included); NULL when the session does not publish or is not
 * open. Valid until the next call on the session. */
KELVO_API const char *kelvoCaptureGetTimeEndpoint(const kelvoCapture *capture) KELVO_NOEXCEPT;

/* The format version of the published data messages: 3 (the default), or 1
 * for subscribers written for version 1, which then read them unchanged
 * (docs/wire-format.md). KELVO_REFUSED for any other version. Before
 * kelvoCaptureOpen. */
KELVO_API int kelvoCaptureSetPublishVersion(kelvoCapture *capture, int version) KELVO_NOEXCEPT;

/* Ends the session by itself once every device gave `samples` samples
 * (0: runs until stopped); the sinks get exactly that many. Before
 * kelvoCaptureOpen. */
KELVO_API int kelvoCaptureSetSampleLimit(kelvoCapture *capture, uint64_t samples) KELVO_NOEXCEPT;

/* What happens when a device hangs up (an unplugged cable, a hub that
 * resets, a device that reboots). With `enabled` (the default) the session
 * looks for the device with the same serial number (at the same path when it
 * has none) at least every 250 ms, opens it, checks that *IDN? names it,
 * sends the configuration again and restarts its stream, on the same time
 * axis; the other devices stream on meanwhile. Every device's run of stream
 * indexes keeps agreeing with time: the index goes on past the break by the
 * samples the break's duration stands for, and the break is a gap
 * (kelvoCaptureGetGaps, cause "disconnected").
 * A device gone for `giveUpMs` ends the session (0: never while another
 * device streams). When every device is gone, the session ends once none
 * came back within `giveUpMs`, or 10 s when 0; without `enabled`, at once.
 * Before kelvoCaptureOpen. */
KELVO_API int kelvoCaptureSetReconnect(kelvoCapture *capture, int enabled, int giveUpMs) KELVO_NOEXCEPT;

/* Called at kelvoCaptureOpen, on the calling thread, for every
 * configuration command a device answers: the device's path, the command
 * and the answer (a block as "(a block of N bytes)"). Before
 * kelvoCaptureOpen. */
typedef void (*kelvoCaptureAnswerCallback)(void *user, const char *device, const char *command, const char *answer);
KELVO_API int kelvoCaptureSetAnswerCallback(kelvoCapture *capture, kelvoCaptureAnswerCallback callback,
                                            void *user) KELVO_NOEXCEPT;

/* ---- Running ----------------------------------------------------------- */

/* Opens and configures every device and creates the sinks. On a refusal
 * nothing stays open and no file is left behind. */
KELVO_API int kelvoCaptureOpen(kelvoCapture *capture) KELVO_NOEXCEPT;

/* Starts every device's stream at one moment (kelvoStartTogether). */
KELVO_API int kelvoCaptureStart(kelvoCapture *capture) KELVO_NOEXCEPT;

/* Sleeps until the session ended by itself (every device gave its sample
 * limit, or the run failed: a device silent for 2 s, devices gone as
 * kelvoCaptureSetReconnect says, a file that cannot be written) or `timeoutMs` passed: KELVO_OK when it ended,
 * KELVO_TIMEOUT when not. kelvoCaptureStop then says how it ended. */
KELVO_API int kelvoCaptureWait(kelvoCapture *capture, int timeoutMs) KELVO_NOEXCEPT;

/* Stops the streams, hands every sink what is still queued, writes the
 * closing statistics and closes the file; the devices stay open until
 * kelvoCaptureDestroy. A session stopped once stays stopped. */
KELVO_API int kelvoCaptureStop(kelvoCapture *capture) KELVO_NOEXCEPT;

/* ---- Taking the samples in the program --------------------------------- */

/* Whole consecutive samples of one device, decoded: `count` rows of
 * `channels` values with full scale +-1, each sample's stream index
 * (`firstIndex` + row) and time in ticks on the device's sample clock, as
 * the clock's fit has it when the batch is handed out. Times rise from
 * sample to sample: where a refit would place a sample before one already
 * handed out, it is placed one tick after that one. The pointers live
 * until the next read or the session's end. */
typedef struct kelvoCaptureBatch {
    int device;   /* the device's position in the session, from 0 */
    int channels; /* values per sample */
    int count;    /* samples */
    int64_t firstIndex;
    const float *values;  /* count x channels */
    const int64_t *ticks; /* count */
} kelvoCaptureBatch;

/* Keeps the samples for kelvoCaptureRead, in a queue of about ten seconds
 * of four devices at full rate; a batch that finds it full is dropped and
 * counted in the device's `dropped`. Before kelvoCaptureOpen. */
KELVO_API int kelvoCaptureEnableRead(kelvoCapture *capture) KELVO_NOEXCEPT;

/* Waits up to `timeoutMs` (negative: for ever) for samples and hands out
 * the oldest batch. KELVO_TIMEOUT when none came in time; KELVO_REFUSED
 * once the session is stopped and every batch was read, or without
 * kelvoCaptureEnableRead. One reading thread at a time. */
KELVO_API int kelvoCaptureRead(kelvoCapture *capture, kelvoCaptureBatch *batch, int timeoutMs) KELVO_NOEXCEPT;

/* Called with every batch on the session's consumer thread, instead of
 * queueing them for reads. It must return quickly; it must not call the
 * session's functions except kelvoCaptureMark and kelvoCaptureGetStats.
 * Before kelvoCaptureOpen. */
typedef void (*kelvoCaptureCallback)(void *user, const kelvoCaptureBatch *batch);
KELVO_API int kelvoCaptureSetCallback(kelvoCapture *capture, kelvoCaptureCallback callback, void *user) KELVO_NOEXCEPT;

/* A description of the session's device `device`: its serial number (the
 * path when it has none), the tty path and the channel names separated by
 * commas, in static buffers of the session; NULL for a device it has not. */
KELVO_API const char *kelvoCaptureGetSerial(const kelvoCapture *capture, int device) KELVO_NOEXCEPT;
KELVO_API const char *kelvoCaptureGetPath(const kelvoCapture *capture, int device) KELVO_NOEXCEPT;
KELVO_API const char *kelvoCaptureGetChannels(const kelvoCapture *capture, int device) KELVO_NOEXCEPT;
/* The number of devices added. */
KELVO_API int kelvoCaptureGetDeviceCount(const kelvoCapture *capture) KELVO_NOEXCEPT;

/* ---- Markers and statistics -------------------------------------------- */

/* Puts a marker, a UTF-8 text of up to 4096 bytes, at `ticks` (0: now) into
 * every sink. Any thread, while the session runs. KELVO_REFUSED for a text
 * over the limit or not UTF-8, a session that does not run, or a full
 * queue of markers (4096 wait for the session's thread; the marker is then
 * counted as dropped); kelvoCaptureGetError, called next on the same
 * thread, gives the reason. */
KELVO_API int kelvoCaptureMark(kelvoCapture *capture, const char *text, int64_t ticks) KELVO_NOEXCEPT;

/* Also takes markers that other programs send, from `from`:
 *  - "bus": the message bus (kelvo.h's tMsg calls). At kelvoCaptureOpen
 *    the session registers as the bus's master (refused when no kelvo-busd
 *    runs or the bus has a master already) and takes every message a slave
 *    sends it as a marker of source "bus", timed by the message's send
 *    stamp; it gives the master's place up at kelvoCaptureStop. A bus
 *    message holds at most 255 bytes.
 *  - a ZeroMQ endpoint ("tcp://127.0.0.1:5556", "ipc:///tmp/marks"): a PULL socket
 *    bound at kelvoCaptureOpen (refused, naming the endpoint, when it cannot
 *    be bound) and closed at kelvoCaptureStop. A message of one frame is the
 *    text, timed when it is received; of two frames, the text and the time
 *    as a little-endian int64 tick count (above 0), kept as sent. Source
 *    "zmq".
 * A message that cannot be a marker (more frames, a time not of 8 bytes,
 * text over 4096 bytes or not UTF-8) is dropped and counted in
 * kelvoCaptureGetMarkerStats's `dropped`; so is one that finds the marker
 * queue full. Markers that arrive before kelvoCaptureStart reach the sinks
 * at the start. May be called for the bus and for any number of
 * endpoints; before kelvoCaptureOpen. */
KELVO_API int kelvoCaptureAddMarkerSource(kelvoCapture *capture, const char *from) KELVO_NOEXCEPT;

/* The markers the sinks got so far and those dropped (refused messages from
 * other programs, and markers that found the queue full), for the whole
 * session; NULL pointers are skipped. Any thread, once the session is open. */
KELVO_API int kelvoCaptureGetMarkerStats(const kelvoCapture *capture, uint64_t *received,
                                         uint64_t *dropped) KELVO_NOEXCEPT;

typedef struct kelvoCaptureStats {
    uint64_t received;      /* samples handed to the sinks */
    uint64_t dropped;       /* samples lost: the library's queue or the session's */
    uint64_t framingErrors; /* malformed blocks */
    uint64_t gaps;          /* breaks in the run of samples */
    uint64_t reconnects;    /* times the device came back */
    uint64_t markers;       /* markers the sinks got */
    uint64_t published;     /* messages of the device's samples published */
} kelvoCaptureStats;

/* The statistics of device `device` so far. Any thread. */
KELVO_API int kelvoCaptureGetStats(const kelvoCapture *capture, int device, kelvoCaptureStats *stats) KELVO_NOEXCEPT;

/* A run of samples of one device that never reached the sinks: indexes
 * `firstIndex` to `lastIndex` (the session's indexes, which run on across a
 * reconnect), between the sample at `startTicks` (the last one before) and
 * the one at `endTicks` (the first one after; the stop, for a device that
 * never came back). `cause` is "disconnected", "queue full" (the library's
 * or the session's queue overflowed), "framing" (a malformed block) or
 * "device counter jump" (the device's own counter skipped). Every sink gets
 * the same records. */
typedef struct kelvoCaptureGap {
    int device;
    const char *cause; /* lives as long as the library */
    int64_t firstIndex;
    int64_t lastIndex;
    int64_t startTicks;
    int64_t endTicks;
    int64_t samplesLost; /* lastIndex - firstIndex + 1 */
} kelvoCaptureGap;

/* Copies up to `capacity` of the session's gaps so far, in the order they
 * closed, into `gaps`, and returns how many there are (which may be more
 * than `capacity`; call with 0 and NULL to count them); KELVO_REFUSED
 * before kelvoCaptureOpen. Any thread. */
KELVO_API int kelvoCaptureGetGaps(const kelvoCapture *capture, kelvoCaptureGap *gaps, int capacity) KELVO_NOEXCEPT;

/* ---- Devices one at a time --------------------------------------------
 *
 * The naming and configuring a session does, for programs that drive a
 * slot themselves with kelvo.h. */

/* A refusal for what the caller asked rather than a failure of the device. */
#define KELVO_CAPTURE_USAGE (-5)

/* The devices the library lists (every USB tty with `all` non-zero), then
 * those of this user's running simulators: one line each,
 * "KIND<TAB>PATH<TAB>SERIAL<TAB>PID", KIND being the library's kind,
 * "foreign" or "simulated" and PID the simulator's process (0 for the
 * others). A static buffer that the next call overwrites. */
KELVO_API const char *kelvoCaptureListDevices(int all) KELVO_NOEXCEPT;

/* Opens `device` (a tty path, a serial number or a list line) in slot `dev`
 * and writes its tty path into `path`. KELVO_OK; KELVO_REFUSED or
 * KELVO_CAPTURE_USAGE with the reason in `error` (which names the device,
 * and says where 'kelvo list --diagnose' can tell more). */
KELVO_API int kelvoCaptureOpenDevice(int dev, const char *device, char *path, int pathSize, char *error,
                                     int errorSize) KELVO_NOEXCEPT;

/* Configures the open slot `dev` as a session does: clears the device's
 * error queue, sends each of the `count` commands, reads the error queue
 * after each, and requires a sample layout at the end. Answers go to
 * `noteAnswer` (may be NULL) with `name` as the device. KELVO_OK;
 * KELVO_REFUSED or KELVO_CAPTURE_USAGE (no layout) with the reason,
 * beginning with `name`, in `error`. */
KELVO_API int kelvoCaptureConfigureDevice(int dev, const char *name, const char *const *commands, int count,
                                          kelvoCaptureAnswerCallback noteAnswer, void *user, char *error,
                                          int errorSize) KELVO_NOEXCEPT;

/* ---- Listening sockets ------------------------------------------------ */

/* Secures every socket the session binds (publishing, its time service,
 * markers, control) with ZeroMQ's CURVE: encrypted with the server key pair
 * of the directory `dir` and open only to the clients whose public keys its
 * authorized_clients lists; a client with another key is refused and
 * counted. docs/security.md
 * gives the directory's layout; 'kelvo keys DIR' makes one. The keys are
 * read and checked here: a refusal names the file that is missing,
 * malformed or open to others. Before kelvoCaptureOpen. */
KELVO_API int kelvoCaptureSetCurveKeys(kelvoCapture *capture, const char *dir) KELVO_NOEXCEPT;

/* A socket the open session listens on. */
typedef struct kelvoCaptureListener {
    const char *role;     /* "publish", "time", "markers", "control" */
    const char *endpoint; /* as bound: 0.0.0.0 for a wildcard, the port chosen for port 0 */
    int curve;            /* 1 when secured with kelvoCaptureSetCurveKeys */
    uint64_t refused;     /* CURVE handshakes refused so far: a key not authorized, a wrong server key, none */
} kelvoCaptureListener;

/* Fills `listener` with the session's `index`th listener (0 on, in the
 * order they were bound at kelvoCaptureOpen); KELVO_REFUSED past the last
 * or before the open. The texts live as long as the session. Any thread. */
KELVO_API int kelvoCaptureGetListener(const kelvoCapture *capture, int index,
                                      kelvoCaptureListener *listener) KELVO_NOEXCEPT;

/* ---- Steering from scripts -------------------------------------------- */

/* Listens for commands of other programs (`kelvo control`, any ZeroMQ REQ
 * socket) on a socket that answers them as a REP socket does, bound to
 * `endpoint` at kelvoCaptureOpen: a bare port ("5557") is
 * tcp://127.0.0.1:PORT ("0": a free port), anything else is taken as given
 * ("tcp://0.0.0.0:5557" listens on every interface). The open is
 * refused, naming the endpoint, when it cannot be bound. The socket lives
 * until kelvoCaptureDestroy; a thread "kelvo-control" answers it.
 * Each request is one frame holding a JSON object, each answer one JSON
 * object with "ok" (docs/control.md):
 *   {"cmd": "status"}  -> "state" ("open", "running", "ended": it ended and
 *        waits for its stop, "stopping", "stopped"), "seconds" since the
 *        start, "file" (the HDF5 file written now, or null), "devices":
 *        [{"serial", "path", "received", "dropped", "gaps", "reconnects",
 *        "markers"}], "markers": {"received", "dropped"}, "refused" (the
 *        requests answered "ok": false so far)
 *   {"cmd": "mark", "text": T[, "ticks": N]} -> a marker into every sink as
 *        kelvoCaptureMark puts one (source "control"), at N (above 0) or
 *        now; "ticks": its time
 *   {"cmd": "split", "path": P} -> the HDF5 file is finished as at a stop
 *        (root attribute next_file: P) and the recording goes on in P
 *        (previous_file: the one before), between two batches: every sample
 *        is in one of the files, once. A relative P is the recording
 *        program's working directory's. "closed" and "file": the two files.
 *        Refused without an HDF5 sink, with kelvoCaptureSetHdf5Split, for a
 *        file of this recording or one that cannot be made (the current
 *        file then goes on)
 *   {"cmd": "stop"} -> answered, then the session ends as if it ended by
 *        itself: kelvoCaptureWait returns KELVO_OK; the program still calls
 *        kelvoCaptureStop. "state": the state it was in
 * Anything else (not JSON, not an object, an unknown "cmd" or member, a
 * member of the wrong type, several frames, over 64 KiB) is answered
 * {"ok": false, "error": TEXT} and counted in "refused"; a message over
 * 1 MiB costs its sender the connection. Before kelvoCaptureOpen. */
KELVO_API int kelvoCaptureSetControl(kelvoCapture *capture, const char *endpoint) KELVO_NOEXCEPT;

/* The control socket's endpoint as bound ("tcp://127.0.0.1:5557", with the
 * port the system picked for "0" or "*"), in a buffer of the session; NULL
 * before kelvoCaptureOpen or without kelvoCaptureSetControl. */
KELVO_API const char *kelvoCaptureGetControlEndpoint(const kelvoCapture *capture) KELVO_NOEXCEPT;

/* The HDF5 file written now: the newest of a split recording, the last
 * once the session stopped; in a buffer of the session, NULL without an
 * HDF5 sink or before kelvoCaptureOpen. Not while another thread calls the
 * session. */
KELVO_API const char *kelvoCaptureGetHdf5File(const kelvoCapture *capture) KELVO_NOEXCEPT;

/* ---- Live view in a browser ------------------------------------------- */

/* Serves the session live to web browsers (docs/web-protocol.md): a page
 * and a WebSocket on one port, bound at kelvoCaptureOpen to `address`
 * ("HOST:PORT", an IPv4 address; NULL or "": "127.0.0.1:8080"; port 0: a
 * free one), refused, naming it, when it cannot be bound. One strip per
 * channel, one panel per device; the samples reduced to a minimum and a
 * maximum per 10 ms column, so a browser costs the same at any rate; gaps,
 * markers and the loss counters; and markers sent from the page go into
 * every sink (source "web"). `token`: 1 puts a random token into the
 * page's address and refuses requests without it, 0 serves without one,
 * -1 (the default) has one unless the address is loopback (127.x.x.x).
 * A browser that is slow or gone misses frames, counted; the session loses
 * nothing for it. Threads "kelvo-web" and one "kelvo-web-out" per browser.
 * Before kelvoCaptureOpen. */
KELVO_API int kelvoCaptureSetWebView(kelvoCapture *capture, const char *address, int token) KELVO_NOEXCEPT;

/* The page's address as bound ("http://127.0.0.1:8080/", with
 * "?token=..." when it has one; the host name for 0.0.0.0), in a buffer
 * of the session; NULL before kelvoCaptureOpen or without
 * kelvoCaptureSetWebView. */
KELVO_API const char *kelvoCaptureGetWebUrl(const kelvoCapture *capture) KELVO_NOEXCEPT;

#ifdef __cplusplus
}
#endif

#endif /* KELVO_CAPTURE_H */
