// SPDX-License-Identifier: MIT
// What the capture tests share: sessions built through kelvo_capture.h,
// temporary files, and the HDF5 C library's reading of a recording.
#pragma once

#include <gtest/gtest.h>
#include <hdf5.h>
#include <unistd.h>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "kelvo_capture.h"
#include "programRunner.h"

namespace kelvo::test {

inline const std::string kSim = KELVO_SIM;

using CapturePtr = std::unique_ptr<kelvoCapture, decltype(&kelvoCaptureDestroy)>;

inline CapturePtr newCapture(const std::vector<std::string> &devices, const std::vector<std::string> &config) {
    CapturePtr capture(kelvoCaptureCreate(), kelvoCaptureDestroy);
    for (const std::string &d : devices) EXPECT_EQ(kelvoCaptureAddDevice(capture.get(), d.c_str()), KELVO_OK);
    for (const std::string &c : config) EXPECT_EQ(kelvoCaptureAddConfig(capture.get(), c.c_str()), KELVO_OK);
    return capture;
}

inline std::string tempFile(const std::string &name) {
    return (std::filesystem::temp_directory_path() / ("capture-" + std::to_string(getpid()) + "-" + name)).string();
}

template <typename T>
inline std::vector<T> readDataset(hid_t file, const std::string &path, hid_t type) {
    const hid_t set = H5Dopen2(file, path.c_str(), H5P_DEFAULT);
    if (set < 0) return {};
    const hid_t space = H5Dget_space(set);
    hsize_t n = 0;
    H5Sget_simple_extent_dims(space, &n, nullptr);
    std::vector<T> values(n);
    if (n > 0) H5Dread(set, type, H5S_ALL, H5S_ALL, H5P_DEFAULT, values.data());
    H5Sclose(space);
    H5Dclose(set);
    return values;
}

inline std::vector<std::string> readTexts(hid_t file, const std::string &path) {
    const hid_t type = H5Tcopy(H5T_C_S1);
    H5Tset_size(type, H5T_VARIABLE);
    H5Tset_cset(type, H5T_CSET_UTF8);
    std::vector<char *> raw = readDataset<char *>(file, path, type);
    std::vector<std::string> texts;
    for (const char *text : raw) texts.emplace_back(text != nullptr ? text : "(unreadable)");
    const hid_t set = H5Dopen2(file, path.c_str(), H5P_DEFAULT);
    const hid_t space = H5Dget_space(set);
    if (!raw.empty()) H5Dvlen_reclaim(type, space, H5P_DEFAULT, raw.data());
    H5Sclose(space);
    H5Dclose(set);
    H5Tclose(type);
    return texts;
}

// The device's statistics once it has handed out `samples`, or after 5 s.
inline kelvoCaptureStats statsOnceReceived(const CapturePtr &capture, int device, uint64_t samples) {
    kelvoCaptureStats stats{};
    for (int i = 0; i < 500 && stats.received < samples; ++i) {
        usleep(10000);
        kelvoCaptureGetStats(capture.get(), device, &stats);
    }
    return stats;
}

}  // namespace kelvo::test
