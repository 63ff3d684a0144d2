// SPDX-License-Identifier: MIT
#include "completion.h"

#include "command.h"
#include "help.h"

namespace kelvo::cli::docs {

namespace {

// The words of the per-command case of the script.
struct Words {
    std::string options;   // every option, long and short
    std::string valued;    // options that take the next word as their value
    std::string files;     // ... which is a file name
    std::string lists;     // options that take the words up to the next option
    std::string operands;  // what the words besides options are, in order
};

void add(std::string &list, std::string_view word) {
    if (!list.empty()) list += ' ';
    list += word;
}

void addForms(std::string &list, const Option &option) {
    add(list, "--" + std::string(option.name));
    if (option.letter != 0) add(list, std::string("-") + option.letter);
}

// The usage's leading upper-case words: DEVICE, DEVICE..., FILE, COMMAND...
// become "device", "device...", "file", "word..."; options end them.
std::string operandsOf(const Command &command) {
    std::string operands;
    std::string_view usage = command.usage;
    while (!usage.empty()) {
        const size_t start = usage.find_first_not_of(" \n");
        if (start == std::string_view::npos) break;
        const size_t end = std::min(usage.find_first_of(" \n", start), usage.size());
        std::string_view word = usage.substr(start, end - start);
        usage = usage.substr(end);
        if (word.front() == '-' || word.front() == '[' || word.front() == '(') break;
        const bool repeated = word.ends_with("...");
        if (repeated) word.remove_suffix(3);
        const std::string kind = word == "DEVICE" ? "device" : word == "FILE" ? "file" : "word";
        add(operands, kind + (repeated ? "..." : ""));
    }
    return operands;
}

Words wordsOf(const Command &command) {
    Words words;
    for (const Option &o : documentedOptions(command)) {
        addForms(words.options, o);
        if (o.kind == ValueKind::commands) addForms(words.lists, o);
        if (o.kind == ValueKind::text || o.kind == ValueKind::file || o.kind == ValueKind::number) {
            addForms(words.valued, o);
        }
        if (o.kind == ValueKind::file) addForms(words.files, o);
    }
    words.operands = operandsOf(command);
    return words;
}

constexpr std::string_view kHead = R"sh(# SPDX-License-Identifier: MIT
# bash completion for kelvo, made by kelvo-docs from kelvo's command table:
# the commands, each command's options and, for its operands, the devices
# of 'kelvo list' or file names.

_kelvo() {
    local kelvo=${COMP_WORDS[0]} cur=${COMP_WORDS[COMP_CWORD]} prev=${COMP_WORDS[COMP_CWORD - 1]}
    local commands=')sh";

constexpr std::string_view kDispatch = R"sh('
    COMPREPLY=()
    if ((COMP_CWORD == 1)); then
        COMPREPLY=($(compgen -W "$commands help --help --version" -- "$cur"))
        return
    fi
    local command=${COMP_WORDS[1]}
    if [[ $command == help ]]; then
        ((COMP_CWORD == 2)) && COMPREPLY=($(compgen -W "$commands" -- "$cur"))
        return
    fi
    local options valued files lists operands
    case $command in
)sh";

constexpr std::string_view kTail = R"sh(        *) return ;;
    esac
    if [[ " $files " == *" $prev "* ]]; then
        COMPREPLY=($(compgen -f -- "$cur"))
        return
    fi
    [[ " $valued " == *" $prev "* ]] && return
    if [[ $cur == -* ]]; then
        COMPREPLY=($(compgen -W "$options" -- "$cur"))
        return
    fi
    # The operands before this word: option values are none, nor are the
    # words of a list option (--config), which run up to the next option.
    local i word name positional=0 listing=0
    for ((i = 2; i < COMP_CWORD; ++i)); do
        word=${COMP_WORDS[i]}
        if [[ $word == --* || $word == -[a-zA-Z]* ]]; then
            name=$word
            [[ $word == --*=* ]] && name=${word%%=*}
            [[ $word != --* && ${#word} -gt 2 ]] && name=${word:0:2}
            listing=0
            if [[ $name == "$word" ]]; then
                [[ " $lists " == *" $name "* ]] && listing=1
                [[ " $valued " == *" $name "* ]] && ((++i))
            fi
        elif ((!listing)); then
            ((++positional))
        fi
    done
    ((listing)) && return
    local kinds=($operands) kind
    ((${#kinds[@]} == 0)) && return
    if ((positional < ${#kinds[@]})); then
        kind=${kinds[positional]}
    else
        kind=${kinds[-1]}
        [[ $kind == *... ]] || return
    fi
    case ${kind%...} in
        device)
            # A serial number or tty path from 'kelvo list', or any path.
            COMPREPLY=($(compgen -W "$("$kelvo" list 2>/dev/null | cut -f2,3 | tr '\t' '\n')" -- "$cur"))
            [[ $cur == /* ]] && COMPREPLY+=($(compgen -f -- "$cur"))
            ;;
        file) COMPREPLY=($(compgen -f -- "$cur")) ;;
    esac
}

complete -F _kelvo kelvo
)sh";

}  // namespace

std::string completionScript() {
    std::string names;
    for (const Command *command : commands()) add(names, command->name);
    std::string script = std::string(kHead) + names + std::string(kDispatch);
    for (const Command *command : commands()) {
        const Words w = wordsOf(*command);
        script += "        " + std::string(command->name) + ")\n            options='" + w.options + "'\n";
        script += "            valued='" + w.valued + "' files='" + w.files + "' lists='" + w.lists + "'\n";
        script += "            operands='" + w.operands + "'\n            ;;\n";
    }
    return script + std::string(kTail);
}

}  // namespace kelvo::cli::docs
