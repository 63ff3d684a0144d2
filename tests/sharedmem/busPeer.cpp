// SPDX-License-Identifier: MIT
// A process that loads the library (so its load hook attaches the bus) and
// runs bus calls on command: one command line on stdin, one answer line on
// stdout. The bus tests drive several of these at once.
//
//   init | initMem | master | slave | unmaster H | unslave I | clear | ticks
//   toSlave I TEXT | toAll TEXT | toMaster I TEXT      -> the call's result
//   fromMaster I | fromSlave I                         -> result, blank, text
//   stamps I                                           -> result and 4 stamps
//   slaveCallback I | masterCallback | callbackOff I   -> the call's result
//   delivered N MS   -> waits up to MS ms for N callback texts; prints the
//                       count and "tick:text" items joined by '|'
//   forget           -> drops the callback texts received so far
//   all              -> the result of every bus call, for a detached process
//   race MS          -> times racing registrations handed one index out twice
//   stressMaster SLAVES N | stressSlave I N  -> "ok" or the first fault
#include <sched.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <deque>
#include <iostream>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "kelvo_lowlevel.h"

namespace {

// Callback texts, filled on the I/O thread. Never destroyed: the thread
// runs until the library unloads, which is after this program's statics
// are gone.
struct Delivered {
    std::mutex lock;
    std::condition_variable signal;
    std::deque<std::string> texts;
};
Delivered &delivered = *new Delivered;
std::mutex &deliveredLock = delivered.lock;
std::condition_variable &deliveredSignal = delivered.signal;
std::deque<std::string> &deliveredTexts = delivered.texts;

void record(const char *text) {
    const std::string item = std::to_string(kelvoGetTicks()) + ":" + text;
    {
        std::lock_guard<std::mutex> hold(deliveredLock);
        deliveredTexts.push_back(item);
    }
    deliveredSignal.notify_all();
}

void recordText(const char *text) {
    {
        std::lock_guard<std::mutex> hold(deliveredLock);
        deliveredTexts.emplace_back(text);
    }
    deliveredSignal.notify_all();
}

bool waitForDelivered(size_t count, std::chrono::milliseconds limit) {
    std::unique_lock<std::mutex> hold(deliveredLock);
    return deliveredSignal.wait_for(hold, limit, [count] { return deliveredTexts.size() >= count; });
}

std::string rest(std::istringstream &in) {
    std::string text;
    std::getline(in >> std::ws, text);
    return text;
}

// Polls with a short spin, then yields, then sleeps, so five busy processes
// do not starve each other on two cores.
class Backoff {
public:
    void idle() {
        if (++spins_ < 64) return;
        if (spins_ < 256) {
            sched_yield();
        } else {
            usleep(20);
        }
    }
    void reset() { spins_ = 0; }

private:
    int spins_ = 0;
};

uint32_t checksum(const std::string &text) {
    uint32_t hash = 2166136261u;
    for (unsigned char c : text) hash = (hash ^ c) * 16777619u;
    return hash;
}

// A payload whose length and content depend on slave and sequence number,
// from empty to long enough to fill most of a mailbox.
std::string payloadFor(int slave, int sequence) {
    const size_t length = static_cast<size_t>((sequence * 37 + slave * 11) % 200);
    std::string text(length, ' ');
    for (size_t k = 0; k < length; ++k) text[k] = static_cast<char>('!' + (sequence + slave + k * 7) % 90);
    return text;
}

std::string sealed(const std::string &body) { return body + " #" + std::to_string(checksum(body)); }

bool unseal(const std::string &message, std::string &body) {
    const size_t mark = message.rfind(" #");
    if (mark == std::string::npos) return false;
    body = message.substr(0, mark);
    return message.substr(mark + 2) == std::to_string(checksum(body));
}

std::string reversed(std::string text) { return {text.rbegin(), text.rend()}; }

const auto kStressPatience = std::chrono::seconds(60);

// Reads the slaves' messages in any order, checks that each carries the
// next sequence number of its slave and a good checksum, and answers it.
std::string stressMaster(int slaves, int rounds) {
    std::vector<int> expected(static_cast<size_t>(slaves), 0);
    int open = slaves;
    char buffer[256];
    Backoff backoff;
    auto lastProgress = std::chrono::steady_clock::now();
    while (open > 0) {
        bool progressed = false;
        for (int index = 0; index < slaves; ++index) {
            if (expected[index] == rounds || tMsgGetSlaveMsg(buffer, index) < 0) continue;
            progressed = true;
            std::string body;
            if (!unseal(buffer, body)) return "bad checksum from slave " + std::to_string(index) + ": " + buffer;
            std::istringstream fields(body);
            int slave = -1, sequence = -1;
            fields >> slave >> sequence;
            const std::string payload =
                fields.peek() == ' ' ? body.substr(static_cast<size_t>(fields.tellg()) + 1) : "";
            if (slave != index || sequence != expected[index] || payload != payloadFor(slave, sequence)) {
                return "slave " + std::to_string(index) + " expected " + std::to_string(expected[index]) +
                       " got: " + buffer;
            }
            const std::string answer =
                sealed(std::to_string(index) + " " + std::to_string(sequence) + " " + reversed(payload));
            // The slave reads each answer before it sends again, so the
            // mailbox is free.
            if (tMsgSendMsgToSlave(answer.c_str(), index) != index) {
                return "answer to slave " + std::to_string(index) + " refused";
            }
            if (++expected[index] == rounds) --open;
        }
        if (progressed) {
            backoff.reset();
            lastProgress = std::chrono::steady_clock::now();
        } else if (std::chrono::steady_clock::now() - lastProgress > kStressPatience) {
            return "no message for a minute";
        } else {
            backoff.idle();
        }
    }
    return "ok";
}

// Sends numbered, checksummed messages and checks each answer. With
// `viaCallback` the answers arrive through the I/O thread's delivery.
std::string stressSlave(int index, int rounds, bool viaCallback) {
    if (viaCallback) tMsgSetSlaveCallback(recordText, index);
    char buffer[256];
    for (int sequence = 0; sequence < rounds; ++sequence) {
        const std::string payload = payloadFor(index, sequence);
        const std::string message = sealed(std::to_string(index) + " " + std::to_string(sequence) + " " + payload);
        if (message.size() > 255) return "test message too long";
        Backoff backoff;
        const auto start = std::chrono::steady_clock::now();
        while (tMsgSendMsgToMaster(message.c_str(), index) != index) {
            if (std::chrono::steady_clock::now() - start > kStressPatience) return "send refused for a minute";
            backoff.idle();
        }
        std::string answer;
        if (viaCallback) {
            if (!waitForDelivered(1, kStressPatience)) return "no answer to " + std::to_string(sequence);
            std::lock_guard<std::mutex> hold(deliveredLock);
            answer = deliveredTexts.front();
            deliveredTexts.pop_front();
        } else {
            backoff.reset();
            while (tMsgGetMasterMsg(buffer, index) != index) {
                if (std::chrono::steady_clock::now() - start > kStressPatience) {
                    return "no answer to " + std::to_string(sequence);
                }
                backoff.idle();
            }
            answer = buffer;
        }
        const std::string expected =
            sealed(std::to_string(index) + " " + std::to_string(sequence) + " " + reversed(payload));
        if (answer != expected) return "answer " + std::to_string(sequence) + " wrong: " + answer;
    }
    if (viaCallback) tMsgSetSlaveCallback(nullptr, index);
    std::lock_guard<std::mutex> hold(deliveredLock);
    return deliveredTexts.empty() ? "ok" : "an answer too many";
}

// Threads register as slaves and give the index back again, over and over
// for `milliseconds`, more threads than indices. An index held by two
// threads at once is a fault; returns how many were seen.
int raceRegistrations(int milliseconds) {
    constexpr int kThreads = 6;
    std::atomic<int> owners[4] = {};
    std::atomic<int> faults{0};
    std::atomic<int> waiting{kThreads};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&] {
            waiting.fetch_sub(1);
            while (waiting.load() > 0) std::this_thread::yield();
            const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
            while (std::chrono::steady_clock::now() < end) {
                const int index = tMsgRegisterAsSlave();
                if (index < 0) continue;
                if (owners[index].fetch_add(1) != 0) faults.fetch_add(1);
                owners[index].fetch_sub(1);
                tMsgUnregisterAsSlave(index);
            }
        });
    }
    for (std::thread &thread : threads) thread.join();
    return faults.load();
}

std::string allCalls() {
    char buffer[256] = "untouched";
    int64_t stamps[4] = {};
    const int results[] = {tMsgRegisterAsMaster(),      tMsgRegisterAsSlave(),           tMsgUnregisterAsMaster(0),
                           tMsgUnregisterAsSlave(0),    tMsgSetSlaveCallback(record, 0), tMsgSetMasterCallback(record),
                           tMsgSendMsgToSlave("x", 0),  tMsgSendMsgToAllSlaves("x"),     tMsgSendMsgToMaster("x", 0),
                           tMsgGetMasterMsg(buffer, 0), tMsgGetSlaveMsg(buffer, 0),      tMsgClearAllSlaveMessages(),
                           tMsgGetTimeStamps(stamps, 0)};
    initMem();
    std::string line;
    for (int result : results) line += std::to_string(result) + " ";
    return line + buffer;
}

std::string run(const std::string &line) {
    std::istringstream in(line);
    std::string command;
    in >> command;
    int a = -9, b = -9;
    if (command == "init") return std::to_string(tMsgInit());
    if (command == "initMem") return initMem(), "0";
    if (command == "master") return std::to_string(tMsgRegisterAsMaster());
    if (command == "slave") return std::to_string(tMsgRegisterAsSlave());
    if (command == "unmaster") return in >> a, std::to_string(tMsgUnregisterAsMaster(a));
    if (command == "unslave") return in >> a, std::to_string(tMsgUnregisterAsSlave(a));
    if (command == "clear") return std::to_string(tMsgClearAllSlaveMessages());
    if (command == "ticks") return std::to_string(kelvoGetTicks());
    if (command == "toSlave") return in >> a, std::to_string(tMsgSendMsgToSlave(rest(in).c_str(), a));
    if (command == "toAll") return std::to_string(tMsgSendMsgToAllSlaves(rest(in).c_str()));
    if (command == "toMaster") return in >> a, std::to_string(tMsgSendMsgToMaster(rest(in).c_str(), a));
    if (command == "fromMaster" || command == "fromSlave") {
        in >> a;
        // Exactly the 256 bytes promised, so AddressSanitizer sees a byte
        // written past them.
        auto buffer = std::make_unique<char[]>(256);
        std::strcpy(buffer.get(), "untouched");
        const int result =
            command == "fromMaster" ? tMsgGetMasterMsg(buffer.get(), a) : tMsgGetSlaveMsg(buffer.get(), a);
        return std::to_string(result) + " " + buffer.get();
    }
    if (command == "stamps") {
        in >> a;
        int64_t stamps[4] = {};
        const int result = tMsgGetTimeStamps(stamps, a);
        std::string answer = std::to_string(result);
        for (int64_t stamp : stamps) answer += " " + std::to_string(stamp);
        return answer;
    }
    if (command == "slaveCallback") return in >> a, std::to_string(tMsgSetSlaveCallback(record, a));
    if (command == "masterCallback") return std::to_string(tMsgSetMasterCallback(record));
    if (command == "callbackOff") return in >> a, std::to_string(tMsgSetSlaveCallback(nullptr, a));
    if (command == "delivered") {
        in >> a >> b;
        waitForDelivered(static_cast<size_t>(a), std::chrono::milliseconds(b));
        std::lock_guard<std::mutex> hold(deliveredLock);
        std::string answer = std::to_string(deliveredTexts.size()) + " ";
        for (size_t k = 0; k < deliveredTexts.size(); ++k) answer += (k ? "|" : "") + deliveredTexts[k];
        return answer;
    }
    if (command == "forget") {
        std::lock_guard<std::mutex> hold(deliveredLock);
        deliveredTexts.clear();
        return "0";
    }
    if (command == "all") return allCalls();
    if (command == "nulls") {
        const int results[] = {tMsgSendMsgToSlave(nullptr, 0),  tMsgSendMsgToAllSlaves(nullptr),
                               tMsgSendMsgToMaster(nullptr, 0), tMsgGetMasterMsg(nullptr, 0),
                               tMsgGetSlaveMsg(nullptr, 0),     tMsgGetTimeStamps(nullptr, 0)};
        std::string answer;
        for (int result : results) answer += std::to_string(result) + " ";
        return answer;
    }
    if (command == "race") return in >> a, std::to_string(raceRegistrations(a));
    if (command == "stressMaster") return in >> a >> b, stressMaster(a, b);
    if (command == "stressSlave") return in >> a >> b, stressSlave(a, b, a == 3);
    return "unknown command " + command;
}

}  // namespace

int main() {
    std::cout << "ready" << std::endl;
    std::string line;
    while (std::getline(std::cin, line) && line != "quit") std::cout << run(line) << std::endl;
    return 0;
}
