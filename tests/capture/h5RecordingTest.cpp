// SPDX-License-Identifier: MIT
// A followable recording's gaps and markers as they come, written in SWMR
// mode and read back with the HDF5 C library: every device has its gaps
// dataset from the start, each gap a row with its cause as UTF-8, and the
// end's attributes are written once the file left SWMR mode.
#include <gtest/gtest.h>
#include <hdf5.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "h5Recording.h"

using kelvo::recording::DeviceInfo;
using kelvo::recording::H5Recording;
using kelvo::recording::RecordedGap;

namespace {

std::string tempFile(const std::string &name) {
    return (std::filesystem::temp_directory_path() / ("h5rec-" + std::to_string(getpid()) + "-" + name)).string();
}

DeviceInfo device(const std::string &serial) {
    DeviceInfo d;
    d.serial = serial;
    d.path = "/dev/pts/99";
    d.idn = "SIM," + serial;
    d.config = {"CONF:DEV 1"};
    d.sampleSize = 2;
    d.channelNames = {"Adc16_1"};
    return d;
}

struct ReadGap {
    int64_t firstIndex, lastIndex, startTicks, endTicks, samplesLost;
    char *cause;
};

// The gaps of `group`, read by the field names a reader uses.
std::vector<RecordedGap> readGaps(hid_t file, const std::string &group) {
    const hid_t text = H5Tcopy(H5T_C_S1);
    H5Tset_size(text, H5T_VARIABLE);
    H5Tset_cset(text, H5T_CSET_UTF8);
    const hid_t type = H5Tcreate(H5T_COMPOUND, sizeof(ReadGap));
    H5Tinsert(type, "first_index", HOFFSET(ReadGap, firstIndex), H5T_NATIVE_INT64);
    H5Tinsert(type, "last_index", HOFFSET(ReadGap, lastIndex), H5T_NATIVE_INT64);
    H5Tinsert(type, "start_ticks", HOFFSET(ReadGap, startTicks), H5T_NATIVE_INT64);
    H5Tinsert(type, "end_ticks", HOFFSET(ReadGap, endTicks), H5T_NATIVE_INT64);
    H5Tinsert(type, "samples_lost", HOFFSET(ReadGap, samplesLost), H5T_NATIVE_INT64);
    H5Tinsert(type, "cause", HOFFSET(ReadGap, cause), text);
    std::vector<RecordedGap> gaps;
    const hid_t set = H5Dopen2(file, (group + "/gaps").c_str(), H5P_DEFAULT);
    if (set >= 0) {
        const hid_t space = H5Dget_space(set);
        hsize_t n = 0;
        H5Sget_simple_extent_dims(space, &n, nullptr);
        std::vector<ReadGap> rows(n);
        if (n > 0 && H5Dread(set, type, H5S_ALL, H5S_ALL, H5P_DEFAULT, rows.data()) >= 0) {
            for (const ReadGap &r : rows) {
                gaps.push_back({r.firstIndex, r.lastIndex, r.startTicks, r.endTicks, r.samplesLost, r.cause});
            }
            H5Dvlen_reclaim(type, space, H5P_DEFAULT, rows.data());
        }
        H5Sclose(space);
        H5Dclose(set);
    }
    H5Tclose(type);
    H5Tclose(text);
    return gaps;
}

bool sameGap(const RecordedGap &a, const RecordedGap &b) {
    return a.firstIndex == b.firstIndex && a.lastIndex == b.lastIndex && a.startTicks == b.startTicks &&
           a.endTicks == b.endTicks && a.samplesLost == b.samplesLost && a.cause == b.cause;
}

hsize_t rowsOf(hid_t file, const std::string &path) {
    const hid_t set = H5Dopen2(file, path.c_str(), H5P_DEFAULT);
    if (set < 0) return 999999;
    const hid_t space = H5Dget_space(set);
    hsize_t n = 0;
    H5Sget_simple_extent_dims(space, &n, nullptr);
    H5Sclose(space);
    H5Dclose(set);
    return n;
}

}  // namespace

TEST(H5Recording, GapsAndMarkersAreAppendedInSwmrModeAndTheEndIsWrittenAfterIt) {
    const std::string path = tempFile("gaps.h5");
    const std::vector<RecordedGap> written = {
        {100, 149, 1000000, 1510000, 50, "queue full"},
        {400, 400, 4000000, 4020000, 1, "device counter jump"},
        {900, 1899, 9000000, 19010000, 1000, "d\u00e9connect\u00e9"},  // any UTF-8 text
    };
    {
        H5Recording file(path, H5Recording::Mode::followable);
        file.addDevice(device("SIM0001"), {.timed = true, .gaps = true});
        file.addDevice(device("SIM0002"), {.timed = true, .gaps = true});
        file.addMarkers();
        file.startSwmr();
        const std::vector<float> values(100, 0.5f);
        const std::vector<double> seconds(100, 1.0);
        const std::vector<int64_t> indices(100, 7);
        file.append(0, 100, {.values = values.data(), .seconds = seconds.data(), .indices = indices.data()});
        for (const RecordedGap &g : written) file.appendGap(0, g);
        file.appendMarker(5000000, "stimulus", "api", {500, 480});
        file.flush();
        file.leaveSwmr();
        file.setStats(0, {.samples = 100});
        file.setMarkerIndex(1, {481});
    }
    const hid_t file = H5Fopen(path.c_str(), H5F_ACC_RDONLY, H5P_DEFAULT);
    ASSERT_GE(file, 0) << "a cleanly closed recording opens without SWMR";
    const std::vector<RecordedGap> read = readGaps(file, "/devices/SIM0001");
    ASSERT_EQ(read.size(), written.size());
    for (size_t k = 0; k < read.size(); ++k) EXPECT_TRUE(sameGap(read[k], written[k])) << read[k].cause;
    EXPECT_EQ(rowsOf(file, "/devices/SIM0002/gaps"), 0u) << "an empty gaps dataset for a device without gaps";
    EXPECT_EQ(rowsOf(file, "/devices/SIM0001/samples"), 100u);
    EXPECT_EQ(rowsOf(file, "/markers/text"), 1u);
    int64_t index[1] = {};
    const hid_t set = H5Dopen2(file, "/devices/SIM0002/marker_index", H5P_DEFAULT);
    H5Dread(set, H5T_NATIVE_INT64, H5S_ALL, H5S_ALL, H5P_DEFAULT, index);
    H5Dclose(set);
    EXPECT_EQ(index[0], 481) << "the end rewrites the marker index";
    EXPECT_GT(H5Aexists_by_name(file, "/devices/SIM0001", "stats", H5P_DEFAULT), 0);
    H5Fclose(file);
    std::filesystem::remove(path);
}

// A killed writer: the file as the last flush left it opens for a SWMR
// reader, with every gap flushed.
TEST(H5Recording, AFileLeftInSwmrModeOpensForASwmrReaderWithItsFlushedGaps) {
    const std::string path = tempFile("left.h5");
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        H5Recording file(path, H5Recording::Mode::followable);
        file.addDevice(device("SIM0001"), {.timed = true, .gaps = true});
        file.addMarkers();
        file.startSwmr();
        file.appendGap(0, {10, 19, 100, 300, 10, "framing"});
        file.flush();
        _exit(0);  // no destructor: as if killed
    }
    int status = 0;
    waitpid(child, &status, 0);
    const hid_t file = H5Fopen(path.c_str(), H5F_ACC_RDONLY | H5F_ACC_SWMR_READ, H5P_DEFAULT);
    ASSERT_GE(file, 0);
    const std::vector<RecordedGap> read = readGaps(file, "/devices/SIM0001");
    ASSERT_EQ(read.size(), 1u);
    EXPECT_EQ(read[0].cause, "framing");
    EXPECT_EQ(read[0].samplesLost, 10);
    H5Fclose(file);
    std::filesystem::remove(path);
}
