// SPDX-License-Identifier: MIT
// Markers through kelvo_capture.h: what the session refuses and says why,
// and the bound of its queue, filled by a ZeroMQ sender while the session
// is open but not yet started (so that nothing takes markers out).
#include <gtest/gtest.h>
#include <unistd.h>
#include <zmq.h>

#include <filesystem>
#include <memory>
#include <thread>

#include "kelvo_capture.h"
#include "programRunner.h"

using namespace kelvo::test;

namespace {

const std::string kSim = KELVO_SIM;
::testing::Environment *const kRuntimeFolder = ::testing::AddGlobalTestEnvironment(new PrivateRuntimeFolder);

using CapturePtr = std::unique_ptr<kelvoCapture, decltype(&kelvoCaptureDestroy)>;

CapturePtr openedCapture(const std::string &device, const std::string &markers = "") {
    CapturePtr capture(kelvoCaptureCreate(), kelvoCaptureDestroy);
    EXPECT_EQ(kelvoCaptureAddDevice(capture.get(), device.c_str()), KELVO_OK);
    EXPECT_EQ(kelvoCaptureAddConfig(capture.get(), "CONFigure:DEVice 2"), KELVO_OK);
    EXPECT_EQ(kelvoCaptureEnableRead(capture.get()), KELVO_OK);
    if (!markers.empty()) EXPECT_EQ(kelvoCaptureAddMarkerSource(capture.get(), markers.c_str()), KELVO_OK);
    EXPECT_EQ(kelvoCaptureOpen(capture.get()), KELVO_OK) << kelvoCaptureGetError(capture.get());
    return capture;
}

struct MarkerCounts {
    uint64_t received = 0;
    uint64_t dropped = 0;
};

MarkerCounts counts(const CapturePtr &capture) {
    MarkerCounts c;
    EXPECT_EQ(kelvoCaptureGetMarkerStats(capture.get(), &c.received, &c.dropped), KELVO_OK);
    return c;
}

}  // namespace

TEST(CaptureMarkers, RefusalsSayWhyOnTheMarkingThreadAndAreNotCounted) {
    SimProcess sim(kSim, {"--rate", "1000", "--block", "50"});
    CapturePtr capture = openedCapture(sim.paths[0]);
    EXPECT_EQ(kelvoCaptureMark(capture.get(), "early", 0), KELVO_REFUSED);
    EXPECT_STREQ(kelvoCaptureGetError(capture.get()), "the capture is not running");
    ASSERT_EQ(kelvoCaptureStart(capture.get()), KELVO_OK);

    const std::string tooLong(4097, 'x');
    EXPECT_EQ(kelvoCaptureMark(capture.get(), tooLong.c_str(), 0), KELVO_REFUSED);
    EXPECT_STREQ(kelvoCaptureGetError(capture.get()), "the marker text is 4097 bytes, over the limit of 4096");
    // Another thread's calls neither see nor disturb this thread's reason.
    std::string elsewhere;
    std::thread([&] { elsewhere = kelvoCaptureGetError(capture.get()); }).join();
    EXPECT_EQ(elsewhere, "");
    EXPECT_EQ(kelvoCaptureMark(capture.get(), "\xed\xa0\x80", 0), KELVO_REFUSED);
    EXPECT_STREQ(kelvoCaptureGetError(capture.get()), "the marker text is not valid UTF-8");

    EXPECT_EQ(kelvoCaptureMark(capture.get(), std::string(4096, 'x').c_str(), 0), KELVO_OK);
    EXPECT_STREQ(kelvoCaptureGetError(capture.get()), "");
    EXPECT_EQ(kelvoCaptureAddMarkerSource(capture.get(), "bus"), KELVO_REFUSED);
    EXPECT_EQ(kelvoCaptureErrorIsUsage(capture.get()), 1);
    ASSERT_EQ(kelvoCaptureStop(capture.get()), KELVO_OK);
    const MarkerCounts c = counts(capture);
    EXPECT_EQ(c.received, 1u);
    EXPECT_EQ(c.dropped, 0u);
}

TEST(CaptureMarkers, ASourceNamedTwiceOrEmptyIsAUsageError) {
    CapturePtr capture(kelvoCaptureCreate(), kelvoCaptureDestroy);
    ASSERT_EQ(kelvoCaptureAddMarkerSource(capture.get(), "bus"), KELVO_OK);
    EXPECT_EQ(kelvoCaptureAddMarkerSource(capture.get(), "bus"), KELVO_REFUSED);
    EXPECT_EQ(kelvoCaptureErrorIsUsage(capture.get()), 1);
    ASSERT_EQ(kelvoCaptureAddMarkerSource(capture.get(), "ipc:///tmp/x"), KELVO_OK);
    EXPECT_EQ(kelvoCaptureAddMarkerSource(capture.get(), "ipc:///tmp/x"), KELVO_REFUSED);
    EXPECT_EQ(kelvoCaptureAddMarkerSource(capture.get(), ""), KELVO_REFUSED);
    EXPECT_EQ(kelvoCaptureAddMarkerSource(capture.get(), nullptr), KELVO_REFUSED);
    EXPECT_EQ(kelvoCaptureGetMarkerStats(capture.get(), nullptr, nullptr), KELVO_REFUSED) << "not open";
}

// 4096 markers wait for the start; the ones after them are dropped and
// counted, and exactly the 4096 reach the sinks once it starts.
TEST(CaptureMarkers, MarkersBeyondTheQueuesBoundAreCountedAsDropped) {
    SimProcess sim(kSim, {"--rate", "1000", "--block", "50"});
    const std::string endpoint =
        "ipc://" +
        (std::filesystem::temp_directory_path() / ("capture-marks-" + std::to_string(getpid()) + ".sock")).string();
    CapturePtr capture = openedCapture(sim.paths[0], endpoint);
    constexpr uint64_t kQueued = 4096, kBeyond = 25;
    void *context = zmq_ctx_new();
    void *push = zmq_socket(context, ZMQ_PUSH);
    ASSERT_EQ(zmq_connect(push, endpoint.c_str()), 0);
    for (uint64_t n = 0; n < kQueued + kBeyond; ++n) {
        const std::string text = "marker " + std::to_string(n);
        ASSERT_EQ(zmq_send(push, text.data(), text.size(), 0), static_cast<int>(text.size()));
    }
    for (int i = 0; i < 3000 && counts(capture).dropped < kBeyond; ++i) usleep(10000);
    EXPECT_EQ(counts(capture).dropped, kBeyond);
    EXPECT_EQ(counts(capture).received, 0u) << "nothing reaches the sinks before the start";
    ASSERT_EQ(kelvoCaptureStart(capture.get()), KELVO_OK);
    ASSERT_EQ(kelvoCaptureStop(capture.get()), KELVO_OK);
    const MarkerCounts c = counts(capture);
    EXPECT_EQ(c.received, kQueued);
    EXPECT_EQ(c.dropped, kBeyond);
    kelvoCaptureStats stats{};
    ASSERT_EQ(kelvoCaptureGetStats(capture.get(), 0, &stats), KELVO_OK);
    EXPECT_EQ(stats.markers, kQueued);
    zmq_close(push);
    zmq_ctx_term(context);
}
