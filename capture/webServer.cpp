// SPDX-License-Identifier: MIT
#include "webServer.h"

#include <arpa/inet.h>
#include <civetweb.h>
#include <json/json.h>
#include <poll.h>
#include <strings.h>
#include <sys/eventfd.h>
#include <sys/random.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <stdexcept>

#include "kelvo.h"
#include "webClient.h"
#include "webPage.h"

namespace kelvo::recording {

namespace {

constexpr uint16_t kMostColumnsPerFrame = 256;

// Two clocks' worth of a token compared without stopping at the first
// difference, so its time tells nothing of how much of it was right.
bool sameToken(const std::string &given, const std::string &token) {
    if (given.size() != token.size()) return false;
    unsigned char difference = 0;
    for (size_t i = 0; i < token.size(); ++i) difference |= static_cast<unsigned char>(given[i] ^ token[i]);
    return difference == 0;
}

std::string hostName() {
    char name[256] = {};
    if (gethostname(name, sizeof name - 1) != 0 || name[0] == '\0') return "localhost";
    return name;
}

std::pair<std::string, int> splitBind(const std::string &bind) {
    const size_t colon = bind.rfind(':');
    if (colon == std::string::npos || colon == 0 || colon + 1 == bind.size()) {
        throw std::invalid_argument("the view's address is HOST:PORT, not '" + bind + "'");
    }
    std::string host = bind.substr(0, colon);
    if (host == "localhost") host = "127.0.0.1";
    in_addr address{};
    if (inet_pton(AF_INET, host.c_str(), &address) != 1) {
        throw std::invalid_argument("the view listens on an IPv4 address, not '" + host + "'");
    }
    const std::string port = bind.substr(colon + 1);
    if (port.size() > 5 || port.find_first_not_of("0123456789") != std::string::npos || std::stoi(port) > 65535) {
        throw std::invalid_argument("'" + port + "' is not a port");
    }
    return {host, std::stoi(port)};
}

bool isLoopback(const std::string &host) { return host.rfind("127.", 0) == 0; }

WebServer &serverOf(void *self) { return *static_cast<WebServer *>(self); }

// An answer with its status and a line of text. civetweb writes no
// headers for a request that asked for a WebSocket (it takes it for one
// already), so an upgrade refused gets its status line from here.
void refuse(mg_connection *conn, int status, const std::string &text) {
    const std::string length = std::to_string(text.size());
    const char *upgrade = mg_get_header(conn, "Upgrade");
    if (upgrade != nullptr && strcasecmp(upgrade, "websocket") == 0) {
        mg_printf(conn,
                  "HTTP/1.1 %d %s\r\nContent-Type: text/plain; charset=utf-8\r\nContent-Length: %s\r\n"
                  "Connection: close\r\n\r\n",
                  status, mg_get_response_code_text(conn, status), length.c_str());
    } else {
        mg_response_header_start(conn, status);
        mg_response_header_add(conn, "Content-Type", "text/plain; charset=utf-8", -1);
        mg_response_header_add(conn, "Content-Length", length.c_str(), -1);
        mg_response_header_add(conn, "Connection", "close", -1);
        mg_response_header_send(conn);
    }
    mg_write(conn, text.data(), text.size());
}

}  // namespace

std::string randomToken() {
    unsigned char bytes[16];
    size_t got = 0;
    while (got < sizeof bytes) {
        const ssize_t n = getrandom(bytes + got, sizeof bytes - got, 0);
        if (n < 0) throw std::runtime_error(std::string("no random token: ") + std::strerror(errno));
        got += static_cast<size_t>(n);
    }
    static const char digits[] = "0123456789abcdef";
    std::string token;
    for (unsigned char b : bytes) {
        token += digits[b >> 4];
        token += digits[b & 15];
    }
    return token;
}

WebServer::WebServer(WebViewSettings settings)
    : settings_(std::move(settings)),
      windowColumns_(static_cast<size_t>(std::max(1.0, settings_.windowSeconds / settings_.columnSeconds))),
      columnTicks_(static_cast<int64_t>(settings_.columnSeconds * static_cast<double>(kTicksPerSecond))) {
    if (settings_.title.empty()) settings_.title = "kelvo on " + hostName();
    auto [host, port] = splitBind(settings_.bind);
    host_ = host;
    const bool wantToken = settings_.token == WebViewSettings::Token::on ||
                           (settings_.token == WebViewSettings::Token::automatic && !isLoopback(host_));
    if (wantToken) token_ = randomToken();

    stopFd_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (stopFd_ < 0) throw std::runtime_error(std::string("eventfd: ") + std::strerror(errno));

    const std::string ports = host_ + ":" + std::to_string(port);
    const std::pair<const char *, std::string> configuration[] = {
        {"listening_ports", ports},
        {"num_threads", std::to_string(kMostSockets + 8)},  // a WebSocket holds its thread
        {"request_timeout_ms", "5000"},                     // a whole request, and a stalled write
        {"websocket_timeout_ms", "60000"},
        {"max_request_size", "16384"},
        {"enable_keep_alive", "no"},
        // civetweb writes a frame's header and its payload apart: without
        // this, Nagle holds the payload back for the browser's delayed
        // acknowledgement, 40 ms a frame.
        {"tcp_nodelay", "1"},
        {"additional_header", "X-Content-Type-Options: nosniff"},
    };
    std::vector<const char *> options;
    for (const auto &[name, value] : configuration) {
        options.push_back(name);
        options.push_back(value.c_str());
    }
    options.push_back(nullptr);
    mg_callbacks callbacks{};
    callbacks.begin_request = &WebServer::beginRequest;
    callbacks.log_message = &WebServer::logMessage;
    mg_init_data init{&callbacks, this, options.data()};
    char reason[256] = {};
    mg_error_data error{nullptr, reason, sizeof reason};
    context_ = mg_start2(&init, &error);
    if (context_ == nullptr) {
        close(stopFd_);
        throw std::runtime_error("cannot serve the view on " + ports + ": " + (reason[0] ? reason : "refused"));
    }
    mg_server_port bound{};
    port_ = mg_get_server_ports(context_, 1, &bound) == 1 ? bound.port : port;
    mg_set_request_handler(context_, "/", &WebServer::handleRequest, this);
    mg_set_websocket_handler(context_, "/ws$", &WebServer::connectSocket, &WebServer::readySocket,
                             &WebServer::dataFromSocket, &WebServer::closeSocket, this);
    for (auto &device : devices_) device.pending.reserve(kRingColumns);
    thread_ = std::thread([this] { run(); });
}

WebServer::~WebServer() {
    const uint64_t one = 1;
    if (write(stopFd_, &one, sizeof one) < 0) {
        // The thread then sees the stop at its next frame.
    }
    if (thread_.joinable()) thread_.join();
    // Every socket's close handler runs, and stops its writer, before
    // civetweb returns.
    mg_stop(context_);
    clients_.clear();
    for (WebSocketClient *client : arrivals_) delete client;
    close(stopFd_);
}

std::string WebServer::url() const {
    const std::string host = host_ == "0.0.0.0" ? hostName() : host_;
    return "http://" + host + ":" + std::to_string(port_) + "/" + (token_.empty() ? "" : "?token=" + token_);
}

void WebServer::setOrigin(int64_t ticks, int64_t unixNs) {
    originTicks_.store(ticks, std::memory_order_relaxed);
    originUnixNs_.store(unixNs, std::memory_order_relaxed);
    described_.store(false, std::memory_order_release);
}

double WebServer::secondsAt(int64_t ticks) const {
    return static_cast<double>(ticks - originTicks_.load(std::memory_order_relaxed)) /
           static_cast<double>(kTicksPerSecond);
}

// ---- The feeders' side ---------------------------------------------------

int WebServer::addDevice(const WebDevice &info) {
    const size_t id = deviceCount_.load(std::memory_order_relaxed);
    if (id >= kMostDevices) return -1;
    Device &device = devices_[id];
    device.info = info;
    const auto channels = static_cast<uint32_t>(info.channels.size());
    device.ring = std::make_unique<ColumnRing>(channels, kRingColumns);
    device.pendingValues.resize(kRingColumns * channels * 2);
    device.history.assign(windowColumns_, ColumnUpdate{INT64_MIN, 0, 0});
    device.historyValues.assign(windowColumns_ * channels * 2, 0.0f);
    device.popped.resize(size_t{channels} * 2);
    deviceCount_.store(id + 1, std::memory_order_release);
    described_.store(false, std::memory_order_release);
    return static_cast<int>(id);
}

void WebServer::gap(int device, double startSeconds, double endSeconds, int64_t samplesLost, const std::string &cause) {
    Notice notice{Notice::Kind::gap, device, startSeconds, endSeconds, samplesLost, cause, {}, {}};
    std::lock_guard lock(noticeMutex_);
    notices_.push_back(std::move(notice));
}

void WebServer::marker(double seconds, const std::string &text, const std::string &source) {
    Notice notice{Notice::Kind::marker, kNoDevice, seconds, 0, 0, text, source, {}};
    std::lock_guard lock(noticeMutex_);
    notices_.push_back(std::move(notice));
}

void WebServer::counters(int device, const DeviceCounters &counters) {
    Notice notice{Notice::Kind::counters, device, 0, 0, 0, {}, {}, counters};
    std::lock_guard lock(noticeMutex_);
    notices_.push_back(std::move(notice));
}

// ---- HTTP ----------------------------------------------------------------

int WebServer::logMessage(const mg_connection *, const char *) {
    // civetweb's complaints about refused requests are not the user's news.
    return 1;
}

int WebServer::beginRequest(mg_connection *conn) {
    const mg_request_info *request = mg_get_request_info(conn);
    return serverOf(request->user_data).gate(conn);
}

// Refuses what the view does not serve before civetweb goes further: a
// request answered here (1) goes no further, one let through (0) reaches
// handleRequest or the WebSocket's handlers.
int WebServer::gate(mg_connection *conn) {
    const mg_request_info *request = mg_get_request_info(conn);
    const std::string path = request->local_uri != nullptr ? request->local_uri : "";
    const bool socket = path == "/ws";
    const PageFile *file = pageFile(path);
    if (!socket && file == nullptr && path != "/status") {
        refuse(conn, 404, "Not found");
        return 1;
    }
    if (std::strcmp(request->request_method, "GET") != 0) {
        refuse(conn, 405, "Only GET");
        return 1;
    }
    if ((socket || file == nullptr || file->data) && !tokenGiven(conn)) {
        refusedToken_.fetch_add(1, std::memory_order_relaxed);
        refuse(conn, 403, "The view's address has a token: open the one kelvo printed");
        return 1;
    }
    if (socket && sockets_.load(std::memory_order_relaxed) >= kMostSockets) {
        refusedBusy_.fetch_add(1, std::memory_order_relaxed);
        refuse(conn, 503, "Too many browsers");
        return 1;
    }
    return 0;
}

bool WebServer::tokenGiven(const mg_connection *conn) const {
    if (token_.empty()) return true;
    const mg_request_info *request = mg_get_request_info(conn);
    if (request->query_string == nullptr) return false;
    char given[80] = {};
    const int length =
        mg_get_var(request->query_string, std::strlen(request->query_string), "token", given, sizeof given);
    return length > 0 && sameToken(given, token_);
}

int WebServer::handleRequest(mg_connection *conn, void *self) {
    const mg_request_info *request = mg_get_request_info(conn);
    const std::string path = request->local_uri != nullptr ? request->local_uri : "";
    if (path == "/status") {
        const std::string text = serverOf(self).status();
        mg_send_http_ok(conn, "application/json", static_cast<long long>(text.size()));
        mg_write(conn, text.data(), text.size());
        return 200;
    }
    const PageFile *file = pageFile(path);
    if (file == nullptr) {
        refuse(conn, 404, "Not found");
        return 404;
    }
    mg_send_http_ok(conn, file->type, static_cast<long long>(file->size));
    mg_write(conn, file->bytes, file->size);
    return 200;
}

std::string WebServer::status() const {
    Json::Value root;
    root["clients"] = sockets();
    root["frames_sent"] = Json::UInt64(framesSent_.load(std::memory_order_relaxed));
    root["frames_dropped"] = Json::UInt64(framesDropped_.load(std::memory_order_relaxed));
    root["messages_ignored"] = Json::UInt64(messagesIgnored_.load(std::memory_order_relaxed));
    Json::Value refused;
    refused["token"] = Json::UInt64(refusedToken_.load(std::memory_order_relaxed));
    refused["busy"] = Json::UInt64(refusedBusy_.load(std::memory_order_relaxed));
    root["refused"] = refused;
    const Latency l = latency();
    Json::Value latencyMs;
    latencyMs["count"] = Json::UInt64(l.count);
    latencyMs["median"] = l.median;
    latencyMs["p99"] = l.p99;
    root["latency_ms"] = latencyMs;
    uint64_t columnsDropped = 0;
    root["devices"] = Json::Value(Json::arrayValue);
    const size_t count = deviceCount_.load(std::memory_order_acquire);
    for (size_t i = 0; i < count; ++i) {
        columnsDropped += devices_[i].ring->dropped();
        Json::Value device;
        device["id"] = Json::UInt64(i);
        device["name"] = devices_[i].info.name;
        root["devices"].append(device);
    }
    root["columns_dropped"] = Json::UInt64(columnsDropped);
    Json::StreamWriterBuilder writer;
    writer["indentation"] = "";
    return Json::writeString(writer, root);
}

WebServer::Latency WebServer::latency() const {
    std::lock_guard lock(latencyMutex_);
    constexpr double kTicksPerMs = 1e4;
    return {latency_.count(), latency_.quantile(0.5) / kTicksPerMs, latency_.quantile(0.99) / kTicksPerMs};
}

// ---- WebSockets ----------------------------------------------------------

int WebServer::connectSocket(const mg_connection *conn, void *self) {
    WebServer &server = serverOf(self);
    // The gate checked both already; here they hold against a race of
    // upgrades arriving together.
    if (!server.tokenGiven(conn)) return 1;
    if (server.sockets_.fetch_add(1, std::memory_order_relaxed) >= kMostSockets) {
        server.sockets_.fetch_sub(1, std::memory_order_relaxed);
        server.refusedBusy_.fetch_add(1, std::memory_order_relaxed);
        return 1;
    }
    try {
        mg_set_user_connection_data(conn, new WebSocketClient);
    } catch (...) {
        server.sockets_.fetch_sub(1, std::memory_order_relaxed);
        return 1;
    }
    return 0;
}

void WebServer::readySocket(mg_connection *conn, void *self) {
    WebServer &server = serverOf(self);
    auto *client = static_cast<WebSocketClient *>(mg_get_user_connection_data(conn));
    if (client == nullptr) return;
    client->open(conn);
    std::lock_guard lock(server.arrivalMutex_);
    server.arrivals_.push_back(client);
}

int WebServer::dataFromSocket(mg_connection *conn, int opcode, char *data, size_t length, void *self) {
    WebServer &server = serverOf(self);
    auto *client = static_cast<WebSocketClient *>(mg_get_user_connection_data(conn));
    switch (opcode & 0xF) {
        case MG_WEBSOCKET_OPCODE_CONNECTION_CLOSE: return 0;
        case MG_WEBSOCKET_OPCODE_PING:
        case MG_WEBSOCKET_OPCODE_PONG: return 1;
        case MG_WEBSOCKET_OPCODE_TEXT:
            if (length > kLongestPageMessage) return 0;
            if (client != nullptr) server.takePageMessage(*client, data, length);
            return 1;
        default:
            if (length > kLongestPageMessage) return 0;
            server.messagesIgnored_.fetch_add(1, std::memory_order_relaxed);
            return 1;
    }
}

namespace {

// The page's message as JSON, or null when it is none (nested deeper than
// any message of the page, too).
Json::Value parsePageMessage(const char *data, size_t length) {
    Json::CharReaderBuilder builder;
    builder["stackLimit"] = 8;
    builder["rejectDupKeys"] = true;
    const std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
    Json::Value message;
    std::string errors;
    try {
        if (reader->parse(data, data + length, &message, &errors) && message.isObject()) return message;
    } catch (const std::exception &) {
        // jsoncpp throws past its stack limit.
    }
    return Json::Value();
}

}  // namespace

void WebServer::takePageMessage(WebSocketClient &client, const char *data, size_t length) {
    const Json::Value message = parsePageMessage(data, length);
    const std::string type = message["type"].isString() ? message["type"].asString() : "";
    const Json::Value &sequence = message["sequence"];
    const Json::Value &text = message["text"];
    if (type == "drawn" && sequence.isUInt()) {
        client.drawn(sequence.asUInt(), kelvoGetTicks(), latency_, latencyMutex_);
        return;
    }
    if (type == "mark" && settings_.mark && text.isString() && !text.asString().empty() &&
        text.asString().size() <= kLongestMarker && settings_.mark(text.asString())) {
        return;
    }
    if (type == "alive") return;
    messagesIgnored_.fetch_add(1, std::memory_order_relaxed);
}

void WebServer::closeSocket(const mg_connection *conn, void *self) {
    WebServer &server = serverOf(self);
    auto *client = static_cast<WebSocketClient *>(mg_get_user_connection_data(conn));
    if (client == nullptr) return;
    mg_set_user_connection_data(conn, nullptr);
    const bool handedOver = client->opened();
    client->close();
    server.sockets_.fetch_sub(1, std::memory_order_relaxed);
    // One that never opened never reached the view thread, which deletes
    // the others.
    if (!handedOver) delete client;
}

// ---- The view thread -----------------------------------------------------

void WebServer::run() {
    pthread_setname_np(pthread_self(), "kelvo-web");
    pollfd stop{stopFd_, POLLIN, 0};
    for (;;) {
        // With no browser it only keeps the window for the next one.
        const auto period = clients_.empty() ? kIdlePeriod : kFramePeriod;
        const int ready = poll(&stop, 1, static_cast<int>(period.count()));
        if (ready > 0 || (ready < 0 && errno != EINTR)) return;
        if (!described_.exchange(true, std::memory_order_acq_rel)) {
            descriptionText_ = description();
            for (auto &client : clients_) client->offerText(descriptionText_);
        }
        welcomeNewcomers();
        const size_t count = deviceCount_.load(std::memory_order_acquire);
        for (size_t id = 0; id < count; ++id) {
            takeColumns(devices_[id]);
            sendColumns(static_cast<int>(id), devices_[id]);
        }
        sendNotices();
        endGoneClients();
    }
}

void WebServer::takeColumns(Device &device) {
    const uint32_t channels = device.ring->channels();
    ColumnUpdate update;
    while (device.ring->pop(update, device.popped.data())) {
        if (device.pending.empty()) device.oldestPendingArrival = update.arrivalTicks;
        keep(device, update, device.popped.data());
        const bool again = !device.pending.empty() && device.pending.back().index == update.index;
        if (!again && device.pending.size() == device.pending.capacity()) continue;
        if (!again) device.pending.push_back(update);
        device.pending.back() = update;
        const size_t at = (device.pending.size() - 1) * channels * 2;
        std::copy_n(device.popped.data(), channels * 2, device.pendingValues.data() + at);
    }
}

size_t WebServer::slotOf(int64_t index) const {
    const auto columns = static_cast<int64_t>(windowColumns_);
    return static_cast<size_t>(((index % columns) + columns) % columns);
}

void WebServer::keep(Device &device, const ColumnUpdate &update, const float *minMax) {
    const uint32_t channels = device.ring->channels();
    const size_t slot = slotOf(update.index);
    device.history[slot] = update;
    std::copy_n(minMax, channels * 2, device.historyValues.data() + slot * channels * 2);
}

void WebServer::sendColumns(int id, Device &device) {
    const auto channels = static_cast<uint16_t>(device.ring->channels());
    for (size_t from = 0; from < device.pending.size(); from += kMostColumnsPerFrame) {
        const auto count = static_cast<uint16_t>(std::min<size_t>(kMostColumnsPerFrame, device.pending.size() - from));
        frame_.columns(static_cast<uint16_t>(id), channels, &device.pending[from],
                       &device.pendingValues[from * channels * 2], count);
        broadcast(frame_, device.oldestPendingArrival);
    }
    device.pending.clear();
}

void WebServer::sendNotices() {
    std::vector<Notice> notices;
    {
        std::lock_guard lock(noticeMutex_);
        notices.swap(notices_);
    }
    for (const Notice &notice : notices) {
        switch (notice.kind) {
            case Notice::Kind::gap:
                frame_.gap(static_cast<uint16_t>(notice.device), notice.start, notice.end, notice.samples, notice.text);
                break;
            case Notice::Kind::marker: frame_.marker(notice.start, notice.text, notice.source); break;
            case Notice::Kind::counters:
                if (notice.device < 0 || static_cast<size_t>(notice.device) >= kMostDevices) continue;
                devices_[static_cast<size_t>(notice.device)].hasCounters = true;
                devices_[static_cast<size_t>(notice.device)].lastCounters = notice.counters;
                frame_.counters(static_cast<uint16_t>(notice.device), notice.counters);
                break;
        }
        broadcast(frame_, 0);
        if (notice.kind == Notice::Kind::counters) continue;
        if (keptNotices_.size() == kNoticesKept) keptNotices_.erase(keptNotices_.begin());
        keptNotices_.push_back(notice);
    }
}

void WebServer::broadcast(FrameWriter &frame, int64_t oldestArrival) {
    const bool counting = frame.bytes()[0] == static_cast<uint8_t>(FrameKind::counters);
    for (auto &client : clients_) {
        if (counting) frame.setFramesNotSent(client->framesNotSent());
        if (client->offer(frame, oldestArrival)) {
            framesSent_.fetch_add(1, std::memory_order_relaxed);
        } else {
            framesDropped_.fetch_add(1, std::memory_order_relaxed);
        }
    }
}

void WebServer::welcomeNewcomers() {
    std::vector<WebSocketClient *> arrived;
    {
        std::lock_guard lock(arrivalMutex_);
        arrived.swap(arrivals_);
    }
    for (WebSocketClient *client : arrived) {
        clients_.emplace_back(client);
        welcome(*client);
    }
}

// A browser that comes (or reloads) gets the description, the window's
// columns, the markers and gaps kept and each device's counters, then
// what every browser gets.
void WebServer::welcome(WebSocketClient &client) {
    client.offerText(descriptionText_);
    const size_t count = deviceCount_.load(std::memory_order_acquire);
    for (size_t id = 0; id < count; ++id) {
        const Device &device = devices_[id];
        const auto channels = static_cast<uint16_t>(device.ring->channels());
        int64_t newest = INT64_MIN;
        for (const ColumnUpdate &kept : device.history) newest = std::max(newest, kept.index);
        // The window's columns, oldest first, in frames of kMostColumnsPerFrame.
        std::vector<ColumnUpdate> columns;
        std::vector<float> values;
        const auto sendHeld = [&] {
            if (columns.empty()) return;
            frame_.columns(static_cast<uint16_t>(id), channels, columns.data(), values.data(),
                           static_cast<uint16_t>(columns.size()));
            client.offer(frame_, 0);
            columns.clear();
            values.clear();
        };
        const int64_t oldest = newest == INT64_MIN ? 0 : newest - static_cast<int64_t>(windowColumns_) + 1;
        for (int64_t index = oldest; newest != INT64_MIN && index <= newest; ++index) {
            const size_t slot = slotOf(index);
            if (device.history[slot].index != index) continue;
            columns.push_back(device.history[slot]);
            const auto from = device.historyValues.begin() + static_cast<ptrdiff_t>(slot * channels * 2);
            values.insert(values.end(), from, from + ptrdiff_t{channels} * 2);
            if (columns.size() == kMostColumnsPerFrame) sendHeld();
        }
        sendHeld();
        if (device.hasCounters) {
            frame_.counters(static_cast<uint16_t>(id), device.lastCounters);
            client.offer(frame_, 0);
        }
    }
    for (const Notice &notice : keptNotices_) {
        if (notice.kind == Notice::Kind::gap) {
            frame_.gap(static_cast<uint16_t>(notice.device), notice.start, notice.end, notice.samples, notice.text);
        } else {
            frame_.marker(notice.start, notice.text, notice.source);
        }
        client.offer(frame_, 0);
    }
}

std::string WebServer::description() const {
    Json::Value root;
    root["type"] = "description";
    root["protocol"] = kWebProtocol;
    root["source"] = settings_.source;
    root["title"] = settings_.title;
    root["column_seconds"] = settings_.columnSeconds;
    root["window_seconds"] = settings_.windowSeconds;
    root["origin_unix_ns"] = Json::Int64(originUnixNs_.load(std::memory_order_relaxed));
    root["can_mark"] = static_cast<bool>(settings_.mark);
    root["devices"] = Json::Value(Json::arrayValue);
    const size_t count = deviceCount_.load(std::memory_order_acquire);
    for (size_t id = 0; id < count; ++id) {
        const WebDevice &info = devices_[id].info;
        Json::Value device;
        device["id"] = Json::UInt64(id);
        device["name"] = info.name;
        device["serial"] = info.serial;
        device["path"] = info.path;
        device["rate_hz"] = info.rateHz;
        device["full_scale"] = 1.0;
        device["unit"] = "full scale";
        device["channels"] = Json::Value(Json::arrayValue);
        for (const std::string &channel : info.channels) device["channels"].append(channel);
        root["devices"].append(device);
    }
    Json::StreamWriterBuilder writer;
    writer["indentation"] = "";
    return Json::writeString(writer, root);
}

void WebServer::endGoneClients() {
    std::erase_if(clients_, [](const std::unique_ptr<WebSocketClient> &client) { return client->finished(); });
}

}  // namespace kelvo::recording
