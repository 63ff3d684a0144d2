// SPDX-License-Identifier: MIT
// A publishing session's time service through kelvo_capture.h: where it
// listens, the refusals, and a subscriber's report coming back in the meta
// document, against kelvo-sim over real ZeroMQ sockets.
#include <gtest/gtest.h>
#include <json/reader.h>
#include <unistd.h>
#include <zmq.h>

#include <chrono>
#include <string>
#include <vector>

#include "captureTesting.h"
#include "clockService.h"
#include "clockTracker.h"
#include "zmqSocket.h"

using namespace kelvo::test;
using namespace std::chrono_literals;

namespace {

::testing::Environment *const kRuntimeFolder = ::testing::AddGlobalTestEnvironment(new PrivateRuntimeFolder);

CapturePtr publishing(const std::string &device, const std::string &endpoint, const char *timeEndpoint) {
    CapturePtr capture = newCapture({device}, {"CONFigure:DEVice 2"});
    EXPECT_EQ(kelvoCaptureSetPublish(capture.get(), endpoint.c_str(), nullptr, 0), KELVO_OK);
    EXPECT_EQ(kelvoCaptureSetTimeEndpoint(capture.get(), timeEndpoint), KELVO_OK);
    return capture;
}

// The next meta document whose subscribers satisfy `wanted`, or null
// after many.
template <class Wanted>
Json::Value metaWhere(kelvo::recording::ZmqSocket &sub, Wanted wanted) {
    for (int k = 0; k < 60; ++k) {
        std::vector<std::string> frames;
        if (!sub.receive(frames, 5s)) return Json::nullValue;
        if (frames.size() != 2 || frames[0] != "kelvo/meta") continue;
        Json::Value meta;
        std::istringstream text(frames[1]);
        if (Json::parseFromStream(Json::CharReaderBuilder(), text, &meta, nullptr) && wanted(meta)) return meta;
    }
    return Json::nullValue;
}

}  // namespace

TEST(CaptureTime, APublishingSessionServesItsClockBesideItsDataAndListsItsSubscribers) {
    SimProcess sim(kSim, {"--rate", "1000", "--block", "50"});
    const std::string endpoint = "ipc://" + tempFile("time.sock");
    CapturePtr capture = publishing(sim.paths[0], endpoint, nullptr);
    EXPECT_EQ(kelvoCaptureGetTimeEndpoint(capture.get()), nullptr) << "not open yet";
    ASSERT_EQ(kelvoCaptureOpen(capture.get()), KELVO_OK) << kelvoCaptureGetError(capture.get());
    EXPECT_EQ(kelvoCaptureSetTimeEndpoint(capture.get(), "tcp://127.0.0.1:0"), KELVO_REFUSED);
    ASSERT_NE(kelvoCaptureGetTimeEndpoint(capture.get()), nullptr);
    const std::string timeEndpoint = kelvoCaptureGetTimeEndpoint(capture.get());
    EXPECT_EQ(timeEndpoint, endpoint + ".time");

    kelvo::recording::ZmqSocket sub(ZMQ_SUB);
    sub.subscribe("kelvo/meta");
    sub.connect(endpoint);
    ASSERT_EQ(kelvoCaptureStart(capture.get()), KELVO_OK) << kelvoCaptureGetError(capture.get());
    kelvo::recording::ClockTracker tracker(timeEndpoint, "captureTimeTest");
    tracker.report(42, 1);
    ASSERT_TRUE(tracker.waitForFirst(30s));
    EXPECT_NEAR(tracker.estimate()->offsetTicks, 0, 1e4) << "the same machine's clock";

    const Json::Value meta = metaWhere(sub, [](const Json::Value &m) {
        return m["subscribers"].size() == 1 && m["subscribers"][0]["received"].asUInt64() == 42;
    });
    ASSERT_FALSE(meta.isNull()) << "no meta document listed the subscriber";
    EXPECT_EQ(meta["time_endpoint"].asString(), timeEndpoint);
    EXPECT_EQ(meta["subscribers"][0]["name"].asString(), "captureTimeTest");
    EXPECT_EQ(meta["subscribers"][0]["lost"].asUInt64(), 1u);
    EXPECT_EQ(kelvoCaptureStop(capture.get()), KELVO_OK) << kelvoCaptureGetError(capture.get());
}

TEST(CaptureTime, ATimeEndpointThatCannotBeHadRefusesTheOpenByName) {
    SimProcess sim(kSim, {"--rate", "1000", "--block", "50"});
    kelvo::recording::ClockService taken("tcp://127.0.0.1:0");
    CapturePtr busy = publishing(sim.paths[0], "tcp://127.0.0.1:0", taken.endpoint().c_str());
    EXPECT_EQ(kelvoCaptureOpen(busy.get()), KELVO_REFUSED);
    EXPECT_NE(std::string(kelvoCaptureGetError(busy.get())).find(taken.endpoint()), std::string::npos)
        << kelvoCaptureGetError(busy.get());
    EXPECT_EQ(kelvoCaptureErrorIsUsage(busy.get()), 0);

    // No port follows 65535: the caller has to name one.
    CapturePtr last = publishing(sim.paths[0], "tcp://127.0.0.1:65535", "");
    EXPECT_EQ(kelvoCaptureOpen(last.get()), KELVO_REFUSED);
    EXPECT_EQ(kelvoCaptureErrorIsUsage(last.get()), 1) << kelvoCaptureGetError(last.get());

    // Once the endpoint is free the same device opens: nothing stayed bound.
    CapturePtr fine = publishing(sim.paths[0], "tcp://127.0.0.1:0", "tcp://127.0.0.1:0");
    EXPECT_EQ(kelvoCaptureOpen(fine.get()), KELVO_OK) << kelvoCaptureGetError(fine.get());
}
