# SPDX-License-Identifier: MIT
# bash completion for kelvo. Commands and each command's options are read
# from kelvo's own help, devices from 'kelvo list', so the completion says
# what the installed program does.

_kelvo_commands() {
    "$1" --help 2>/dev/null | sed -n '/^Commands:/,/^$/s/^  \([a-z][a-z-]*\).*/\1/p'
}

_kelvo() {
    local kelvo=${COMP_WORDS[0]} cur=${COMP_WORDS[COMP_CWORD]} prev=${COMP_WORDS[COMP_CWORD - 1]}
    COMPREPLY=()
    if ((COMP_CWORD == 1)); then
        COMPREPLY=($(compgen -W "$(_kelvo_commands "$kelvo") --help --version" -- "$cur"))
        return
    fi
    local command=${COMP_WORDS[1]}
    if [[ $command == help ]]; then
        ((COMP_CWORD == 2)) && COMPREPLY=($(compgen -W "$(_kelvo_commands "$kelvo")" -- "$cur"))
        return
    fi
    case $prev in
        --out | -o)
            COMPREPLY=($(compgen -f -- "$cur"))
            return
            ;;
        --config | -c | --seconds | -s | --samples | -n | --span | --timeout | -t) return ;;
    esac
    if [[ $cur == -* ]]; then
        local options
        options=$("$kelvo" "$command" --help 2>/dev/null | grep -oE -- '(^|[][ ,|])--?[a-zA-Z][a-zA-Z-]*' |
            sed -E 's/^[][ ,|]//' | sort -u)
        COMPREPLY=($(compgen -W "$options" -- "$cur"))
        return
    fi
    # Words before this one that are neither options nor option values.
    local i positional=0
    for ((i = 2; i < COMP_CWORD; ++i)); do
        case ${COMP_WORDS[i]} in
            --out | -o | --seconds | -s | --samples | -n | --span | --timeout | -t) ((++i)) ;;
            -*) ;;
            *) ((++positional)) ;;
        esac
    done
    case $command in
        list | demo) return ;;
        upload)
            if ((positional >= 1)); then
                COMPREPLY=($(compgen -f -- "$cur"))
                return
            fi
            ;;
        query | stream | plot) ((positional >= 1)) && return ;;
    esac
    # A device: a serial number or tty path from 'kelvo list', or any path.
    COMPREPLY=($(compgen -W "$("$kelvo" list 2>/dev/null | cut -f2,3 | tr '\t' '\n')" -- "$cur"))
    [[ $cur == /* ]] && COMPREPLY+=($(compgen -f -- "$cur"))
}

complete -F _kelvo kelvo
