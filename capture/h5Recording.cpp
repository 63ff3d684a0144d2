// SPDX-License-Identifier: MIT
#include "h5Recording.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>

namespace kelvo::recording {

namespace {

// About 64 kB per HDF5 chunk: big enough for fast appends, small enough
// that a flush once a second leaves little in memory.
constexpr size_t kChunkBytes = 65536;
// Chunk rows of what comes a few times a run: gaps and markers.
constexpr hsize_t kRareRows = 64;

hid_t check(hid_t id, const std::string &what) {
    if (id < 0) throw std::runtime_error("HDF5: cannot " + what);
    return id;
}

void check(herr_t status, const std::string &what, int) {
    if (status < 0) throw std::runtime_error("HDF5: cannot " + what);
}

// Closes an HDF5 handle when the scope ends.
struct Handle {
    hid_t id;
    herr_t (*close)(hid_t);
    ~Handle() {
        if (id >= 0) close(id);
    }
};

hid_t textType() {
    const hid_t type = H5Tcopy(H5T_C_S1);
    H5Tset_size(type, H5T_VARIABLE);
    H5Tset_cset(type, H5T_CSET_UTF8);
    return type;
}

// A row of `gaps` as HDF5 reads it from memory.
struct GapRow {
    int64_t firstIndex;
    int64_t lastIndex;
    int64_t startTicks;
    int64_t endTicks;
    int64_t samplesLost;
    const char *cause;
};

hid_t gapType(hid_t text) {
    const hid_t type = H5Tcreate(H5T_COMPOUND, sizeof(GapRow));
    H5Tinsert(type, "first_index", offsetof(GapRow, firstIndex), H5T_NATIVE_INT64);
    H5Tinsert(type, "last_index", offsetof(GapRow, lastIndex), H5T_NATIVE_INT64);
    H5Tinsert(type, "start_ticks", offsetof(GapRow, startTicks), H5T_NATIVE_INT64);
    H5Tinsert(type, "end_ticks", offsetof(GapRow, endTicks), H5T_NATIVE_INT64);
    H5Tinsert(type, "samples_lost", offsetof(GapRow, samplesLost), H5T_NATIVE_INT64);
    H5Tinsert(type, "cause", offsetof(GapRow, cause), text);
    return type;
}

hid_t clockType() {
    const hid_t type = H5Tcreate(H5T_COMPOUND, sizeof(RecordedClockEstimate));
    H5Tinsert(type, "local_ticks", offsetof(RecordedClockEstimate, localTicks), H5T_NATIVE_INT64);
    H5Tinsert(type, "offset_ticks", offsetof(RecordedClockEstimate, offsetTicks), H5T_NATIVE_DOUBLE);
    H5Tinsert(type, "drift_ppm", offsetof(RecordedClockEstimate, driftPpm), H5T_NATIVE_DOUBLE);
    H5Tinsert(type, "uncertainty_ticks", offsetof(RecordedClockEstimate, uncertaintyTicks), H5T_NATIVE_DOUBLE);
    H5Tinsert(type, "round_trip_ticks", offsetof(RecordedClockEstimate, roundTripTicks), H5T_NATIVE_INT64);
    return type;
}

// The 1.10 format SWMR needs; `locking` false lets the file open while a
// reader holds it.
hid_t followableAccess(bool locking) {
    const hid_t access = H5Pcreate(H5P_FILE_ACCESS);
    H5Pset_libver_bounds(access, H5F_LIBVER_LATEST, H5F_LIBVER_LATEST);
    if (!locking) H5Pset_file_locking(access, false, true);
    return access;
}

void writeAttribute(hid_t file, const std::string &object, const std::string &name, hid_t type, hid_t space,
                    const void *value) {
    Handle target{check(H5Oopen(file, object.c_str(), H5P_DEFAULT), "open " + object), H5Oclose};
    if (H5Aexists(target.id, name.c_str()) > 0) H5Adelete(target.id, name.c_str());
    Handle attribute{check(H5Acreate2(target.id, name.c_str(), type, space, H5P_DEFAULT, H5P_DEFAULT),
                           "create attribute " + name),
                     H5Aclose};
    check(H5Awrite(attribute.id, type, value), "write attribute " + name, 0);
}

}  // namespace

H5Recording::H5Recording(const std::string &path, Mode mode) : mode_(mode), path_(path) {
    // Failures are reported by exceptions with our own words instead.
    H5Eset_auto2(H5E_DEFAULT, nullptr, nullptr);
    Handle access{mode == Mode::followable ? followableAccess(true) : H5Pcreate(H5P_FILE_ACCESS), H5Pclose};
    file_ = check(H5Fcreate(path.c_str(), H5F_ACC_TRUNC, H5P_DEFAULT, access.id), "create " + path);
    textType_ = textType();
    gapType_ = gapType(textType_);
    clockType_ = clockType();
    Handle group{check(H5Gcreate2(file_, "/devices", H5P_DEFAULT, H5P_DEFAULT, H5P_DEFAULT), "create /devices"),
                 H5Gclose};
}

H5Recording::~H5Recording() {
    try {
        flush();
    } catch (const std::exception &) {
        // Closing below still writes what HDF5 holds.
    }
    closeDatasets();
    if (file_ >= 0) H5Fclose(file_);
    H5Tclose(gapType_);
    H5Tclose(clockType_);
    H5Tclose(textType_);
}

void H5Recording::closeDatasets() {
    const auto close = [](Dataset *set) {
        if (set->id >= 0) H5Dclose(set->id);
        set->id = -1;
    };
    for (Device &d : devices_) {
        for (Dataset *set : d.datasets()) close(set);
    }
    for (Dataset *set : markers_.datasets()) close(set);
    for (Dataset &set : clockTables_) close(&set);
}

void H5Recording::setText(const std::string &object, const std::string &name, const std::string &value) const {
    Handle type{textType(), H5Tclose};
    Handle space{H5Screate(H5S_SCALAR), H5Sclose};
    const char *text = value.c_str();
    writeAttribute(file_, object, name, type.id, space.id, &text);
}

void H5Recording::setInt(const std::string &object, const std::string &name, int64_t value) const {
    Handle space{H5Screate(H5S_SCALAR), H5Sclose};
    writeAttribute(file_, object, name, H5T_NATIVE_INT64, space.id, &value);
}

void H5Recording::setDouble(const std::string &object, const std::string &name, double value) const {
    Handle space{H5Screate(H5S_SCALAR), H5Sclose};
    writeAttribute(file_, object, name, H5T_NATIVE_DOUBLE, space.id, &value);
}

void H5Recording::setInt64s(const std::string &object, const std::string &name, const int64_t *values,
                            size_t count) const {
    const hsize_t n = count;
    Handle space{H5Screate_simple(1, &n, nullptr), H5Sclose};
    writeAttribute(file_, object, name, H5T_NATIVE_INT64, space.id, values);
}

void H5Recording::setStrings(const std::string &object, const std::string &name,
                             const std::vector<std::string> &values) const {
    Handle type{textType(), H5Tclose};
    const hsize_t n = values.size();
    Handle space{H5Screate_simple(1, &n, nullptr), H5Sclose};
    std::vector<const char *> texts;
    texts.reserve(values.size());
    for (const std::string &value : values) texts.push_back(value.c_str());
    writeAttribute(file_, object, name, type.id, space.id, texts.data());
}

void H5Recording::createDataset(hid_t group, const char *name, hid_t type, size_t columns, size_t typeBytes,
                                hsize_t chunkRows, Dataset &out) {
    const int rank = columns > 0 ? 2 : 1;
    const hsize_t dims[2] = {0, columns};
    const hsize_t maxDims[2] = {H5S_UNLIMITED, columns};
    out.rowBytes = typeBytes * std::max<size_t>(columns, 1);
    const hsize_t chunk[2] = {chunkRows, columns};
    Handle space{H5Screate_simple(rank, dims, maxDims), H5Sclose};
    Handle properties{H5Pcreate(H5P_DATASET_CREATE), H5Pclose};
    check(H5Pset_chunk(properties.id, rank, chunk), "chunk " + std::string(name), 0);
    out.id = check(H5Dcreate2(group, name, type, space.id, H5P_DEFAULT, properties.id, H5P_DEFAULT),
                   "create dataset " + std::string(name));
    out.type = type;
    out.chunkBytes = chunkRows * out.rowBytes;
    out.buffer.reserve(out.chunkBytes);
}

int H5Recording::addDevice(const DeviceInfo &info, Extras extras, const std::string &name) {
    Device d;
    d.group = "/devices/" + (name.empty() ? info.name() : name);
    d.channels = info.channelNames.size();
    d.hasCounter = info.hasCounter;
    d.extras = extras;
    Handle group{check(H5Gcreate2(file_, d.group.c_str(), H5P_DEFAULT, H5P_DEFAULT, H5P_DEFAULT), "create " + d.group),
                 H5Gclose};
    // Every dataset of the device cuts its chunks at the same rows, sized
    // by the widest row: a batch reaches all of them in the same write, so
    // a killed run leaves them of one length.
    const size_t widest =
        std::max({d.channels * sizeof(float), extras.raw ? static_cast<size_t>(info.sampleSize) : 0, sizeof(double)});
    const hsize_t rows = std::max<hsize_t>(64, kChunkBytes / widest);
    createDataset(group.id, "samples", H5T_NATIVE_FLOAT, d.channels, sizeof(float), rows, d.samples);
    if (d.hasCounter) createDataset(group.id, "counter", H5T_NATIVE_UINT32, 0, sizeof(uint32_t), rows, d.counter);
    if (extras.raw) {
        createDataset(group.id, "raw", H5T_NATIVE_UINT8, static_cast<size_t>(info.sampleSize), 1, rows, d.rawBytes);
    }
    if (extras.timed) {
        createDataset(group.id, "time", H5T_NATIVE_DOUBLE, 0, sizeof(double), rows, d.time);
        createDataset(group.id, "index", H5T_NATIVE_INT64, 0, sizeof(int64_t), rows, d.index);
    }
    if (extras.remoteTicks) {
        createDataset(group.id, "publisher_ticks", H5T_NATIVE_INT64, 0, sizeof(int64_t), rows, d.remoteTicks);
    }
    if (extras.gaps) createDataset(group.id, "gaps", gapType_, 0, sizeof(GapRow), kRareRows, d.gaps);
    devices_.push_back(std::move(d));
    const int index = static_cast<int>(devices_.size()) - 1;
    const std::string &g = devices_.back().group;
    setStrings(g + "/samples", "channel_names", info.channelNames);
    setText(g, "idn", info.idn);
    setText(g, "path", info.path);
    setText(g, "serial", info.serial);
    setStrings(g, "config", info.config);
    setInt(g, "sample_size", info.sampleSize);
    setInt(g, "layout_oversampling", info.layout.oversampling);
    setInt(g, "layout_sample_bytes", info.layout.sampleBytes);
    setInt(g, "layout_n_adc24", info.layout.nAdc24);
    setInt(g, "layout_n_adc16", info.layout.nAdc16);
    setInt(g, "layout_n_imu6", info.layout.nImu6);
    setInt(g, "layout_is_adc24", info.layout.isAdc24);
    setStartStamps(index, info.stamps);
    return index;
}

void H5Recording::buffer(Dataset &d, const void *rows, uint32_t count) {
    const auto *bytes = static_cast<const unsigned char *>(rows);
    size_t left = count * d.rowBytes;
    while (left > 0) {
        const size_t room = d.chunkBytes - d.buffer.size();
        const size_t n = std::min(room, left);
        d.buffer.insert(d.buffer.end(), bytes, bytes + n);
        bytes += n;
        left -= n;
        if (d.buffer.size() == d.chunkBytes) write(d);
    }
}

void H5Recording::write(Dataset &d) {
    if (d.buffer.empty()) return;
    appendRows(d, d.buffer.size() / d.rowBytes, d.buffer.data());
    d.buffer.clear();
}

void H5Recording::appendRows(Dataset &d, hsize_t count, const void *rows) const {
    Handle space{H5Dget_space(d.id), H5Sclose};
    hsize_t dims[2] = {};
    const int rank = H5Sget_simple_extent_dims(space.id, dims, nullptr);
    const hsize_t start[2] = {d.rows, 0};
    dims[0] = d.rows + count;
    check(H5Dset_extent(d.id, dims), "extend a dataset", 0);
    Handle fileSpace{H5Dget_space(d.id), H5Sclose};
    hsize_t block[2] = {count, dims[1]};
    check(H5Sselect_hyperslab(fileSpace.id, H5S_SELECT_SET, start, nullptr, block, nullptr), "select rows", 0);
    Handle memorySpace{H5Screate_simple(rank, block, nullptr), H5Sclose};
    check(H5Dwrite(d.id, d.type, memorySpace.id, fileSpace.id, H5P_DEFAULT, rows), "write " + path_, 0);
    d.rows += count;
}

void H5Recording::append(int device, uint32_t count, const Rows &rows) {
    Device &d = devices_[static_cast<size_t>(device)];
    buffer(d.samples, rows.values, count);
    if (d.hasCounter) buffer(d.counter, rows.counters, count);
    if (d.extras.raw) buffer(d.rawBytes, rows.raw, count);
    if (d.extras.timed) {
        buffer(d.time, rows.seconds, count);
        buffer(d.index, rows.indices, count);
    }
    if (d.extras.remoteTicks) buffer(d.remoteTicks, rows.remoteTicks, count);
}

void H5Recording::setStats(int device, const RecordedStats &stats) {
    Handle type{H5Tcreate(H5T_COMPOUND, sizeof(RecordedStats)), H5Tclose};
    const auto field = [&](const char *name, size_t offset, hid_t member) { H5Tinsert(type.id, name, offset, member); };
    field("samples", offsetof(RecordedStats, samples), H5T_NATIVE_UINT64);
    field("blocks", offsetof(RecordedStats, blocks), H5T_NATIVE_UINT64);
    field("payload_bytes", offsetof(RecordedStats, payloadBytes), H5T_NATIVE_UINT64);
    field("samples_dropped", offsetof(RecordedStats, samplesDropped), H5T_NATIVE_UINT64);
    field("framing_errors", offsetof(RecordedStats, framingErrors), H5T_NATIVE_UINT64);
    field("bytes_skipped", offsetof(RecordedStats, bytesSkipped), H5T_NATIVE_UINT64);
    field("last_data_ticks", offsetof(RecordedStats, lastDataTicks), H5T_NATIVE_INT64);
    field("samples_lost_after_library", offsetof(RecordedStats, samplesLostAfterLibrary), H5T_NATIVE_UINT64);
    field("messages_lost", offsetof(RecordedStats, messagesLost), H5T_NATIVE_UINT64);
    Handle space{H5Screate(H5S_SCALAR), H5Sclose};
    writeAttribute(file_, devices_[static_cast<size_t>(device)].group, "stats", type.id, space.id, &stats);
}

void H5Recording::setClock(int device, const kelvoSampleClock &clock) {
    const std::string &g = devices_[static_cast<size_t>(device)].group;
    setDouble(g, "clock_rate_hz", clock.rateHz);
    setDouble(g, "clock_period_ticks", clock.periodTicks);
    setInt(g, "clock_origin_index", clock.originIndex);
    setDouble(g, "clock_origin_ticks", clock.originTicks);
    setDouble(g, "clock_jitter_us", clock.jitterUs);
    setInt(g, "clock_samples_fitted", clock.samplesFitted);
}

void H5Recording::appendGap(int device, const RecordedGap &gap) {
    const GapRow row{gap.firstIndex, gap.lastIndex, gap.startTicks, gap.endTicks, gap.samplesLost, gap.cause.c_str()};
    appendRows(devices_[static_cast<size_t>(device)].gaps, 1, &row);
}

void H5Recording::addMarkers(bool nearestSamples) {
    Handle group{check(H5Gcreate2(file_, "/markers", H5P_DEFAULT, H5P_DEFAULT, H5P_DEFAULT), "create /markers"),
                 H5Gclose};
    createDataset(group.id, "ticks", H5T_NATIVE_INT64, 0, sizeof(int64_t), kRareRows, markers_.ticks);
    createDataset(group.id, "text", textType_, 0, sizeof(const char *), kRareRows, markers_.text);
    createDataset(group.id, "source", textType_, 0, sizeof(const char *), kRareRows, markers_.source);
    if (!nearestSamples) return;
    for (Device &d : devices_) {
        Handle deviceGroup{check(H5Gopen2(file_, d.group.c_str(), H5P_DEFAULT), "open " + d.group), H5Gclose};
        createDataset(deviceGroup.id, "marker_index", H5T_NATIVE_INT64, 0, sizeof(int64_t), kRareRows, d.markerIndex);
    }
}

void H5Recording::appendMarker(int64_t ticks, const std::string &text, const std::string &source,
                               const std::vector<int64_t> &nearest) {
    const char *texts[] = {text.c_str(), source.c_str()};
    appendRows(markers_.ticks, 1, &ticks);
    appendRows(markers_.text, 1, &texts[0]);
    appendRows(markers_.source, 1, &texts[1]);
    for (size_t i = 0; i < devices_.size() && i < nearest.size(); ++i) {
        appendRows(devices_[i].markerIndex, 1, &nearest[i]);
    }
}

void H5Recording::addPublishedMarkers() {
    addMarkers(false);
    Handle group{check(H5Gopen2(file_, "/markers", H5P_DEFAULT), "open /markers"), H5Gclose};
    createDataset(group.id, "publisher_ticks", H5T_NATIVE_INT64, 0, sizeof(int64_t), kRareRows, markers_.remoteTicks);
    createDataset(group.id, "publisher", textType_, 0, sizeof(const char *), kRareRows, markers_.publisher);
}

void H5Recording::appendPublishedMarker(const RecordedMarker &marker) {
    appendMarker(marker.ticks, marker.text, marker.source, {});
    const char *publisher = marker.publisher.c_str();
    appendRows(markers_.remoteTicks, 1, &marker.remoteTicks);
    appendRows(markers_.publisher, 1, &publisher);
}

int H5Recording::addClockTable(const std::string &name) {
    if (clockTables_.empty()) {
        Handle group{check(H5Gcreate2(file_, "/clock_offsets", H5P_DEFAULT, H5P_DEFAULT, H5P_DEFAULT),
                           "create /clock_offsets"),
                     H5Gclose};
    }
    Handle group{check(H5Gopen2(file_, "/clock_offsets", H5P_DEFAULT), "open /clock_offsets"), H5Gclose};
    clockTables_.emplace_back();
    createDataset(group.id, name.c_str(), clockType_, 0, sizeof(RecordedClockEstimate), kRareRows, clockTables_.back());
    return static_cast<int>(clockTables_.size()) - 1;
}

void H5Recording::appendClockEstimate(int table, const RecordedClockEstimate &estimate) {
    appendRows(clockTables_[static_cast<size_t>(table)], 1, &estimate);
}

void H5Recording::setMarkerIndex(int device, const std::vector<int64_t> &indices) {
    const std::string path = devices_[static_cast<size_t>(device)].group + "/marker_index";
    Handle set{check(H5Dopen2(file_, path.c_str(), H5P_DEFAULT), "open " + path), H5Dclose};
    const hsize_t rows = indices.size();
    check(H5Dset_extent(set.id, &rows), "size " + path, 0);
    if (rows > 0) {
        check(H5Dwrite(set.id, H5T_NATIVE_INT64, H5S_ALL, H5S_ALL, H5P_DEFAULT, indices.data()), "write " + path, 0);
    }
}

void H5Recording::flush() {
    for (Device &d : devices_) {
        for (Dataset *set : d.datasets()) {
            if (set->id >= 0) write(*set);
        }
    }
    check(H5Fflush(file_, H5F_SCOPE_GLOBAL), "flush " + path_, 0);
}

void H5Recording::startSwmr() {
    if (mode_ != Mode::followable) throw std::logic_error("SWMR needs a followable recording");
    flush();
    check(H5Fstart_swmr_write(file_), "start SWMR writing " + path_, 0);
}

void H5Recording::leaveSwmr() {
    flush();
    closeDatasets();
    const hid_t file = file_;
    file_ = -1;
    check(H5Fclose(file), "close " + path_, 0);
    Handle access{followableAccess(false), H5Pclose};
    file_ = check(H5Fopen(path_.c_str(), H5F_ACC_RDWR, access.id), "open " + path_ + " again");
}

}  // namespace kelvo::recording
