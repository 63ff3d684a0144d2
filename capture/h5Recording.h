// SPDX-License-Identifier: MIT
// A recording in HDF5: one group per device under /devices, with the decoded
// samples, the counters, each sample's time and stream index, optionally the
// raw bytes, and the attributes that say what was recorded. Appends are
// buffered into whole HDF5 chunks.
// A recording made for following is written in HDF5's single-writer,
// multiple-reader mode once everything it holds was created (startSwmr):
// readers that open it with SWMR read access see it grow, and a killed
// writer leaves a file they open. Objects and attributes cannot be added in
// that mode, so what only the end knows is written after leaveSwmr().
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

// A row of a device's `gaps`: samples that never reached the recording.
struct RecordedGap {
    int64_t firstIndex = 0;
    int64_t lastIndex = 0;
    int64_t startTicks = 0;
    int64_t endTicks = 0;
    int64_t samplesLost = 0;
    std::string cause;
};

// A marker as a receiver keeps it: on its own clock, and on the clock of
// the machine that sent it.
struct RecordedMarker {
    int64_t ticks = 0;
    std::string text;
    std::string source;
    int64_t remoteTicks = 0;
    std::string publisher;
};

// A row of /clock_offsets/<publisher>: at `localTicks` of the receiver the
// publisher's clock read `offsetTicks` more, running `driftPpm` fast, give
// or take `uncertaintyTicks`, from exchanges of `roundTripTicks`.
struct RecordedClockEstimate {
    int64_t localTicks = 0;
    double offsetTicks = 0;
    double driftPpm = 0;
    double uncertaintyTicks = 0;
    int64_t roundTripTicks = 0;
};

class H5Recording {
public:
    enum class Mode {
        plain,      // the format every HDF5 1.8 reader knows
        followable  // the 1.10 format, for startSwmr()
    };
    explicit H5Recording(const std::string &path, Mode mode = Mode::plain);  // creates or truncates
    ~H5Recording();
    H5Recording(const H5Recording &) = delete;
    H5Recording &operator=(const H5Recording &) = delete;

    void setText(const std::string &object, const std::string &name, const std::string &value) const;
    void setInt(const std::string &object, const std::string &name, int64_t value) const;
    void setDouble(const std::string &object, const std::string &name, double value) const;
    void setInt64s(const std::string &object, const std::string &name, const int64_t *values, size_t count) const;

    // What a device's group holds besides the samples and the counters.
    struct Extras {
        bool raw = false;    // the raw bytes (--raw)
        bool timed = false;  // `time` and `index`: each sample's time on the sample clock and stream index
        bool gaps = false;   // `gaps`: the breaks in the run of stream indexes
        // `publisher_ticks`: each sample's time on the clock of the machine
        // that published it, beside `time` on the receiver's.
        bool remoteTicks = false;
    };
    // Creates /devices/<name> (`name`, or the device's name when empty)
    // with its datasets and the attributes known before the start; returns
    // the device's index for append().
    int addDevice(const DeviceInfo &info, Extras extras, const std::string &name = {});

    // One batch of `count` samples for append(); what the device's group
    // does not hold is ignored.
    struct Rows {
        const float *values = nullptr;         // count × channels
        const uint32_t *counters = nullptr;    // count, with a counter
        const unsigned char *raw = nullptr;    // count × sample size
        const double *seconds = nullptr;       // count: ticks / 10^7, seconds since tick 0
        const int64_t *indices = nullptr;      // count: stream indices
        const int64_t *remoteTicks = nullptr;  // count: the publisher's ticks
    };
    void append(int device, uint32_t count, const Rows &rows);
    void setStartStamps(int device, const int64_t stamps[4]) { setInt64s(groupOf(device), "start_stamps", stamps, 4); }
    void setStats(int device, const RecordedStats &stats);
    // The clock_* attributes: the fit of the device's sample clock.
    void setClock(int device, const kelvoSampleClock &clock);
    const std::string &groupOf(int device) const { return devices_[static_cast<size_t>(device)].group; }

    void appendGap(int device, const RecordedGap &gap);

    // /markers with `ticks`, `text` and `source`, and with `nearestSamples`
    // every device's `marker_index` (its sample nearest each marker's
    // time), all empty; after the last addDevice. A receiver without the
    // devices' clocks keeps the markers alone.
    void addMarkers(bool nearestSamples = true);
    // One row of each, with each device's nearest sample.
    void appendMarker(int64_t ticks, const std::string &text, const std::string &source,
                      const std::vector<int64_t> &nearest);
    // /markers of a receiver: `ticks` on its clock, and `publisher_ticks`
    // and `publisher` of the machine each marker came from.
    void addPublishedMarkers();
    void appendPublishedMarker(const RecordedMarker &marker);
    // Rewrites the device's `marker_index`, one value for every marker.
    void setMarkerIndex(int device, const std::vector<int64_t> &indices);

    // /clock_offsets/<name>: a receiver's estimates of a publisher's clock;
    // returns the table's index for appendClockEstimate().
    int addClockTable(const std::string &name);
    void appendClockEstimate(int table, const RecordedClockEstimate &estimate);

    // Writes what is buffered and flushes the file to disk.
    void flush();

    // From here on readers with SWMR read access may follow the file; no
    // dataset, group or attribute can be added until leaveSwmr().
    void startSwmr();
    // Closes the file and opens it again for ordinary writing, so that the
    // end's attributes can be added. Appends end here. File locking is
    // off for the reopening: a reader still following must not keep the
    // end from being written (it reopens to see it).
    void leaveSwmr();

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
        Dataset samples, counter, rawBytes, time, index, gaps, markerIndex, remoteTicks;
        std::array<Dataset *, 8> datasets() {
            return {&samples, &counter, &rawBytes, &time, &index, &gaps, &markerIndex, &remoteTicks};
        }
    };
    struct Markers {
        Dataset ticks, text, source, remoteTicks, publisher;
        std::array<Dataset *, 5> datasets() { return {&ticks, &text, &source, &remoteTicks, &publisher}; }
    };
    static void createDataset(hid_t group, const char *name, hid_t type, size_t columns, size_t typeBytes,
                              hsize_t chunkRows, Dataset &out);
    void buffer(Dataset &d, const void *rows, uint32_t count);
    void write(Dataset &d);
    void appendRows(Dataset &d, hsize_t count, const void *rows) const;
    void closeDatasets();
    void setStrings(const std::string &object, const std::string &name, const std::vector<std::string> &values) const;
    std::vector<Device> devices_;
    Markers markers_;
    std::vector<Dataset> clockTables_;
    hid_t file_ = -1;
    hid_t textType_ = -1;  // variable-length UTF-8
    hid_t gapType_ = -1;
    hid_t clockType_ = -1;
    Mode mode_;
    std::string path_;
};

}  // namespace kelvo::recording
