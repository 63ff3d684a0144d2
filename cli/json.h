// SPDX-License-Identifier: MIT
// A small writer of JSON documents for the --json output of the commands.
// Commas and nesting are kept track of; texts are escaped, and bytes that
// are not UTF-8 (a device may answer anything) are written as the \u00XX
// of their Latin-1 reading, so the document always parses.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace kelvo::cli {

class JsonWriter {
public:
    JsonWriter &beginObject();
    JsonWriter &endObject();
    JsonWriter &beginArray();
    JsonWriter &endArray();
    // The name of the next member of the enclosing object.
    JsonWriter &key(std::string_view name);
    JsonWriter &value(std::string_view text);
    JsonWriter &value(const char *text) { return value(std::string_view(text)); }
    JsonWriter &value(const std::string &text) { return value(std::string_view(text)); }
    JsonWriter &value(int64_t number);
    JsonWriter &value(uint64_t number);
    JsonWriter &value(int number) { return value(static_cast<int64_t>(number)); }
    JsonWriter &value(unsigned number) { return value(static_cast<uint64_t>(number)); }
    // NaN and the infinities, which JSON lacks, are written as null.
    JsonWriter &value(double number);
    JsonWriter &value(bool truth);
    JsonWriter &null();

    // key(name).value(v) in one.
    template <class T>
    JsonWriter &member(std::string_view name, const T &v) {
        return key(name).value(v);
    }

    const std::string &text() const { return text_; }
    // Writes the document and a line end to stdout.
    void print() const;

private:
    void separate();
    JsonWriter &open(char bracket);
    JsonWriter &close(char bracket);

    std::string text_;
    std::vector<bool> first_;  // per open bracket: nothing written in it yet
    bool afterKey_ = false;
};

// `text` as a JSON string literal, quotes included.
std::string jsonString(std::string_view text);

}  // namespace kelvo::cli
