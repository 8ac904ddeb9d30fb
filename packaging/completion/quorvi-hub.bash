# bash completion for quorvi-hub                           -*- shell-script -*-
# Plain bash: it needs nothing from the bash-completion package's helpers.

_quorvi_hub() {
    local cur=${COMP_WORDS[COMP_CWORD]}
    local prev=
    ((COMP_CWORD > 0)) && prev=${COMP_WORDS[COMP_CWORD - 1]}
    # bash splits "--image=file" at the "=".
    if [[ $cur == = ]]; then
        cur=
    elif [[ $prev == = ]] && ((COMP_CWORD > 1)); then
        prev=${COMP_WORDS[COMP_CWORD - 2]}
    fi

    local commands='list check update history data levels'
    local options='--all --path --image --json --quiet --verbose --no-progress --force --no-lock
        --discard-calibration --hub --since --last --virtual --virtual-version --virtual-fault
        --virtual-scene --watch --count --csv --from
        --help --version -q -v -h -V'
    local faults='silent slow@ wrong-marker fail@ unplug@ no-return stay-in-bootloader no-access
        boot-old-firmware copy-then-refuse@ repeat-reply@ short-reply@ unsolicited@ usb-timing
        status-before@ no-echo no-serial'

    COMPREPLY=()
    case $prev in
    --path)
        local nodes
        nodes=$(compgen -G '/dev/hidraw*')
        mapfile -t COMPREPLY < <(compgen -W "$nodes" -- "$cur")
        return
        ;;
    --image)
        compopt -o filenames 2>/dev/null
        mapfile -t COMPREPLY < <(compgen -f -- "$cur")
        return
        ;;
    --hub | --since | --last)
        # A hub's identity, a date or a count: nothing to offer.
        return
        ;;
    --virtual)
        mapfile -t COMPREPLY < <(compgen -W "$(echo {1..16})" -- "$cur")
        return
        ;;
    --virtual-version)
        mapfile -t COMPREPLY < <(compgen -W '1.1.15.0905 1.1.15.0906' -- "$cur")
        return
        ;;
    --virtual-scene)
        mapfile -t COMPREPLY < <(compgen -W 'fixed idle charging busy' -- "$cur")
        return
        ;;
    --from)
        compopt -o filenames 2>/dev/null
        mapfile -t COMPREPLY < <(compgen -f -- "$cur")
        return
        ;;
    --watch | --count)
        return
        ;;
    --virtual-fault)
        local hub=
        [[ $cur == *:* ]] && hub=${cur%%:*}:
        mapfile -t COMPREPLY < <(compgen -P "$hub" -W "$faults" -- "${cur#"$hub"}")
        # A fault that takes a number waits for it.
        [[ ${#COMPREPLY[@]} -eq 1 && ${COMPREPLY[0]} == *@ ]] && compopt -o nospace 2>/dev/null
        return
        ;;
    esac

    # The command given so far, if any: only its own options are offered.
    local word command=
    for word in "${COMP_WORDS[@]:1:COMP_CWORD-1}"; do
        case $word in
        list | check | update | history | data | levels) command=$word ;;
        esac
    done
    if [[ $cur == -* ]]; then
        local virtual='--virtual --virtual-version --virtual-fault'
        case $command in
        list) options="--path --json --quiet --verbose --no-progress $virtual -q -v" ;;
        check) options="--path --image --json --quiet --verbose --no-progress $virtual -q -v" ;;
        update) options="--all --path --image --json --quiet --verbose --no-progress --force --no-lock
            --discard-calibration $virtual -q -v" ;;
        history) options='--hub --since --last --verbose --json -v' ;;
        data) options="--all --path --json --watch --count --csv $virtual --virtual-scene" ;;
        levels) options="--all --path --json --force --from $virtual" ;;
        esac
        [[ -n $command ]] && options="$options --help --version -h -V"
        mapfile -t COMPREPLY < <(compgen -W "$options" -- "$cur")
        return
    fi
    # One command per run: none once it is given.
    if [[ $command == levels && $prev == levels ]]; then
        mapfile -t COMPREPLY < <(compgen -W set -- "$cur")
        return
    fi
    [[ -n $command ]] && return
    mapfile -t COMPREPLY < <(compgen -W "$commands" -- "$cur")
}
complete -F _quorvi_hub quorvi-hub
