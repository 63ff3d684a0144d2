// SPDX-License-Identifier: MIT
#include "options.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>

#include "cli.h"
#include "command.h"

namespace kelvo::cli {

const Arguments::Value *Arguments::find(std::string_view name) const {
    const auto found = values_.find(name);
    return found == values_.end() ? nullptr : &found->second;
}

std::optional<double> Arguments::number(std::string_view name) const {
    const Value *value = find(name);
    if (value == nullptr) return std::nullopt;
    return value->number;
}

std::string Arguments::text(std::string_view name) const {
    const Value *value = find(name);
    return value == nullptr ? "" : value->text;
}

std::vector<std::string> Arguments::words(std::string_view name) const {
    const Value *value = find(name);
    return value == nullptr ? std::vector<std::string>{} : value->words;
}

namespace {

// A word that names an option rather than a value: "--x" or "-x". A lone
// "-", or "-5" and the like, is a value.
bool isOptionWord(const char *word) {
    return word[0] == '-' && (word[1] == '-' || std::isalpha(static_cast<unsigned char>(word[1])) != 0);
}

const Option *findOption(std::span<const Option> options, std::string_view name) {
    const auto found = std::find_if(options.begin(), options.end(), [&](const Option &o) { return o.name == name; });
    return found == options.end() ? nullptr : &*found;
}

// What a short form stands for: the command's own, else what it means in
// any command, so that the refusal names the long option.
const Option *findLetter(std::span<const Option> options, char letter) {
    const auto matches = [letter](const Option &o) { return o.letter == letter; };
    const auto found = std::find_if(options.begin(), options.end(), matches);
    if (found != options.end()) return &*found;
    for (const Command *command : commands()) {
        const auto elsewhere = std::find_if(command->options.begin(), command->options.end(), matches);
        if (elsewhere != command->options.end()) return &*elsewhere;
    }
    return nullptr;
}

// The long name of an option word ("--seconds"), and the value glued to it
// by '=' or to a short form, if any.
struct OptionWord {
    std::string name;
    std::string value;
    bool hasValue = false;
};

[[noreturn]] void noSuchOption(std::string_view command, const std::string &option) {
    throw Failure("'" + std::string(command) + "' has no option " + option + "; see 'kelvo " + std::string(command) +
                      " --help'",
                  2);
}

OptionWord splitOption(const Command &command, const std::string &word) {
    OptionWord option;
    if (word.rfind("--", 0) == 0) {
        const size_t equals = word.find('=');
        option.name = word.substr(0, equals);
        if (equals != std::string::npos) {
            option.value = word.substr(equals + 1);
            option.hasValue = true;
        }
        return option;
    }
    // "-s 5", or with the value glued on, "-s5".
    const Option *declared = findLetter(command.options, word[1]);
    if (declared == nullptr) noSuchOption(command.name, word);
    option.name = "--" + std::string(declared->name);
    option.hasValue = word.size() > 2;
    if (option.hasValue) option.value = word.substr(2);
    return option;
}

double number(const std::string &option, const std::string &text, double low, double high) {
    char *end = nullptr;
    const double v = std::strtod(text.c_str(), &end);
    if (end == text.c_str() || *end != '\0' || !(v >= low && v <= high)) {
        throw Failure(option + " takes a number from " + std::to_string(static_cast<long>(low)) + " to " +
                          std::to_string(static_cast<long>(high)),
                      2);
    }
    return v;
}

// The value of an option: glued on with '=' (or to a short form), else the
// next word, which must not be an option.
std::string optionValue(const Command &command, const OptionWord &option, int argc, char **argv, int &i) {
    if (option.hasValue) return option.value;
    if (i + 1 >= argc || isOptionWord(argv[i + 1])) {
        throw Failure(option.name + " needs a value; see 'kelvo " + std::string(command.name) + " --help'", 2);
    }
    return argv[++i];
}

// --config=CMD is one command; --config and -c take every word up to the
// next option.
void takeWords(std::vector<std::string> &words, const OptionWord &option, int argc, char **argv, int &i) {
    const size_t before = words.size();
    if (option.hasValue) {
        words.push_back(option.value);
    } else {
        while (i + 1 < argc && !isOptionWord(argv[i + 1])) words.push_back(argv[++i]);
    }
    if (words.size() == before || words.back().empty()) throw Failure(option.name + " needs at least one command", 2);
}

}  // namespace

Arguments parseArguments(const Command &command, int argc, char **argv, int first) {
    Arguments args;
    const auto store = [&args](const Option &declared, const std::string &name, const std::string &text) {
        Arguments::Value &value = args.values_[std::string(declared.name)];
        value.text = text;
        if (declared.kind == ValueKind::number) value.number = number(name, text, declared.low, declared.high);
        if (declared.kind == ValueKind::file && text.empty()) throw Failure(name + " needs a file name", 2);
    };
    for (const Option &declared : command.options) {
        if (!declared.byDefault.empty()) {
            store(declared, "--" + std::string(declared.name), std::string(declared.byDefault));
        }
    }
    for (int i = first; i < argc; ++i) {
        const std::string word = argv[i];
        if (word == "--help" || word == "-h") {
            args.help = true;
            continue;
        }
        if (!isOptionWord(argv[i])) {
            args.positional.push_back(word);
            continue;
        }
        const OptionWord option = splitOption(command, word);
        const Option *declared = findOption(command.options, std::string_view(option.name).substr(2));
        if (declared == nullptr) noSuchOption(command.name, option.name);
        if (declared->kind == ValueKind::commands) {
            takeWords(args.values_[std::string(declared->name)].words, option, argc, argv, i);
        } else if (declared->kind == ValueKind::none) {
            if (option.hasValue) throw Failure(option.name + " takes no value", 2);
            args.values_[std::string(declared->name)];
        } else {
            store(*declared, option.name, optionValue(command, option, argc, argv, i));
        }
    }
    return args;
}

}  // namespace kelvo::cli
