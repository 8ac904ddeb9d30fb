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
    # A Tab typed into an interactive zsh on a pseudo-terminal; the read ends
    # when the completed word shows up, or the timeout ends it.
    zcompletes() { # zcompletes <typed> <what the Tab adds>
        HOME=$home timeout 30 zsh -f -c '
            zmodload zsh/zpty
            zpty z zsh -f -i
            zpty -w z "PS1=\"> \"; fpath=($1 \$fpath); autoload -Uz compinit; compinit -u -d $2/.zcompdump"
            zpty -n -w z "$3"$'"'"'\t'"'"'
            zpty -r z out "*$4*"' zsh "$dir" "$home" "$1" "$2" >/dev/null ||
            fail "zsh does not complete '$1' with '$2'"
    }
    zcompletes "quorvi-hub up" "date"
    zcompletes "quorvi-hub check --no-p" "rogress"
    zcompletes "quorvi-hub --virtual-fault 2:st" "ay-in-bootloader"
else
    echo "zsh is not installed: its completion is not checked" >&2
    [ "$failures" -eq 0 ] && exit 77
fi
[ "$failures" -eq 0 ]
