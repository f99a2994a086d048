# What the end-to-end scripts share, sourced by them once they have set `work` (their scratch
# folder) and `service` (the orv-service program): the tally of checks, waiting, the Xvfb display
# and the local service. Programs started in the background go into `pids`; `cleanup_more`, when
# a script defines it, runs first at the end.

failures=0 passes=0 pids=()

cleanup() {
  declare -F cleanup_more >/dev/null && cleanup_more
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null; done
  wait 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT

pass() { echo "PASS: $*"; passes=$((passes + 1)); }
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
check() { local what=$1; shift; if "$@"; then pass "$what"; else fail "$what"; fi; }

# Waits until the command succeeds, for at most $1 seconds.
wait_for() {
  local seconds=$1; shift
  local deadline=$((SECONDS + seconds))
  until "$@"; do
    ((SECONDS < deadline)) || return 1
    sleep 0.2
  done
}

# An Xvfb display of this run's own, exported as DISPLAY.
start_xvfb() {
  local display=:$((90 + RANDOM % 100))
  while [[ -e /tmp/.X11-unix/X${display#:} ]]; do display=:$((90 + RANDOM % 100)); done
  Xvfb "$display" -screen 0 1280x800x24 -nolisten tcp >"$work/xvfb.log" 2>&1 &
  pids+=($!)
  export DISPLAY=$display
  wait_for 10 test -S "/tmp/.X11-unix/X${display#:}" || { echo "FAIL: Xvfb did not start"; exit 1; }
}

# The service's ports are fixed (the launcher is built for them). Connections that earlier tests
# closed may hold one of them for up to a minute, so a busy port is waited out.
#   start_service ARGS...   (sets service_pid)
start_service() {
  for attempt in $(seq 1 45); do
    "$service" "$@" >"$work/service.log" 2>&1 &
    service_pid=$!
    wait_for 10 grep -qs "listening\|Listening\|web service\|cannot listen" "$work/service.log" || sleep 1
    kill -0 "$service_pid" 2>/dev/null && break
    grep -q "already in use" "$work/service.log" || break
    echo "service ports busy (attempt $attempt), waiting"
    sleep 2
  done
  pids+=("$service_pid")
}

# A launcher session's folders below `work`, for a user whose home is $1: the installation, the
# download server's files, the service's test driver, the user folder and its settings file.
lay_out_session() {
  home=$1 install=$work/install server=$work/server driver=$work/driver
  user_folder="$home/Documents/My Games/ORV"
  settings="$user_folder/ClientSettings.ini"
  mkdir -p "$driver" && touch "$driver/commands"
}

# What the session has shown: pages the service saw served, lines in the launcher's log, a value
# of an INI file (file, section, key).
seen() { grep -q -- "$1" "$driver/seen.log" 2>/dev/null; }
log_has() { cat "$user_folder"/Logs/*.log 2>/dev/null | grep -qF -- "$1"; }
ini() { sed -n "/^\[$2\]/,/^\[/p" "$1" | grep -m1 "^$3=" | cut -d= -f2-; }
