#!/usr/bin/env bash
# wine-prefix.sh start|stop: makes the wine prefix named by WINEPREFIX once and starts its
# persistent wineserver (start), or ends that wineserver (stop). Safe to call from parallel tests.
set -u
: "${WINEPREFIX:?WINEPREFIX must name the prefix}"
export WINEARCH=win64 WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
case "${1:-start}" in
start)
    mkdir -p "$(dirname "$WINEPREFIX")"
    exec 9>"$WINEPREFIX.lock"
    flock 9
    if [ ! -f "$WINEPREFIX/.norvex-ready-2" ]; then
        rm -rf "$WINEPREFIX"
        wineboot --init >/dev/null 2>&1 9>&- && wineserver -w 9>&- || { echo "wine-prefix: wineboot failed" >&2; exit 1; }
        # COM ports must never fall through to the machine's console (/dev/ttyS0): an empty entry
        # disables a port, and wine only maps detected devices to numbers left free.
        { echo 'REGEDIT4'; echo; echo '[HKEY_LOCAL_MACHINE\Software\Wine\Ports]'
          for n in $(seq 1 256); do echo "\"COM$n\"=\"\""; done; } >"$WINEPREFIX/ports.reg"
        wine regedit /S "$WINEPREFIX/ports.reg" >/dev/null 2>&1 9>&-
        # The dialogs' font, "ＭＳ Ｐゴシック", is proportional; without a replacement wine draws it
        # with a fixed-width font whose Japanese text is much wider than on Windows. (UTF-16: the
        # names are not in the ANSI code page of a C locale.)
        printf '%s\r\n' 'Windows Registry Editor Version 5.00' '' \
            '[HKEY_CURRENT_USER\Software\Wine\Fonts\Replacements]' \
            '"ＭＳ Ｐゴシック"="IPAPGothic"' '"ＭＳ ゴシック"="IPAGothic"' \
            '"MS PGothic"="IPAPGothic"' '"MS Gothic"="IPAGothic"' '"MS UI Gothic"="IPAPGothic"' |
            iconv -f UTF-8 -t UTF-16 >"$WINEPREFIX/fonts.reg"
        wine regedit /S "$WINEPREFIX/fonts.reg" >/dev/null 2>&1 9>&-
        wineserver -k >/dev/null 2>&1 9>&-; wineserver -w 9>&-
        touch "$WINEPREFIX/.norvex-ready-2"
    fi
    # Returns at once (status 2) when this prefix's server already runs. Output and the lock are
    # detached, so that the daemon never holds a caller's pipe or the lock.
    if wineserver -p </dev/null >/dev/null 2>&1 9>&-; then
        wine cmd /c exit </dev/null >/dev/null 2>&1 9>&-
    fi
    # Wine still maps the machine's serial devices to a number left over; the links it made at the
    # start of this server's session go, and it makes no new ones until the next session.
    for link in "$WINEPREFIX"/dosdevices/com*; do
        case "$(readlink "$link" 2>/dev/null)" in /dev/ttyS*) rm -f "$link" ;; esac
    done
    exit 0
    ;;
stop)
    wineserver -k >/dev/null 2>&1
    exit 0
    ;;
*)
    echo "usage: wine-prefix.sh start|stop" >&2
    exit 2
    ;;
esac
