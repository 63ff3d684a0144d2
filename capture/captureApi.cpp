// SPDX-License-Identifier: MIT
// The capture library's C interface: a session built from its settings,
// every refusal kept as the session's text, no exception let out.
#include <unistd.h>

#include <cmath>
#include <cstring>
#include <memory>
#include <string>

#include "captureError.h"
#include "controlServer.h"
#include "h5Sink.h"
#include "kelvo_capture.h"
#include "listeners.h"
#include "markerSources.h"
#include "markerText.h"
#include "programSink.h"
#include "publishSink.h"
#include "session.h"
#include "webSink.h"

struct kelvoCapture {
    kelvo::capture::SessionSettings settings;
    std::string hdf5Path;
    bool raw = false;
    double hdf5Split = 0;  // seconds of sample time per file; 0: one file
    std::string publishEndpoint;
    std::string topicPrefix = "kelvo";
    int highWaterMark = 0;
    std::string timeEndpoint;  // empty: the publishing endpoint's default
    int publishVersion = 3;    // of the data messages
    bool reading = false;
    kelvoCaptureCallback callback = nullptr;
    void *user = nullptr;

    std::unique_ptr<kelvo::capture::Session> session;
    kelvo::capture::MarkerSources markers;           // after the session: stopped before it goes
    kelvo::capture::ProgramSink *program = nullptr;  // owned by the session
    kelvo::capture::PublishSink *publish = nullptr;  // owned by the session
    std::string error;
    bool usageError = false;
    kelvoCaptureAnswerCallback answerCallback = nullptr;
    void *answerUser = nullptr;
    std::string text;                       // what the description calls hand out
    kelvo::recording::Listeners listeners;  // every socket the session binds, and their keys

    std::string controlEndpoint;
    kelvo::capture::H5Sink *recording = nullptr;  // owned by the session
    // After the session: it answers no more before the session goes.
    std::unique_ptr<kelvo::capture::ControlServer> control;

    bool webView = false;
    kelvo::recording::WebViewSettings web;
    kelvo::capture::WebSink *webSink = nullptr;  // owned by the session
};

namespace {

using kelvo::capture::CaptureError;

// A refused kelvoCaptureMark's reason, kept per thread: marks come from any
// thread while another may be calling the session, so they never write
// the session's own text.
struct MarkRefusal {
    const kelvoCapture *capture = nullptr;
    std::string text;
};
thread_local MarkRefusal markRefusal;

// Runs `work`, turning what it throws into the session's text.
template <typename Work>
int guarded(kelvoCapture *capture, Work work) noexcept {
    if (capture == nullptr) return KELVO_REFUSED;
    markRefusal.capture = nullptr;
    capture->error.clear();
    capture->usageError = false;
    try {
        return work();
    } catch (const CaptureError &e) {
        capture->error = e.what();
        capture->usageError = e.kind == CaptureError::Kind::usage;
    } catch (const std::exception &e) {
        capture->error = e.what();
    } catch (...) {
        capture->error = "unexpected failure";
    }
    return KELVO_REFUSED;
}

int refuse(kelvoCapture *capture, const std::string &why, bool usage = true) {
    capture->error = why;
    capture->usageError = usage;
    return KELVO_REFUSED;
}

bool building(const kelvoCapture *capture) { return !capture->session; }

void openSession(kelvoCapture *c) {
    if (c->answerCallback != nullptr) {
        c->settings.noteAnswer = [f = c->answerCallback, user = c->answerUser](const std::string &device,
                                                                               const std::string &command,
                                                                               const std::string &answer) {
            f(user, device.c_str(), command.c_str(), answer.c_str());
        };
    }
    auto session = std::make_unique<kelvo::capture::Session>(c->settings);
    std::string fileMade;
    c->listeners.clear();
    try {
        c->markers.start(*session, c->listeners);
        if (!c->hdf5Path.empty()) {
            auto recording = std::make_unique<kelvo::capture::H5Sink>(c->hdf5Path, c->raw, c->hdf5Split, *session);
            fileMade = recording->firstPath();
            c->recording = recording.get();
            session->addSink(std::move(recording));
        }
        if (!c->publishEndpoint.empty()) {
            auto publish = std::make_unique<kelvo::capture::PublishSink>(c->publishEndpoint, c->topicPrefix,
                                                                         c->highWaterMark, *session, c->listeners);
            publish->serveTime(c->publishEndpoint, c->timeEndpoint, c->listeners);
            publish->setWireVersion(static_cast<uint32_t>(c->publishVersion));
            c->publish = publish.get();
            session->addSink(std::move(publish));
        }
        if (c->webView) {
            auto view = std::make_unique<kelvo::capture::WebSink>(c->web, *session);
            c->webSink = view.get();
            session->addSink(std::move(view));
        }
        if (c->callback != nullptr || c->reading) {
            kelvo::capture::ProgramSink::Callback callback;
            if (c->callback != nullptr) {
                callback = [f = c->callback, user = c->user](const kelvoCaptureBatch &b) { f(user, &b); };
            }
            auto program = std::make_unique<kelvo::capture::ProgramSink>(*session, std::move(callback));
            c->program = program.get();
            session->addSink(std::move(program));
        }
        if (!c->controlEndpoint.empty()) {
            c->control = std::make_unique<kelvo::capture::ControlServer>(c->controlEndpoint, *session, c->recording,
                                                                         c->listeners);
        }
    } catch (...) {
        // No partial session: the devices close, and a file it made goes.
        c->control.reset();
        c->recording = nullptr;
        c->program = nullptr;
        c->publish = nullptr;
        c->webSink = nullptr;
        c->markers.stop();
        session.reset();
        if (!fileMade.empty()) unlink(fileMade.c_str());
        throw;
    }
    c->session = std::move(session);
}

const kelvo::recording::DeviceInfo *deviceOf(const kelvoCapture *capture, int device) {
    if (capture == nullptr || !capture->session) return nullptr;
    const auto &devices = capture->session->devices();
    if (device < 0 || static_cast<size_t>(device) >= devices.size()) return nullptr;
    return &devices[static_cast<size_t>(device)];
}

const char *handOut(const kelvoCapture *capture, std::string text) {
    auto *c = const_cast<kelvoCapture *>(capture);
    c->text = std::move(text);
    return c->text.c_str();
}

}  // namespace

extern "C" {

KELVO_API kelvoCapture *kelvoCaptureCreate(void) noexcept {
    try {
        return new kelvoCapture;
    } catch (...) {
        return nullptr;
    }
}

KELVO_API void kelvoCaptureDestroy(kelvoCapture *capture) noexcept {
    try {
        delete capture;
    } catch (...) {
        // A session ends however its sinks fail to close.
    }
}

KELVO_API const char *kelvoCaptureGetError(const kelvoCapture *capture) noexcept {
    if (capture != nullptr && markRefusal.capture == capture) return markRefusal.text.c_str();
    return capture != nullptr ? capture->error.c_str() : "no capture session";
}

KELVO_API int kelvoCaptureErrorIsUsage(const kelvoCapture *capture) noexcept {
    return capture != nullptr && capture->usageError ? 1 : 0;
}

KELVO_API int kelvoCaptureSetSampleLimit(kelvoCapture *capture, uint64_t samples) noexcept {
    return guarded(capture, [&]() -> int {
        if (!building(capture)) return refuse(capture, "the sample limit is set before the capture opens");
        capture->settings.sampleLimit = samples;
        return KELVO_OK;
    });
}

KELVO_API int kelvoCaptureSetAnswerCallback(kelvoCapture *capture, kelvoCaptureAnswerCallback callback,
                                            void *user) noexcept {
    return guarded(capture, [&]() -> int {
        if (!building(capture)) return refuse(capture, "the answer callback is set before the capture opens");
        capture->answerCallback = callback;
        capture->answerUser = user;
        return KELVO_OK;
    });
}

KELVO_API int kelvoCaptureWait(kelvoCapture *capture, int timeoutMs) noexcept {
    return guarded(capture, [&]() -> int {
        if (building(capture)) return refuse(capture, "the capture is not open");
        return capture->session->waitUntilEnded(std::chrono::milliseconds(timeoutMs)) ? KELVO_OK : KELVO_TIMEOUT;
    });
}

KELVO_API int kelvoCaptureAddDevice(kelvoCapture *capture, const char *device) noexcept {
    return guarded(capture, [&]() -> int {
        if (!building(capture)) return refuse(capture, "devices are added before the capture opens");
        if (device == nullptr || *device == '\0') return refuse(capture, "the device name is empty");
        if (capture->settings.devices.size() >= 4) return refuse(capture, "a capture takes 1 to 4 devices");
        capture->settings.devices.emplace_back(device);
        return KELVO_OK;
    });
}

KELVO_API int kelvoCaptureAddConfig(kelvoCapture *capture, const char *command) noexcept {
    return guarded(capture, [&]() -> int {
        if (!building(capture)) return refuse(capture, "configuration is added before the capture opens");
        if (command == nullptr || *command == '\0') return refuse(capture, "the configuration command is empty");
        capture->settings.config.emplace_back(command);
        return KELVO_OK;
    });
}

KELVO_API int kelvoCaptureSetHdf5(kelvoCapture *capture, const char *path, int flags) noexcept {
    return guarded(capture, [&]() -> int {
        if (!building(capture)) return refuse(capture, "sinks are set before the capture opens");
        if (path == nullptr || *path == '\0') return refuse(capture, "the HDF5 file name is empty");
        capture->hdf5Path = path;
        capture->raw = (flags & KELVO_CAPTURE_RAW) != 0;
        return KELVO_OK;
    });
}

KELVO_API int kelvoCaptureSetHdf5Split(kelvoCapture *capture, double seconds) noexcept {
    return guarded(capture, [&]() -> int {
        if (!building(capture)) return refuse(capture, "the split is set before the capture opens");
        if (!std::isfinite(seconds) || seconds < 0) return refuse(capture, "the split is a number of seconds, >= 0");
        capture->hdf5Split = seconds;
        return KELVO_OK;
    });
}

KELVO_API int kelvoCaptureSetPublish(kelvoCapture *capture, const char *endpoint, const char *topicPrefix,
                                     int highWaterMark) noexcept {
    return guarded(capture, [&]() -> int {
        if (!building(capture)) return refuse(capture, "sinks are set before the capture opens");
        if (endpoint == nullptr || *endpoint == '\0') return refuse(capture, "the publishing endpoint is empty");
        if (highWaterMark < 0) return refuse(capture, "the high-water mark is negative");
        capture->publishEndpoint = endpoint;
        capture->topicPrefix = topicPrefix != nullptr && *topicPrefix != '\0' ? topicPrefix : "kelvo";
        capture->highWaterMark = highWaterMark;
        return KELVO_OK;
    });
}

KELVO_API int kelvoCaptureSetTimeEndpoint(kelvoCapture *capture, const char *endpoint) noexcept {
    return guarded(capture, [&]() -> int {
        if (!building(capture)) return refuse(capture, "the time endpoint is set before the capture opens");
        capture->timeEndpoint = endpoint != nullptr ? endpoint : "";
        return KELVO_OK;
    });
}

KELVO_API int kelvoCaptureSetPublishVersion(kelvoCapture *capture, int version) noexcept {
    return guarded(capture, [&]() -> int {
        if (!building(capture)) return refuse(capture, "the wire format is chosen before the capture opens");
        if (version != 1 && version != 3) return refuse(capture, "the wire format version is 1 or 3");
        capture->publishVersion = version;
        return KELVO_OK;
    });
}

KELVO_API const char *kelvoCaptureGetTimeEndpoint(const kelvoCapture *capture) noexcept {
    if (capture == nullptr || capture->publish == nullptr) return nullptr;
    try {
        return handOut(capture, capture->publish->timeEndpoint());
    } catch (...) {
        return nullptr;
    }
}

KELVO_API int kelvoCaptureEnableRead(kelvoCapture *capture) noexcept {
    return guarded(capture, [&]() -> int {
        if (!building(capture)) return refuse(capture, "reading is enabled before the capture opens");
        capture->reading = true;
        return KELVO_OK;
    });
}

KELVO_API int kelvoCaptureSetCallback(kelvoCapture *capture, kelvoCaptureCallback callback, void *user) noexcept {
    return guarded(capture, [&]() -> int {
        if (!building(capture)) return refuse(capture, "the callback is set before the capture opens");
        capture->callback = callback;
        capture->user = user;
        return KELVO_OK;
    });
}

KELVO_API int kelvoCaptureOpen(kelvoCapture *capture) noexcept {
    return guarded(capture, [&]() -> int {
        if (!building(capture)) return refuse(capture, "the capture is open already");
        if (capture->settings.devices.empty()) return refuse(capture, "a capture takes 1 to 4 devices");
        if (capture->settings.config.empty()) {
            return refuse(capture, "a capture needs configuration commands that give the devices a layout");
        }
        openSession(capture);
        return KELVO_OK;
    });
}

KELVO_API int kelvoCaptureStart(kelvoCapture *capture) noexcept {
    return guarded(capture, [&]() -> int {
        if (building(capture)) return refuse(capture, "the capture is not open");
        capture->session->start();
        if (capture->control) capture->control->commands().started(capture->session->devices().front().stamps[0]);
        return KELVO_OK;
    });
}

KELVO_API int kelvoCaptureStop(kelvoCapture *capture) noexcept {
    return guarded(capture, [&]() -> int {
        if (building(capture)) return refuse(capture, "the capture is not open");
        if (capture->control) capture->control->commands().stopping();
        capture->markers.stop();
        const std::string failure = capture->session->stop();
        if (capture->control) capture->control->commands().stopped();
        return failure.empty() ? KELVO_OK : refuse(capture, failure, false);
    });
}

KELVO_API int kelvoCaptureRead(kelvoCapture *capture, kelvoCaptureBatch *batch, int timeoutMs) noexcept {
    return guarded(capture, [&]() -> int {
        if (batch == nullptr) return refuse(capture, "no batch to fill");
        if (building(capture) || capture->program == nullptr) {
            return refuse(capture, "reading was not enabled before the capture opened");
        }
        using Read = kelvo::capture::ProgramSink::Read;
        switch (capture->program->read(*batch, std::chrono::milliseconds(timeoutMs))) {
            case Read::batch: return KELVO_OK;
            case Read::timedOut: return KELVO_TIMEOUT;
            case Read::ended: break;
        }
        return refuse(capture, "the capture has stopped and every batch was read");
    });
}

KELVO_API int kelvoCaptureMark(kelvoCapture *capture, const char *text, int64_t ticks) noexcept {
    if (capture == nullptr) return KELVO_REFUSED;
    try {
        std::string why;
        if (text == nullptr) {
            why = "no marker text";
        } else if (!capture->session || !capture->session->running()) {
            why = "the capture is not running";
        } else {
            why = kelvo::capture::markerTextProblem(text);
        }
        if (why.empty() && !capture->session->mark(text, ticks, "api")) {
            why = "the marker queue is full: the capture's thread falls behind (the marker is counted as dropped)";
        }
        markRefusal = {why.empty() ? nullptr : capture, why};
        return why.empty() ? KELVO_OK : KELVO_REFUSED;
    } catch (...) {
        return KELVO_REFUSED;
    }
}

KELVO_API int kelvoCaptureAddMarkerSource(kelvoCapture *capture, const char *from) noexcept {
    return guarded(capture, [&]() -> int {
        if (!building(capture)) return refuse(capture, "marker sources are added before the capture opens");
        capture->markers.add(from != nullptr ? from : "");
        return KELVO_OK;
    });
}

KELVO_API int kelvoCaptureGetMarkerStats(const kelvoCapture *capture, uint64_t *received, uint64_t *dropped) noexcept {
    if (capture == nullptr || !capture->session) return KELVO_REFUSED;
    if (received != nullptr) *received = capture->session->markersTaken();
    if (dropped != nullptr) *dropped = capture->session->markersDropped();
    return KELVO_OK;
}

KELVO_API int kelvoCaptureGetStats(const kelvoCapture *capture, int device, kelvoCaptureStats *stats) noexcept {
    if (stats == nullptr || deviceOf(capture, device) == nullptr) return KELVO_REFUSED;
    const kelvo::capture::DeviceStats s = capture->session->stats(device);
    *stats = {s.received, s.dropped, s.framingErrors, s.gaps, s.reconnects, s.markers, s.published};
    return KELVO_OK;
}

namespace {

// The gap causes as texts that live as long as the library.
const char *causeText(const std::string &cause) {
    for (const char *known : {"disconnected", "queue full", "framing", "device counter jump"}) {
        if (cause == known) return known;
    }
    return "unknown";
}

}  // namespace

// Any thread, like the statistics: no text of the session changes.
KELVO_API int kelvoCaptureGetGaps(const kelvoCapture *capture, kelvoCaptureGap *gaps, int capacity) noexcept {
    if (capture == nullptr || building(capture) || capacity < 0 || (capacity > 0 && gaps == nullptr)) {
        return KELVO_REFUSED;
    }
    try {
        const std::vector<kelvo::capture::Gap> all = capture->session->gaps();
        for (size_t k = 0; k < all.size() && k < static_cast<size_t>(capacity); ++k) {
            const kelvo::capture::Gap &g = all[k];
            gaps[k] = {g.device,     causeText(g.cause), g.firstIndex,   g.lastIndex,
                       g.startTicks, g.endTicks,         g.samplesLost()};
        }
        return static_cast<int>(all.size());
    } catch (...) {
        return KELVO_REFUSED;
    }
}

KELVO_API int kelvoCaptureSetReconnect(kelvoCapture *capture, int enabled, int giveUpMs) noexcept {
    return guarded(capture, [&]() -> int {
        if (!building(capture)) return refuse(capture, "reconnecting is set before the capture opens");
        if (giveUpMs < 0) return refuse(capture, "the give-up time is 0 (never) or more milliseconds");
        capture->settings.reconnect = enabled != 0;
        capture->settings.giveUp = std::chrono::milliseconds(giveUpMs);
        return KELVO_OK;
    });
}

KELVO_API int kelvoCaptureGetDeviceCount(const kelvoCapture *capture) noexcept {
    return capture != nullptr ? static_cast<int>(capture->settings.devices.size()) : 0;
}

KELVO_API const char *kelvoCaptureGetSerial(const kelvoCapture *capture, int device) noexcept {
    const kelvo::recording::DeviceInfo *d = deviceOf(capture, device);
    return d != nullptr ? handOut(capture, d->serial.empty() ? d->path : d->serial) : nullptr;
}

KELVO_API const char *kelvoCaptureGetPath(const kelvoCapture *capture, int device) noexcept {
    const kelvo::recording::DeviceInfo *d = deviceOf(capture, device);
    return d != nullptr ? handOut(capture, d->path) : nullptr;
}

KELVO_API const char *kelvoCaptureGetChannels(const kelvoCapture *capture, int device) noexcept {
    const kelvo::recording::DeviceInfo *d = deviceOf(capture, device);
    if (d == nullptr) return nullptr;
    std::string names;
    for (const std::string &name : d->channelNames) names += (names.empty() ? "" : ",") + name;
    return handOut(capture, names);
}

KELVO_API int kelvoCaptureSetCurveKeys(kelvoCapture *capture, const char *dir) noexcept {
    return guarded(capture, [&]() -> int {
        if (!building(capture)) return refuse(capture, "the CURVE keys are set before the capture opens");
        if (dir == nullptr || *dir == '\0') return refuse(capture, "the CURVE key directory is empty");
        kelvo::recording::CurveKeys keys = kelvo::recording::loadCurveKeys(dir);
        if (!keys.canBind()) {
            return refuse(capture, std::string("CURVE keys: ") + dir +
                                       " holds no server.key_secret: a capture's sockets listen, and need the "
                                       "server's secret key");
        }
        capture->listeners.useKeys(std::move(keys));
        return KELVO_OK;
    });
}

KELVO_API int kelvoCaptureSetControl(kelvoCapture *capture, const char *endpoint) noexcept {
    return guarded(capture, [&]() -> int {
        if (!building(capture)) return refuse(capture, "the control socket is set before the capture opens");
        if (endpoint == nullptr || *endpoint == '\0') return refuse(capture, "the control endpoint is empty");
        capture->controlEndpoint = endpoint;
        return KELVO_OK;
    });
}

KELVO_API int kelvoCaptureGetListener(const kelvoCapture *capture, int index, kelvoCaptureListener *listener) noexcept {
    if (capture == nullptr || building(capture) || index < 0 || listener == nullptr) return KELVO_REFUSED;
    const kelvo::recording::Listener *l = capture->listeners.at(static_cast<size_t>(index));
    if (l == nullptr) return KELVO_REFUSED;
    *listener = {l->role.c_str(), l->endpoint.c_str(), l->curve ? 1 : 0, l->refused()};
    return KELVO_OK;
}

KELVO_API const char *kelvoCaptureGetControlEndpoint(const kelvoCapture *capture) noexcept {
    if (capture == nullptr || !capture->control) return nullptr;
    try {
        return handOut(capture, capture->control->endpoint());
    } catch (...) {
        return nullptr;
    }
}

KELVO_API const char *kelvoCaptureGetHdf5File(const kelvoCapture *capture) noexcept {
    if (capture == nullptr || capture->recording == nullptr) return nullptr;
    try {
        return handOut(capture, capture->recording->currentPath());
    } catch (...) {
        return nullptr;
    }
}

KELVO_API int kelvoCaptureSetWebView(kelvoCapture *capture, const char *address, int token) noexcept {
    return guarded(capture, [&]() -> int {
        if (!building(capture)) return refuse(capture, "sinks are set before the capture opens");
        if (token < -1 || token > 1) return refuse(capture, "the view's token is -1 (automatic), 0 or 1");
        capture->webView = true;
        capture->web.bind = address != nullptr && *address != '\0' ? address : "127.0.0.1:8080";
        capture->web.token = kelvo::recording::WebViewSettings::tokenFrom(token);
        return KELVO_OK;
    });
}

KELVO_API const char *kelvoCaptureGetWebUrl(const kelvoCapture *capture) noexcept {
    if (capture == nullptr || capture->webSink == nullptr) return nullptr;
    try {
        return handOut(capture, capture->webSink->url());
    } catch (...) {
        return nullptr;
    }
}

}  // extern "C"
