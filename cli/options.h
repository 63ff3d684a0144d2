// SPDX-License-Identifier: MIT
// The options of the kelvo commands: each declared once, with its help line
// and its default, and the one parser that reads a command line by them.
// Options are words beginning "--", which also take their value as
// "--opt=value", or a short form such as -s 5 or -s5. An option of kind
// `commands` (--config) takes the words that follow it up to the next
// option, --config=CMD just CMD; it may be given again to add more.
#pragma once

#include <map>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace kelvo::cli {

struct Command;

enum class ValueKind {
    none,      // a switch
    text,      // any word
    file,      // a file name, not empty
    number,    // a number from `low` to `high`
    commands,  // the words up to the next option
};

struct Option {
    std::string_view name;   // the long name, without "--"
    char letter = 0;         // the short form, 0 for none
    std::string_view value;  // what the help calls the value; empty for a switch
    ValueKind kind = ValueKind::none;
    std::string_view help;       // wrapped where it is shown; '\n' where a line must begin
    std::string_view byDefault;  // the value when the option is not given; empty for none
    double low = 0;              // the range of a number
    double high = 0;

private:
    // A copy with `field` changed; first, so that clang knows it when it
    // evaluates the constexpr members below.
    template <class T>
    constexpr Option with(T Option::*field, T to) const {
        Option o = *this;
        o.*field = to;
        return o;
    }

public:
    static constexpr Option flag(std::string_view longName, std::string_view text) {
        Option o;
        o.name = longName;
        o.help = text;
        return o;
    }
    static constexpr Option valued(std::string_view longName, std::string_view valueName, ValueKind valueKind,
                                   std::string_view text) {
        Option o = flag(longName, text);
        o.value = valueName;
        o.kind = valueKind;
        return o;
    }
    static constexpr Option number(std::string_view longName, std::string_view valueName, std::string_view text,
                                   double from, double to) {
        Option o = valued(longName, valueName, ValueKind::number, text);
        o.low = from;
        o.high = to;
        return o;
    }

    constexpr Option withLetter(char shortForm) const { return with(&Option::letter, shortForm); }
    // The same option as one command describes it.
    constexpr Option describedAs(std::string_view text) const { return with(&Option::help, text); }
    constexpr Option defaulting(std::string_view text) const { return with(&Option::byDefault, text); }
    constexpr Option valueCalled(std::string_view text) const { return with(&Option::value, text); }
};

// The options several commands take, as `kelvo --help` describes them.
namespace option {
inline constexpr Option config =
    Option::valued("config", "CMD...", ValueKind::commands,
                   "configuration commands, e.g. 'CONFigure:DEVice 3', up to the next option; at least one must set "
                   "a sample layout")
        .withLetter('c');
inline constexpr Option seconds = Option::number("seconds", "N", "how long to stream", 0, 86400).withLetter('s');
inline constexpr Option samples =
    Option::number("samples", "N", "how many samples to take, where a command counts them", 1, 1e15).withLetter('n');
inline constexpr Option out = Option::valued("out", "FILE", ValueKind::file, "where to write the data").withLetter('o');
inline constexpr Option timeout =
    Option::number("timeout", "MS", "how long to wait for each answer", 1, 3600000).withLetter('t');
inline constexpr Option span =
    Option::number("span", "N", "samples across the plot window", 10, 10000000).defaulting("2000");
inline constexpr Option json = Option::flag(
    "json",
    "print one JSON document on stdout instead of text (list, query, sync, and the summary of stream and plot)");
inline constexpr Option noReconnect =
    Option::flag("no-reconnect",
                 "when a device hangs up, do not look for it again: it is gone for the rest of the run");
inline constexpr Option giveUp = Option::number("give-up", "S",
                                                "end the run when a device that hung up is not back within S "
                                                "seconds (default: never while another device streams)",
                                                0.1, 86400);
inline constexpr Option markers =
    Option::valued("markers", "FROM", ValueKind::text,
                   "also take markers other programs send: 'bus' (the message bus; 'kelvo mark TEXT' sends one) "
                   "or a ZeroMQ endpoint to listen on, tcp://*:5556 ('kelvo mark --to ENDPOINT TEXT')");
inline constexpr Option curveKeys =
    Option::valued("curve-keys", "DIR", ValueKind::file,
                   "encrypt and authenticate with ZeroMQ's CURVE, with the keys in DIR ('kelvo keys DIR' makes them; "
                   "docs/security.md)");
inline constexpr Option control =
    Option::valued("control", "ENDPOINT", ValueKind::text,
                   "take commands of scripts, ZeroMQ REQ clients ('kelvo control ENDPOINT status'), on a port "
                   "(5557: tcp://127.0.0.1:5557) or an endpoint, tcp://*:5557 for every interface");
// Every command takes it; the parser knows it without a declaration.
inline constexpr Option help = Option::flag("help", "show this help").withLetter('h');
}  // namespace option

// What a command line gave, and the defaults of the options it did not
// give. An option the command does not take is never given.
class Arguments {
public:
    std::vector<std::string> positional;
    bool help = false;  // --help or -h

    // Whether the switch was given.
    bool flag(std::string_view name) const { return values_.contains(name); }
    // The number given, else the default; none without either.
    std::optional<double> number(std::string_view name) const;
    // The text given, else the default, else "".
    std::string text(std::string_view name) const;
    // Every word an option of kind `commands` took, in order.
    std::vector<std::string> words(std::string_view name) const;

private:
    friend Arguments parseArguments(const Command &command, int argc, char **argv, int first);
    struct Value {
        std::string text;
        double number = 0;
        std::vector<std::string> words;
    };
    const Value *find(std::string_view name) const;
    std::map<std::string, Value, std::less<>> values_;
};

// Parses argv[first..] by the options `command` declares. Usage errors
// throw a Failure of status 2.
Arguments parseArguments(const Command &command, int argc, char **argv, int first);

}  // namespace kelvo::cli
