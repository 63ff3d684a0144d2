// SPDX-License-Identifier: MIT
#include "json.h"

#include <cmath>
#include <cstdio>

namespace kelvo::cli {

namespace {

// The length of the well-formed UTF-8 sequence at text[at], or 0.
size_t utf8Length(std::string_view text, size_t at) {
    const auto byte = [&](size_t i) { return static_cast<unsigned char>(text[i]); };
    const unsigned char lead = byte(at);
    size_t length = 0;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
    } else {
        return 0;
    }
    if (at + length > text.size()) return 0;
    for (size_t i = 1; i < length; ++i) {
        if ((byte(at + i) & 0xC0) != 0x80) return 0;
    }
    // Overlong forms, UTF-16 surrogates and code points past U+10FFFF.
    const unsigned char second = byte(at + 1);
    if ((lead == 0xE0 && second < 0xA0) || (lead == 0xED && second >= 0xA0) || (lead == 0xF0 && second < 0x90) ||
        (lead == 0xF4 && second >= 0x90))
        return 0;
    return length;
}

void appendEscaped(std::string &out, unsigned char c) {
    char escape[8];
    std::snprintf(escape, sizeof escape, "\\u%04x", c);
    out += escape;
}

}  // namespace

std::string jsonString(std::string_view text) {
    std::string out = "\"";
    for (size_t at = 0; at < text.size();) {
        const auto c = static_cast<unsigned char>(text[at]);
        if (c >= 0x80) {
            const size_t length = utf8Length(text, at);
            if (length == 0) {
                appendEscaped(out, c);
                ++at;
            } else {
                out.append(text.substr(at, length));
                at += length;
            }
            continue;
        }
        switch (c) {
            case '"': out += "\\\""; break;
            case '\\': out += "\\\\"; break;
            case '\n': out += "\\n"; break;
            case '\r': out += "\\r"; break;
            case '\t': out += "\\t"; break;
            default:
                if (c < 0x20 || c == 0x7F) {
                    appendEscaped(out, c);
                } else {
                    out.push_back(static_cast<char>(c));
                }
        }
        ++at;
    }
    out.push_back('"');
    return out;
}

void JsonWriter::separate() {
    if (afterKey_) {
        afterKey_ = false;
        return;
    }
    if (first_.empty()) return;
    if (!first_.back()) text_.push_back(',');
    first_.back() = false;
}

JsonWriter &JsonWriter::open(char bracket) {
    separate();
    text_.push_back(bracket);
    first_.push_back(true);
    return *this;
}

JsonWriter &JsonWriter::close(char bracket) {
    text_.push_back(bracket);
    if (!first_.empty()) first_.pop_back();
    return *this;
}

JsonWriter &JsonWriter::beginObject() { return open('{'); }
JsonWriter &JsonWriter::endObject() { return close('}'); }
JsonWriter &JsonWriter::beginArray() { return open('['); }
JsonWriter &JsonWriter::endArray() { return close(']'); }

JsonWriter &JsonWriter::key(std::string_view name) {
    separate();
    text_ += jsonString(name);
    text_.push_back(':');
    afterKey_ = true;
    return *this;
}

JsonWriter &JsonWriter::value(std::string_view text) {
    separate();
    text_ += jsonString(text);
    return *this;
}

JsonWriter &JsonWriter::value(int64_t number) {
    separate();
    text_ += std::to_string(number);
    return *this;
}

JsonWriter &JsonWriter::value(uint64_t number) {
    separate();
    text_ += std::to_string(number);
    return *this;
}

JsonWriter &JsonWriter::value(double number) {
    if (!std::isfinite(number)) return null();
    separate();
    char digits[32];
    std::snprintf(digits, sizeof digits, "%.15g", number);
    text_ += digits;
    return *this;
}

JsonWriter &JsonWriter::value(bool truth) {
    separate();
    text_ += truth ? "true" : "false";
    return *this;
}

JsonWriter &JsonWriter::null() {
    separate();
    text_ += "null";
    return *this;
}

void JsonWriter::print() const {
    std::fwrite(text_.data(), 1, text_.size(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

}  // namespace kelvo::cli
