#!/usr/bin/env bash
# Runs the service wrapper's tests under Wine, headless, in a Wine prefix of the test run's own.
#   wine.sh setup     <prefix>                  creates the prefix; its wineserver stays up
#   wine.sh run       <prefix> <driver> <case>  runs one case of the test driver
#   wine.sh long-path <prefix> <driver>         the wrapper at paths of 259, 260 and 261 bytes
#   wine.sh cleanup   <prefix>                  ends the prefix's wineserver, removes the prefix
set -euo pipefail
action=$1
export WINEPREFIX=$2 WINEDEBUG=-all WINEARCH=win64
export WINEDLLOVERRIDES="mscoree,mshtml="  # no Mono or Gecko installer prompts
unset DISPLAY WAYLAND_DISPLAY
# Wine's background processes (wineserver, the service manager, services and their servers)
# inherit the output of whatever started them and may outlive it: a test runner waiting for the
# end of that output would wait for them too. Everything Wine writes goes through files instead.
log="$WINEPREFIX.log"

# Runs its arguments with their output in $log, then shows that output.
logged() {
  local rc=0
  "$@" >"$log" 2>&1 </dev/null || rc=$?
  cat "$log"
  return "$rc"
}

# Copies the test wrapper into a directory under C:\qnst-svc such that the wrapper's Windows path
# is exactly $1 bytes long, and prints that directory's Unix path. Directory names stay within
# 100 bytes, so only the whole path is long.
wrapper_at_length() {
  local length=$1 bin=$2 name=QuentaWayhouseSVC.exe
  local dir="C:\\qnst-svc\\long-$length"
  local dir_length=$((length - ${#name} - 1))
  while ((${#dir} < dir_length)); do
    local room=$((dir_length - ${#dir}))
    if ((room == 1)); then
      dir+=d
    else
      local n=$((room - 1 > 100 ? 100 : room - 1))
      dir+="\\$(printf 'd%.0s' $(seq "$n"))"
    fi
  done
  local unix="$WINEPREFIX/drive_c/${dir#C:\\}"
  unix=${unix//\\//}
  mkdir -p "$unix"
  cp "$bin/$name" "$unix/"
  echo "$unix"
}

case $action in
  setup)
    if [[ -d $WINEPREFIX ]]; then wineserver -k 2>/dev/null || true; fi
    rm -rf "$WINEPREFIX"
    # The first start of a prefix ends in a restart of its system processes: wait for that,
    # then keep one server (with the service manager) up between the cases until cleanup.
    if ! { wine wineboot -i && wineserver -w && wineserver -p && wine wineboot; } \
        >"$log" 2>&1 </dev/null; then
      cat "$log"
      exit 1
    fi
    ;;
  run)
    logged wine "$3" "$4"
    ;;
  long-path)
    # Windows (and Wine) cannot start a program at a path past MAX_PATH through CreateProcess;
    # Wine's loader can, from here. The exit code is the wrapper's result (all below 256).
    bin=$(dirname "$3")
    failed=0
    # <path length> <argument> <expected exit code>: the watchdog's buffer holds 260 bytes,
    # the installer's 261, the terminating NUL included; 33: no server there to start.
    while read -r length arg expected; do
      dir=$(wrapper_at_length "$length" "$bin")
      rc=0
      (cd "$dir" && logged wine ./QuentaWayhouseSVC.exe "$arg") || rc=$?
      if ((rc != expected)); then
        echo "FAILED: path of $length bytes, $arg: exit code $rc, expected $expected"
        failed=1
      fi
    done <<'CASES'
259 -x 33
260 -x 161
261 -i 161
CASES
    logged wine "$3" absent || failed=1  # the refused install left no service behind
    ((failed == 0)) && echo "long-path: passed"
    exit "$failed"
    ;;
  cleanup)
    if [[ -d $WINEPREFIX ]]; then wineserver -k 2>/dev/null || true; fi
    rm -rf "$WINEPREFIX" "$log"
    ;;
  *)
    echo "usage: $0 setup|run|long-path|cleanup <prefix> [<driver> [<case>]]" >&2
    exit 2
    ;;
esac
