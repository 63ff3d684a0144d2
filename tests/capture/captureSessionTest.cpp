// SPDX-License-Identifier: MIT
// A capture session driven through kelvo_capture.h alone, as any program
// would: two simulated devices named by their serial numbers, recorded into
// HDF5 and read by the program at once, the file read back with the HDF5 C
// library; and the refusals, which leave nothing open and no file behind.
#include <gtest/gtest.h>
#include <hdf5.h>
#include <signal.h>
#include <unistd.h>

#include <filesystem>
#include <map>
#include <memory>

#include "captureTesting.h"

using namespace kelvo::test;

namespace {

::testing::Environment *const kRuntimeFolder = ::testing::AddGlobalTestEnvironment(new PrivateRuntimeFolder);

struct Taken {
    int64_t nextIndex = 0;
    uint64_t samples = 0;
    bool inOrder = true;
    bool timesRise = true;
    int64_t lastTicks = 0;
};

void take(Taken &t, const kelvoCaptureBatch &b) {
    t.inOrder = t.inOrder && b.firstIndex == t.nextIndex;
    for (int k = 0; k < b.count; ++k) {
        t.timesRise = t.timesRise && b.ticks[k] > t.lastTicks;
        t.lastTicks = b.ticks[k];
    }
    t.nextIndex = b.firstIndex + b.count;
    t.samples += static_cast<uint64_t>(b.count);
}

}  // namespace

TEST(CaptureSession, RecordsTwoDevicesAndHandsTheProgramEverySampleInOrderWithTimes) {
    SimProcess sim(kSim, {"--rate", "2000", "--block", "50"}, 2);
    const std::string path = tempFile("two.h5");
    CapturePtr capture = newCapture({"SIM0001", "SIM0002"}, {"CONF:DEV 2"});
    ASSERT_EQ(kelvoCaptureSetHdf5(capture.get(), path.c_str(), 0), KELVO_OK);
    ASSERT_EQ(kelvoCaptureEnableRead(capture.get()), KELVO_OK);
    ASSERT_EQ(kelvoCaptureOpen(capture.get()), KELVO_OK) << kelvoCaptureGetError(capture.get());
    EXPECT_STREQ(kelvoCaptureGetSerial(capture.get(), 1), "SIM0002");
    EXPECT_STREQ(kelvoCaptureGetPath(capture.get(), 0), sim.paths[0].c_str());
    EXPECT_EQ(kelvoCaptureMark(capture.get(), "too early", 0), KELVO_REFUSED) << "not running yet";
    ASSERT_EQ(kelvoCaptureStart(capture.get()), KELVO_OK) << kelvoCaptureGetError(capture.get());

    Taken taken[2];
    kelvoCaptureBatch batch{};
    bool marked = false;
    while (taken[0].samples < 2000 || taken[1].samples < 2000) {
        ASSERT_EQ(kelvoCaptureRead(capture.get(), &batch, 5000), KELVO_OK) << kelvoCaptureGetError(capture.get());
        ASSERT_GE(batch.device, 0);
        ASSERT_LT(batch.device, 2);
        EXPECT_EQ(batch.channels, 2);
        take(taken[batch.device], batch);
        if (!marked && taken[0].samples >= 1000) {
            EXPECT_EQ(kelvoCaptureMark(capture.get(), "stimulus on", 0), KELVO_OK);
            marked = true;
        }
    }
    ASSERT_EQ(kelvoCaptureStop(capture.get()), KELVO_OK) << kelvoCaptureGetError(capture.get());
    // What came between the last read and the stop is still handed out.
    int result = KELVO_OK;
    while ((result = kelvoCaptureRead(capture.get(), &batch, 1000)) == KELVO_OK) take(taken[batch.device], batch);
    EXPECT_EQ(result, KELVO_REFUSED) << "the end is told once every batch was read";

    const hid_t file = H5Fopen(path.c_str(), H5F_ACC_RDONLY, H5P_DEFAULT);
    ASSERT_GE(file, 0);
    for (int d = 0; d < 2; ++d) {
        kelvoCaptureStats stats{};
        ASSERT_EQ(kelvoCaptureGetStats(capture.get(), d, &stats), KELVO_OK);
        EXPECT_EQ(stats.received, taken[d].samples);
        EXPECT_EQ(stats.dropped, 0u);
        EXPECT_EQ(stats.gaps, 0u);
        EXPECT_EQ(stats.markers, 1u);
        EXPECT_TRUE(taken[d].inOrder);
        EXPECT_TRUE(taken[d].timesRise);

        const std::string group = "/devices/SIM000" + std::to_string(d + 1);
        const std::vector<int64_t> index = readDataset<int64_t>(file, group + "/index", H5T_NATIVE_INT64);
        ASSERT_EQ(index.size(), taken[d].samples);
        for (size_t k = 0; k < index.size(); ++k) ASSERT_EQ(index[k], static_cast<int64_t>(k));
        const std::vector<uint32_t> counter = readDataset<uint32_t>(file, group + "/counter", H5T_NATIVE_UINT32);
        ASSERT_EQ(counter.size(), index.size());
        EXPECT_EQ(counter.back(), static_cast<uint32_t>(index.back())) << "the device's counter is the index";
        const std::vector<int64_t> near = readDataset<int64_t>(file, group + "/marker_index", H5T_NATIVE_INT64);
        ASSERT_EQ(near.size(), 1u);
        EXPECT_GT(near[0], 0);
        EXPECT_LT(near[0], static_cast<int64_t>(index.size()));
    }
    EXPECT_EQ(readTexts(file, "/markers/text"), std::vector<std::string>{"stimulus on"});
    EXPECT_EQ(readTexts(file, "/markers/source"), std::vector<std::string>{"api"});
    H5Fclose(file);
    std::filesystem::remove(path);
}

TEST(CaptureSession, ACallbackGetsEveryBatchOnTheConsumerThread) {
    SimProcess sim(kSim, {"--rate", "2000", "--block", "40"});
    CapturePtr capture = newCapture({sim.paths[0]}, {"CONF:DEV 3"});
    struct Seen {
        Taken taken;
        int channels = 0;
    } seen;
    const auto callback = [](void *user, const kelvoCaptureBatch *b) {
        auto *s = static_cast<Seen *>(user);
        s->channels = b->channels;
        take(s->taken, *b);
    };
    ASSERT_EQ(kelvoCaptureSetCallback(capture.get(), callback, &seen), KELVO_OK);
    ASSERT_EQ(kelvoCaptureOpen(capture.get()), KELVO_OK) << kelvoCaptureGetError(capture.get());
    ASSERT_EQ(kelvoCaptureStart(capture.get()), KELVO_OK);
    kelvoCaptureStats stats = statsOnceReceived(capture, 0, 1000);
    ASSERT_EQ(kelvoCaptureStop(capture.get()), KELVO_OK);
    kelvoCaptureGetStats(capture.get(), 0, &stats);
    EXPECT_GE(stats.received, 1000u);
    EXPECT_EQ(seen.taken.samples, stats.received);
    EXPECT_TRUE(seen.taken.inOrder);
    EXPECT_EQ(seen.channels, 3);
    kelvoCaptureBatch batch{};
    EXPECT_EQ(kelvoCaptureRead(capture.get(), &batch, 0), KELVO_REFUSED) << "reading was not enabled";
}

int64_t rootInt(hid_t file, const char *name) {
    int64_t value = -1;
    const hid_t attribute = H5Aopen_by_name(file, "/", name, H5P_DEFAULT, H5P_DEFAULT);
    H5Aread(attribute, H5T_NATIVE_INT64, &value);
    H5Aclose(attribute);
    return value;
}

// Half-second files: together they hold every sample the program read,
// once and in order, and a marker goes to the one file whose span holds
// its time, with the index of its sample.
TEST(CaptureSession, ASplitRecordingHoldsEverySampleOnceAndAMarkerInTheFileOfItsTime) {
    SimProcess sim(kSim, {"--rate", "2000", "--block", "50"});
    const std::string path = tempFile("split.h5");
    CapturePtr capture = newCapture({sim.paths[0]}, {"CONF:DEV 2"});
    EXPECT_EQ(kelvoCaptureSetHdf5Split(capture.get(), -1), KELVO_REFUSED);
    ASSERT_EQ(kelvoCaptureSetHdf5(capture.get(), path.c_str(), 0), KELVO_OK);
    ASSERT_EQ(kelvoCaptureSetHdf5Split(capture.get(), 0.5), KELVO_OK);
    ASSERT_EQ(kelvoCaptureEnableRead(capture.get()), KELVO_OK);
    ASSERT_EQ(kelvoCaptureOpen(capture.get()), KELVO_OK) << kelvoCaptureGetError(capture.get());
    ASSERT_EQ(kelvoCaptureStart(capture.get()), KELVO_OK) << kelvoCaptureGetError(capture.get());
    Taken taken;
    kelvoCaptureBatch batch{};
    int64_t markedAt = 0;
    int64_t markedIndex = 0;
    while (taken.samples < 3000) {
        ASSERT_EQ(kelvoCaptureRead(capture.get(), &batch, 5000), KELVO_OK) << kelvoCaptureGetError(capture.get());
        take(taken, batch);
        if (markedAt == 0 && taken.samples >= 600) {
            // 0.4 s after a sample 0.3 s in: in the second file. That
            // sample's time is the fit of its moment, which later refits
            // may move by a few samples.
            markedAt = batch.ticks[0] + 4000000;
            markedIndex = batch.firstIndex + 800;
            ASSERT_EQ(kelvoCaptureMark(capture.get(), "later", markedAt), KELVO_OK);
        }
    }
    ASSERT_EQ(kelvoCaptureStop(capture.get()), KELVO_OK) << kelvoCaptureGetError(capture.get());
    while (kelvoCaptureRead(capture.get(), &batch, 1000) == KELVO_OK) take(taken, batch);
    EXPECT_FALSE(std::filesystem::exists(path)) << "only the numbered files";

    std::vector<int64_t> index;
    int filesWithTheMarker = 0;
    int files = 0;
    for (int n = 1;; ++n) {
        const std::string part = path.substr(0, path.size() - 3) + "-000" + std::to_string(n) + ".h5";
        const hid_t file = H5Fopen(part.c_str(), H5F_ACC_RDONLY, H5P_DEFAULT);
        if (file < 0) break;
        ++files;
        const std::vector<int64_t> rows = readDataset<int64_t>(file, "/devices/SIM0001/index", H5T_NATIVE_INT64);
        index.insert(index.end(), rows.begin(), rows.end());
        const std::vector<int64_t> marks = readDataset<int64_t>(file, "/markers/ticks", H5T_NATIVE_INT64);
        if (!marks.empty()) {
            ++filesWithTheMarker;
            EXPECT_EQ(marks, std::vector<int64_t>{markedAt});
            EXPECT_GE(markedAt, rootInt(file, "split_start_ticks")) << part;
            EXPECT_LT(markedAt, rootInt(file, "split_end_ticks")) << part;
            const std::vector<int64_t> near =
                readDataset<int64_t>(file, "/devices/SIM0001/marker_index", H5T_NATIVE_INT64);
            ASSERT_EQ(near.size(), 1u);
            EXPECT_NEAR(static_cast<double>(near[0]), static_cast<double>(markedIndex), 10.0) << "the sample 0.4 s on";
            EXPECT_EQ(n, 2);
        }
        H5Fclose(file);
        std::filesystem::remove(part);
    }
    EXPECT_GE(files, 3);
    EXPECT_EQ(filesWithTheMarker, 1);
    ASSERT_EQ(index.size(), taken.samples);
    for (size_t k = 0; k < index.size(); ++k) ASSERT_EQ(index[k], static_cast<int64_t>(k));
}

// Each refusal names what is wrong, leaves the devices closed (another
// session opens them at once) and leaves no file behind.
TEST(CaptureSession, RefusalsNameTheCauseAndLeaveNothingOpenNorAFile) {
    SimProcess sim(kSim, {}, 2);
    const std::string path = tempFile("refused.h5");
    struct Case {
        std::vector<std::string> devices;
        std::vector<std::string> config;
        std::string output;
        std::string says;
    };
    const Case cases[] = {
        {{sim.paths[0], sim.paths[0]}, {"CONF:DEV 2"}, path, sim.paths[0] + " is given twice"},
        {{"SIM0001", "SIM0099"}, {"CONF:DEV 2"}, path, "no device 'SIM0099'"},
        {{"SIM0001"}, {"CONF:DEV 2"}, "/nonexistent/folder/run.h5", "/nonexistent/folder/run.h5"},
        {{"SIM0001"}, {"CONF:NOPE 1"}, path, "the device rejected 'CONF:NOPE 1'"},
        {{"SIM0001"}, {}, path, "configuration commands"},
    };
    for (const Case &c : cases) {
        CapturePtr capture = newCapture(c.devices, c.config);
        ASSERT_EQ(kelvoCaptureSetHdf5(capture.get(), c.output.c_str(), 0), KELVO_OK);
        EXPECT_EQ(kelvoCaptureOpen(capture.get()), KELVO_REFUSED) << c.says;
        EXPECT_NE(std::string(kelvoCaptureGetError(capture.get())).find(c.says), std::string::npos)
            << kelvoCaptureGetError(capture.get());
        EXPECT_FALSE(std::filesystem::exists(c.output)) << c.says;
        EXPECT_EQ(kelvoCaptureStart(capture.get()), KELVO_REFUSED);

        CapturePtr next = newCapture({"SIM0001", "SIM0002"}, {"CONF:DEV 2"});
        EXPECT_EQ(kelvoCaptureOpen(next.get()), KELVO_OK) << c.says << ": " << kelvoCaptureGetError(next.get());
    }
    CapturePtr five = newCapture({"a", "b", "c", "d"}, {});
    EXPECT_EQ(kelvoCaptureAddDevice(five.get(), "e"), KELVO_REFUSED);
    EXPECT_STREQ(kelvoCaptureGetError(five.get()), "a capture takes 1 to 4 devices");
    EXPECT_EQ(kelvoCaptureOpen(nullptr), KELVO_REFUSED);
}

// Without reconnecting, the last device gone ends the session at once: the
// wait wakes, the stop names the device, what came before it was kept, and
// the gap runs from its last sample to the stop.
TEST(CaptureSession, WithoutReconnectingTheLastDeviceGoneEndsTheSessionWithItsName) {
    SimProcess sim(kSim, {"--rate", "2000", "--block", "50"}, 1);
    CapturePtr capture = newCapture({"SIM0001"}, {"CONF:DEV 2"});
    ASSERT_EQ(kelvoCaptureSetReconnect(capture.get(), 0, 0), KELVO_OK);
    ASSERT_EQ(kelvoCaptureOpen(capture.get()), KELVO_OK) << kelvoCaptureGetError(capture.get());
    ASSERT_EQ(kelvoCaptureStart(capture.get()), KELVO_OK);
    const kelvoCaptureStats before = statsOnceReceived(capture, 0, 500);
    ASSERT_GE(before.received, 500u);
    EXPECT_EQ(kelvoCaptureWait(capture.get(), 0), KELVO_TIMEOUT) << "a session that streams has not ended";

    ASSERT_EQ(kill(sim.pid(), SIGUSR1), 0);
    EXPECT_EQ(kelvoCaptureWait(capture.get(), 10000), KELVO_OK) << "the unplug did not end the session";
    EXPECT_EQ(kelvoCaptureStop(capture.get()), KELVO_REFUSED);
    EXPECT_NE(std::string(kelvoCaptureGetError(capture.get())).find(sim.paths[0] + ": the device was unplugged"),
              std::string::npos)
        << kelvoCaptureGetError(capture.get());
    EXPECT_EQ(kelvoCaptureErrorIsUsage(capture.get()), 0);
    kelvoCaptureStats after{};
    ASSERT_EQ(kelvoCaptureGetStats(capture.get(), 0, &after), KELVO_OK);
    EXPECT_GE(after.received, before.received);
    EXPECT_EQ(after.dropped, 0u);
    EXPECT_EQ(after.reconnects, 0u);
    kelvoCaptureGap gap{};
    ASSERT_EQ(kelvoCaptureGetGaps(capture.get(), &gap, 1), 1);
    EXPECT_STREQ(gap.cause, "disconnected");
    EXPECT_EQ(gap.firstIndex, static_cast<int64_t>(after.received)) << "the gap opens after the last sample";
    EXPECT_GT(gap.endTicks, gap.startTicks);
}

// The live view through the C interface: an address that is none, or a
// port taken, refuses the open with the reason and leaves no file; a view
// bound says where, with a token where one is wanted.
TEST(CaptureSession, AWebViewThatCannotListenRefusesTheOpenAndOneThatListensSaysWhere) {
    SimProcess sim(kSim, {}, 1);
    const std::string path = tempFile("viewed.h5");
    CapturePtr bad = newCapture({"SIM0001"}, {"CONF:DEV 2"});
    EXPECT_EQ(kelvoCaptureSetWebView(bad.get(), "127.0.0.1:0", 2), KELVO_REFUSED);
    ASSERT_EQ(kelvoCaptureSetWebView(bad.get(), "lab-pc", -1), KELVO_OK);
    ASSERT_EQ(kelvoCaptureSetHdf5(bad.get(), path.c_str(), 0), KELVO_OK);
    EXPECT_EQ(kelvoCaptureOpen(bad.get()), KELVO_REFUSED);
    EXPECT_NE(std::string(kelvoCaptureGetError(bad.get())).find("HOST:PORT"), std::string::npos)
        << kelvoCaptureGetError(bad.get());
    EXPECT_EQ(kelvoCaptureErrorIsUsage(bad.get()), 1);
    EXPECT_FALSE(std::filesystem::exists(path));
    EXPECT_EQ(kelvoCaptureGetWebUrl(bad.get()), nullptr);

    CapturePtr viewed = newCapture({"SIM0001"}, {"CONF:DEV 2"});
    ASSERT_EQ(kelvoCaptureSetWebView(viewed.get(), "127.0.0.1:0", 1), KELVO_OK);
    ASSERT_EQ(kelvoCaptureOpen(viewed.get()), KELVO_OK) << kelvoCaptureGetError(viewed.get());
    const std::string url = kelvoCaptureGetWebUrl(viewed.get());
    EXPECT_EQ(url.rfind("http://127.0.0.1:", 0), 0u) << url;
    EXPECT_NE(url.find("/?token="), std::string::npos) << url;
    EXPECT_EQ(kelvoCaptureSetWebView(viewed.get(), nullptr, -1), KELVO_REFUSED);

    const std::string taken = url.substr(7, url.find('/', 7) - 7);
    CapturePtr second = newCapture({"SIM0001"}, {"CONF:DEV 2"});
    ASSERT_EQ(kelvoCaptureSetWebView(second.get(), taken.c_str(), 0), KELVO_OK);
    EXPECT_EQ(kelvoCaptureOpen(second.get()), KELVO_REFUSED);
    EXPECT_NE(std::string(kelvoCaptureGetError(second.get())).find("cannot serve the view on " + taken),
              std::string::npos)
        << kelvoCaptureGetError(second.get());
}
