// SPDX-License-Identifier: MIT
// A recording in HDF5: one group per device under /devices, with the decoded
// samples, the counters, each sample's time and stream index, optionally the
// raw bytes, and the attributes that say what was recorded. Appends are
// buffered into whole HDF5 chunks.
// Not thread-safe (neither is the serial HDF5 library): one thread at a time.
#pragma once

#include <hdf5.h>

#include <array>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "deviceInfo.h"
#include "kelvo.h"

namespace kelvo::recording {

// The attribute `stats` of a device group, one compound value.
struct RecordedStats {
    uint64_t samples = 0;  // rows written
    uint64_t blocks = 0;   // the library's stream statistics...
    uint64_t payloadBytes = 0;
    uint64_t samplesDropped = 0;
    uint64_t framingErrors = 0;
    uint64_t bytesSkipped = 0;
    int64_t lastDataTicks = 0;
    uint64_t samplesLostAfterLibrary = 0;  // by the recorder's own queue
    uint64_t messagesLost = 0;             // subscriber: gaps in the sequence
};

// One row of a device's `gaps`: samples that never reached the recording.
struct RecordedGap {
    int64_t firstIndex = 0;
    int64_t lastIndex = 0;
    int64_t startTicks = 0;
    int64_t endTicks = 0;
    std::string cause;
};

class H5Recording {
public:
    explicit H5Recording(const std::string &path);  // creates or truncates
    ~H5Recording();
    H5Recording(const H5Recording &) = delete;
    H5Recording &operator=(const H5Recording &) = delete;

    void setText(const std::string &object, const std::string &name, const std::string &value) const;
    void setInt(const std::string &object, const std::string &name, int64_t value) const;
    void setDouble(const std::string &object, const std::string &name, double value) const;

    // What a device's group holds besides the samples and the counters.
    struct Extras {
        bool raw = false;    // the raw bytes (--raw)
        bool timed = false;  // `time` and `index`: each sample's time on the sample clock and stream index
    };
    // Creates /devices/<name> with its datasets and the attributes known
    // before the start; returns the device's index for append().
    int addDevice(const DeviceInfo &info, Extras extras);

    // One batch of `count` samples for append(); what the device's group
    // does not hold is ignored.
    struct Rows {
        const float *values = nullptr;       // count × channels
        const uint32_t *counters = nullptr;  // count, with a counter
        const unsigned char *raw = nullptr;  // count × sample size
        const double *seconds = nullptr;     // count: ticks / 10^7, seconds since tick 0
        const int64_t *indices = nullptr;    // count: stream indices
    };
    void append(int device, uint32_t count, const Rows &rows);
    void setStartStamps(int device, const int64_t stamps[4]);
    void setStats(int device, const RecordedStats &stats);
    // The clock_* attributes: the fit of the device's sample clock.
    void setClock(int device, const kelvoSampleClock &clock);
    const std::string &groupOf(int device) const { return devices_[static_cast<size_t>(device)].group; }

    // The markers so far, replacing what /markers held: `ticks`, `text` and
    // `source`, one row each.
    void setMarkers(const std::vector<int64_t> &ticks, const std::vector<std::string> &texts,
                    const std::vector<std::string> &sources);
    // The device's `marker_index`: its sample nearest each marker's time.
    void setMarkerIndex(int device, const std::vector<int64_t> &indices);

    // The device's gaps so far, replacing what its `gaps` held: one compound
    // row each (first_index, last_index, start_ticks, end_ticks,
    // samples_lost, cause).
    void setGaps(int device, const std::vector<RecordedGap> &gaps);

    // Writes what is buffered and flushes the file to disk.
    void flush();

private:
    struct Dataset {
        hid_t id = -1;
        hid_t type = -1;
        size_t rowBytes = 0;
        size_t chunkBytes = 0;              // one HDF5 chunk of rows
        std::vector<unsigned char> buffer;  // rows not yet written
        uint64_t rows = 0;                  // written to the file
    };
    struct Device {
        std::string group;
        size_t channels = 0;
        bool hasCounter = false;
        Extras extras;
        Dataset samples, counter, rawBytes, time, index;
        std::array<Dataset *, 5> datasets() { return {&samples, &counter, &rawBytes, &time, &index}; }
    };
    static void createDataset(hid_t group, const char *name, hid_t type, size_t columns, size_t typeBytes,
                              hsize_t chunkRows, Dataset &out);
    void buffer(Dataset &d, const void *rows, uint32_t count);
    void write(Dataset &d);
    void setStrings(const std::string &object, const std::string &name, const std::vector<std::string> &values) const;
    void replaceDataset(const std::string &path, hid_t type, hsize_t rows, const void *values) const;
    std::vector<Device> devices_;
    hid_t file_ = -1;
    std::string path_;
};

}  // namespace kelvo::recording
