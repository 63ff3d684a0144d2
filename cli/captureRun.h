// SPDX-License-Identifier: MIT
// How record and publish run: a session of the capture library
// (kelvo_capture.h) with the command's devices, configuration and sinks,
// started together, run until its time is up, it ends by itself or the user
// interrupts, then stopped, with a summary per device.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "cli.h"
#include "kelvo_capture.h"
#include "options.h"

namespace kelvo::cli {

class CaptureRun {
public:
    CaptureRun(const std::vector<std::string> &devices, const std::vector<std::string> &config);
    kelvoCapture *session() { return capture_.get(); }
    // --no-reconnect and --give-up S as the command line gave them.
    void setReconnect(const Arguments &args);

    // Markers from other programs too: "bus" or a ZeroMQ endpoint; none
    // when `from` is empty.
    void takeMarkersFrom(const std::string &from);
    // --curve-keys DIR: every socket the session binds takes CURVE clients
    // with those keys only.
    void secureWith(const Arguments &args);
    // Takes commands of scripts on `endpoint` (--control); none when it is
    // empty. run() says where it listens once the streams started.
    void listenForControl(const std::string &endpoint);
    // Opens and configures the devices (their answers to stderr) and makes
    // the sinks set so far; a refusal is a Failure with the library's text.
    void open();
    // Starts the streams together and runs until `seconds` passed (never
    // when negative), the session ended by itself or the user interrupts;
    // then stops. Returns the seconds it ran; a failure of the run is kept
    // for throwIfFailed(), so that the summary comes first.
    double run(double seconds);
    void throwIfFailed() const;

    int devices() const { return kelvoCaptureGetDeviceCount(capture_.get()); }
    // "SIM0001", or "slot<N>" for a device without a serial number.
    std::string name(int device) const;
    std::string path(int device) const { return kelvoCaptureGetPath(capture_.get(), device); }
    kelvoCaptureStats stats(int device) const;
    // Prints the device's lines of the closing summary, its reconnects and
    // gaps among them; false when samples were dropped or the stream had
    // framing errors.
    bool printSummary(int device, double seconds) const;
    // The markers' line of the summary, when there were any.
    void printMarkers() const;
    // The session's listeners, as bound, but those for `skipRole` (and the
    // control socket's, unless `onlyRole` names it: those alone): a line
    // each on stderr, "taking markers on tcp://127.0.0.1:5556".
    void printListeners(const std::string &skipRole = {}, const std::string &onlyRole = {}) const;
    // The endpoint the first listener for `role` was bound to, "" for none.
    std::string boundEndpoint(const std::string &role) const;
    // "refused 2 connections on tcp://...": a line each on stdout, for
    // the listeners that refused any.
    void printRefusals() const;

    // Throws a Failure with the library's text unless `result` is KELVO_OK.
    void check(int result) const;

private:
    void printGaps(int device, const kelvoCaptureStats &stats) const;

    std::unique_ptr<kelvoCapture, decltype(&kelvoCaptureDestroy)> capture_;
    std::string failure_;
};

}  // namespace kelvo::cli
