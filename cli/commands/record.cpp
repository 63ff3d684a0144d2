// SPDX-License-Identifier: MIT
// kelvo record: a synchronized run of one to four devices into one HDF5
// file, a session of the capture library with an HDF5 sink.
#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>

#include "captureRun.h"
#include "cli.h"
#include "commands.h"
#include "kelvo_capture.h"
#include "prologue.h"

namespace kelvo::cli {

namespace {

// "run-0001.h5, run-0002.h5, ..." for --out run.h5.
std::string splitNames(const std::string &out) {
    const std::string stem = out.substr(0, out.size() - 3);
    return stem + "-0001.h5, " + stem + "-0002.h5, ...";
}

int run(const Arguments &args) {
    requireDevicesAndConfig(args, "record", 4);
    const std::optional<double> seconds = args.number("seconds");
    const std::optional<double> samples = args.number("samples");
    if (seconds.has_value() == samples.has_value()) throw Failure("'record' needs --seconds S or --samples N", 2);
    const std::string out = args.text("out");
    if (out.size() < 4 || out.compare(out.size() - 3, 3, ".h5") != 0) throw Failure("'record' needs --out FILE.h5", 2);

    CaptureRun capture(args.positional, args.words("config"));
    capture.setReconnect(args);
    capture.check(kelvoCaptureSetHdf5(capture.session(), out.c_str(), args.flag("raw") ? KELVO_CAPTURE_RAW : 0));
    if (const std::optional<double> split = args.number("split")) {
        capture.check(kelvoCaptureSetHdf5Split(capture.session(), *split));
    }
    if (samples) capture.check(kelvoCaptureSetSampleLimit(capture.session(), static_cast<uint64_t>(*samples)));
    capture.takeMarkersFrom(args.text("markers"));
    capture.secureWith(args);
    capture.listenForControl(args.text("control"));
    capture.open();
    capture.printListeners();
    const double elapsed = capture.run(seconds.value_or(-1));
    bool clean = true;
    for (int d = 0; d < capture.devices(); ++d) clean = capture.printSummary(d, elapsed) && clean;
    capture.printMarkers();
    capture.printRefusals();
    const char *last = kelvoCaptureGetHdf5File(capture.session());
    if (args.number("split")) {
        std::printf("written to %s\n", splitNames(out).c_str());
    } else if (last != nullptr && out != last) {
        std::printf("written to %s and, split on command, on to %s\n", out.c_str(), last);
    } else {
        std::printf("written to %s\n", out.c_str());
    }
    capture.throwIfFailed();
    return clean ? 0 : 3;
}

constexpr Option kOptions[] = {
    option::config,
    option::seconds.valueCalled("S").describedAs("how long to record"),
    option::samples.describedAs("how many samples to record of each device"),
    option::out.valueCalled("FILE.h5").describedAs("the HDF5 file to write"),
    Option::flag("raw", "also keep the bytes of each sample as sent, in the dataset raw"),
    option::noReconnect,
    option::giveUp,
    Option::number("split", "SECONDS", "write a file for every SECONDS of sample time: FILE-0001.h5, FILE-0002.h5, ...",
                   0.1, 86400),
    option::markers,
    option::curveKeys.describedAs("take markers over ZeroMQ encrypted with CURVE, only from the senders whose keys "
                                  "DIR's authorized_clients lists (docs/security.md)"),
    option::control,
};

}  // namespace

const Command recordCommand{
    .name = "record",
    .summary = "record a synchronized run into an HDF5 file",
    .outline = "DEVICE... --config CMD...",
    .usage =
        "DEVICE... --config CMD... (--seconds S | --samples N)\n"
        "--out FILE.h5 [--raw] [--no-reconnect] [--give-up S]\n"
        "[--split SECONDS] [--markers FROM] [--curve-keys DIR]\n"
        "[--control ENDPOINT]",
    .description = R"(Opens 1 to 4 devices, configures each with the same commands, starts them
in one synchronized moment and records their streams into one HDF5 file
until S seconds passed, every device gave N samples, or Ctrl-C (SIGINT,
SIGTERM and SIGHUP all end the run with a complete file). The file holds,
per device, the group /devices/<serial> (/devices/slot<N> without a serial):
  samples   float32 (n, channels), full scale +-1.0; attribute channel_names
  counter   uint32 (n), when the layout has a sample counter
  time      float64 (n), each sample's time on the library's sample clock,
            in seconds since tick 0 (ticks / 10^7), as the fit had it when
            the sample was written
  index     int64 (n), each sample's stream index (0 for the first after
            the start; a lost sample leaves a gap)
  raw       uint8 (n, sample size), only with --raw
  gaps      one row per break in the run of samples: first_index,
            last_index (the samples lost), start_ticks, end_ticks (the times
            of the samples before and after), samples_lost (int64 each) and
            cause ("disconnected", "queue full", "framing", "device counter
            jump"), UTF-8
  marker_index  int64, per marker its sample's index nearest its time
and the attributes idn, path, serial, config, sample_size, layout_*,
start_stamps (the four ticks of the start), stats and the clock's fit at the
end of the run: clock_rate_hz, clock_period_ticks, clock_origin_index,
clock_origin_ticks, clock_jitter_us and clock_samples_fitted (sample i was
measured at clock_origin_ticks + (i - clock_origin_index) x
clock_period_ticks). The root has kelvo_version, host_name, start_time_utc,
tick_origin_utc (tick 0 as UTC; a tick is 100 ns), tick_origin_unix_ns and
stamp_spread_us. /markers holds ticks, text and source, a row per marker.
The data is flushed to disk once a second.

The file is written in HDF5's single-writer/multiple-reader mode (the
HDF5 1.10 format): a reader may follow it while it grows, with
h5py.File(FILE, "r", swmr=True) and each dataset's refresh(); the
datasets of a device may differ in length by what the last flush had not
reached. The statistics, the clock's fit and the markers' final
marker_index come at the end, after the file was closed and opened again:
a reader following it opens it again to see them. A killed run leaves a
file marked as still being written: open it with swmr=True (or clear the
mark with h5clear -s).

With --split SECONDS the run goes into FILE-0001.h5, FILE-0002.h5, ...
(for --out run.h5: run-0001.h5, run-0002.h5, ...): file N holds every
sample timed from (N - 1) x SECONDS to N x SECONDS after the start, so the
files' datasets one after the other hold every sample once. Each file is a
recording on its own, with the root's attributes and split_part,
split_seconds, split_start_ticks and split_end_ticks (its span in ticks),
the markers and gaps of its span, and at its end the statistics of its
span (stats: samples are its rows, the other counts what happened while it
was written) and the clock's fit then. A file closes once every device's
samples passed its end.

A device that hangs up (an unplugged cable, a hub that resets) is looked
for by its serial number at least every 250 ms and, once back, configured
again and streamed on the same time axis, while the other devices stream
on; its index runs on past the break by the samples the break stands for,
and the break is a gap ("reconnects: 1, gap 2.41 s" in the summary).
--no-reconnect leaves it gone; --give-up S ends the run when it is not back
within S seconds. When every device is gone the run ends once none came
back within 10 s (S with --give-up), at once with --no-reconnect.

Markers, texts with a time, go into /markers (ticks int64, text and source
UTF-8 strings) and per device into marker_index (int64, the device's sample
nearest each marker's time). With --markers bus the run registers as the
master of the message bus (kelvo-busd must run, and no other master) and
takes every message as a marker timed by its send stamp: 'kelvo mark TEXT'
sends one. With --markers ENDPOINT (tcp://*:5556, ipc:///tmp/marks) it
listens with a ZeroMQ PULL socket: a message of one frame is a text timed
when it arrives, one of two frames a text and its time as a little-endian
int64 tick count, kept as sent ('kelvo mark --to ENDPOINT TEXT'). Messages
that cannot be markers (more frames, a text over 4096 bytes or not UTF-8)
are dropped and counted; the summary then says how many. The endpoint is
told on stderr as bound ("taking markers on tcp://0.0.0.0:5556"). With
--curve-keys DIR the socket takes only CURVE senders whose keys DIR's
authorized_clients lists ('kelvo mark --to ENDPOINT --curve-keys DIR').

With --control ENDPOINT scripts steer the run over ZeroMQ, as REQ clients
('kelvo control ENDPOINT status|mark TEXT|split FILE.h5|stop', or JSON
requests of their own: docs/control.md). ENDPOINT is a port (5557 listens
on tcp://127.0.0.1:5557, this machine only) or an endpoint as given
(tcp://*:5557 on every interface, ipc:///tmp/kelvo.control); the run says
"control on ENDPOINT" on stderr as bound. status tells the state, the
seconds and the file and each device's counts; mark puts a marker of
source "control" into /markers; split finishes the file as at the end
(root attribute next_file) and goes on in the new one (previous_file)
between two batches, every sample in one of them once (not with --split);
stop ends the run as if its time were up, with the summary and status 0.

At the end it prints per device: samples, rate, dropped samples and framing
errors, and the markers recorded (and dropped) when there were any. The
exit status is 3 when samples were dropped or the stream had framing
errors, 1 on a failure, 0 for a clean run.)",
    .options = kOptions,
    .run = run,
};

}  // namespace kelvo::cli
