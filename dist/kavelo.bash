# bash completion for kavelo: options, file names after --flv/-o, nothing
# after an option that takes a number or another value.

_kavelo()
{
    local cur=${COMP_WORDS[COMP_CWORD]} prev=
    ((COMP_CWORD > 0)) && prev=${COMP_WORDS[COMP_CWORD - 1]}
    # "--flv=name" reaches us as "--flv" "=" "name" ('=' breaks words).
    if [[ $cur == "=" ]]; then
        cur=
    elif [[ $prev == "=" ]] && ((COMP_CWORD > 1)); then
        prev=${COMP_WORDS[COMP_CWORD - 2]}
    fi
    COMPREPLY=()

    case $prev in
        --flv | -o)
            compopt -o filenames 2>/dev/null
            mapfile -t COMPREPLY < <(compgen -f -- "$cur")
            return
            ;;
        --host | -n)
            declare -F _known_hosts_real >/dev/null && _known_hosts_real -- "$cur"
            return
            ;;
        --rtmp | -r | --port | -c | --protocol | -l | --playpath | -y | --swfUrl | -s | --tcUrl | -t | \
            --pageUrl | -p | --app | -a | --auth | -u | --flashVer | -f | --subscribe | -d | --timeout | -m | \
            --retry | --live-idle | --start | -A | --stop | -B | --buffer | -b | --skip | -k)
            return
            ;;
    esac

    local long="--help --version --rtmp --host --port --protocol --playpath --swfUrl --tcUrl --pageUrl --app
        --auth --flashVer --live --subscribe --flv --resume --timeout --retry --live-idle --start --stop --hashes --buffer
        --skip --quiet --verbose --debug"
    local short="-h -r -n -c -l -y -s -t -p -a -u -f -v -d -o -e -m -A -B -# -b -k -q -x -z"
    if [[ $cur == --* ]]; then
        mapfile -t COMPREPLY < <(compgen -W "$long" -- "$cur")
    else
        mapfile -t COMPREPLY < <(compgen -W "$long $short" -- "$cur")
    fi
}
complete -F _kavelo kavelo
