#!/bin/bash
# The shell completions of quorvi-hub, loaded the way the shells load them.
# Usage: completion-test.sh <folder with quorvi-hub.bash and _quorvi-hub>
set -u
dir=$1
failures=0
fail() {
    echo "FAIL: $*" >&2
    failures=$((failures + 1))
}

# completes <expected words> <words on the line...>: the last word is the one completed.
completes() {
    local expected=$1
    shift
    COMP_WORDS=("$@")
    COMP_CWORD=$((${#COMP_WORDS[@]} - 1))
    COMPREPLY=()
    _quorvi_hub
    local got="${COMPREPLY[*]}"
    [ "$got" = "$expected" ] || fail "'$*' completes to '$got', not '$expected'"
}

# shellcheck source=/dev/null
source "$dir/quorvi-hub.bash"
registered=$(complete -p quorvi-hub 2>&1)
[ "$registered" = "complete -F _quorvi_hub quorvi-hub" ] || fail "registered as: $registered"

completes update quorvi-hub up
completes "check" quorvi-hub --virtual 2 ch
completes "history" quorvi-hub --json hi
completes "" quorvi-hub check li # one command per run
completes "data" quorvi-hub --virtual 2 da
completes "set" quorvi-hub levels s
completes "charging" quorvi-hub --virtual-scene ch
completes "--no-progress" quorvi-hub update --no-p
# A command's own options only: history takes no --all, data no --image.
completes "" quorvi-hub history --al
completes "" quorvi-hub data --ima
completes "--watch" quorvi-hub data --wa
completes "--virtual-scene" quorvi-hub data --virtual-s
completes "" quorvi-hub update --virtual-s
completes "--virtual --virtual-version --virtual-fault --virtual-scene" quorvi-hub --vir
completes "2:stay-in-bootloader" quorvi-hub --virtual 2 --virtual-fault 2:stay
completes "unplug@" quorvi-hub --virtual-fault unp
completes "16" quorvi-hub --virtual 16
completes "$dir/quorvi-hub.bash" quorvi-hub update --image "$dir/quorvi-hub.b"
completes "$dir/quorvi-hub.bash" quorvi-hub update --image = "$dir/quorvi-hub.b"

if command -v zsh >/dev/null; then
    # compinit finds the function by its #compdef line, as from the vendor folder.
    home=$(mktemp -d)
    trap 'rm -rf "$home"' EXIT
    zsh -n "$dir/_quorvi-hub" || fail "_quorvi-hub is not valid zsh"
    found=$(HOME=$home zsh -f -c "fpath=('$dir' \$fpath); autoload -Uz compinit; compinit -u -d '$home/.zcompdump'; print -r -- \$_comps[quorvi-hub]")
    [ "$found" = "_quorvi-hub" ] || fail "zsh completes quorvi-hub with '$found'"
    # Each line typed into one interactive zsh on a pseudo-terminal, with a
    # Tab and Enter: there quorvi-hub is a function that prints the words it
    # was given, so what the Tab added, or that it added nothing, shows in one
    # line. The marker is split where the definition is typed, so its echo
    # never matches.
    typed=() expected=()
    zcompletes() { # zcompletes <typed> <the words after quorvi-hub once Tab has run>
        typed+=("$1")
        expected+=("$2")
    }
    zcompletes "quorvi-hub up" "update"
    zcompletes "quorvi-hub check --no-p" "check --no-progress"
    zcompletes "quorvi-hub --virtual-fault 2:stay" "--virtual-fault 2:stay-in-bootloader"
    zcompletes "quorvi-hub levels s" "levels set"
    # A command's own options only; before a command, every option.
    zcompletes "quorvi-hub history --al" "history --al"
    zcompletes "quorvi-hub data --ima" "data --ima"
    zcompletes "quorvi-hub list --fo" "list --fo"
    zcompletes "quorvi-hub levels --fo" "levels --force"
    zcompletes "quorvi-hub data --wa" "data --watch"
    zcompletes "quorvi-hub update --virtual-s" "update --virtual-s"
    zcompletes "quorvi-hub data --virtual-s" "data --virtual-scene"
    zcompletes "quorvi-hub --virtual-s" "--virtual-scene"
    mapfile -t got < <(HOME=$home timeout 50 zsh -f -c '
        zmodload zsh/zpty
        zpty z zsh -f -i
        zpty -w z "PS1=\"> \"; fpath=($1 \$fpath); autoload -Uz compinit; compinit -u -d $2/.zcompdump"
        zpty -w z "quorvi-hub() { print -r -- \"AR\"\"GS<\$*>\" }"
        for line in "${@:3}"; do
            zpty -n -w z "$line"$'"'"'\t\n'"'"'
            zpty -r z out "*ARGS<*>*" || exit 1
            out=${out##*ARGS<}
            print -r -- "${out%%>*}"
        done
        zpty -d z' zsh "$dir" "$home" "${typed[@]}")
    for i in "${!typed[@]}"; do
        [ "${got[i]-(no answer)}" = "${expected[i]}" ] ||
            fail "zsh completes '${typed[i]}' to '${got[i]-(no answer)}', not '${expected[i]}'"
    done
else
    echo "zsh is not installed: its completion is not checked" >&2
    [ "$failures" -eq 0 ] && exit 77
fi
[ "$failures" -eq 0 ]
