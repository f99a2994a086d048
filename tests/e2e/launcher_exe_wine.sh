#!/usr/bin/env bash
# End to end: the players' 32-bit Launcher.exe under 32-bit Wine and Xvfb, against orv-service and
# a generated installation, in a Wine prefix of its own. `-h` must write the manifest that the
# checksums taken here give; started without any WebView2, the window must say so and close on a
# click. Screenshots go to the artefact folder. The service's ports are fixed: run this under
# `flock /tmp/orv-ports.lock`.
#   launcher_exe_wine.sh LAUNCHER_EXE SERVICE MAKE_INSTALL ARTEFACTS
set -uo pipefail

launcher_exe=$1 service=$2 make_install=$3 artefacts=$4
here=$(cd "$(dirname "$0")" && pwd)
wine_run=$here/../../scripts/wine-run
work=$(mktemp -d /tmp/orv-exe-e2e.XXXXXX)
mkdir -p "$artefacts" && artefacts=$(cd "$artefacts" && pwd)
export ORV_WINEPREFIX=$work/prefix
source "$here/e2e_common.sh"
# Ends every program of this run's prefix (Notepad from the -h run among them).
cleanup_more() { [[ -d $ORV_WINEPREFIX ]] && WINEPREFIX=$ORV_WINEPREFIX wineserver -k 2>/dev/null; }
start_xvfb

# With a Documents folder in HOME, Wine makes the prefix's documents folder a link to it.
export HOME=$work/home
mkdir -p "$HOME/Documents"
install=$work/install server=$work/server
# The server names the launcher's own version, so no update question comes.
version=$(sed -n 's/.*LauncherVersion = "\([^"]*\)".*/\1/p' "$here/../../launcher/version.h")
"$make_install" --install "$install" --server "$server" --scenario behind-one-inc --mz-exe \
  --launcher-version "$version" >"$work/make-install.log" || { echo "FAIL: generator"; exit 1; }
cp "$launcher_exe" "$install/Launcher.exe"
# What the generator does not make: names beyond ASCII, an empty file, a file of several read
# blocks, and the browser's data folder, which the manifest leaves out.
mkdir -p "$install/Astrovance/Données" "$install/Launcher.exe.WebView2/EBWebView"
head -c 9437187 /dev/urandom >"$install/Astrovance/Données/Überflug ñ 東京.dat"
: >"$install/Astrovance/Données/vide.txt"
echo '{}' >"$install/Launcher.exe.WebView2/EBWebView/Local State"

start_service --download-dir "$server" --store "$work/store.json"

user_folder() {
  local user
  user=$(find "$ORV_WINEPREFIX/drive_c/users" -mindepth 1 -maxdepth 1 ! -name Public -print -quit)
  echo "$user/Documents/My Games/ORV"
}
log_has() { cat "$(user_folder)"/Logs/*.log 2>/dev/null | grep -qF -- "$1"; }
# Wine gives every top-level window an X window named by its title.
window() { xdotool search --name "^$1\$" 2>/dev/null | head -n1; }
shown() { [[ -n $(window "$1") ]]; }
ended() { ! kill -0 "$1" 2>/dev/null; }
# Without a window manager a Wine window has no focus for key presses: windows are clicked, at a
# point given relative to the window ($2, $3 may use WIDTH and HEIGHT), after raising it above any
# window that opened later. Clicks that come too early are lost, so they are repeated until
# program $4 ends.
click_until_ended() {
  local window=$1 x=$2 y=$3 pid=$4 attempt
  for attempt in 1 2 3 4 5; do
    eval "$(xdotool getwindowgeometry --shell "$window")" || return 1
    xdotool windowraise "$window"
    sleep 0.5
    xdotool mousemove $((X + x)) $((Y + y)) click 1
    wait_for 4 ended "$pid" && return 0
  done
  return 1
}
start_launcher() {
  (cd "$install" && exec "$wine_run" "$install/Launcher.exe" "$@") >>"$work/launcher.out" 2>&1 &
  launcher_pid=$!
}

# 1. -h checksums the installation, opens the manifest and says it is done; OK ends it. The first
#    start also makes the prefix.
start_launcher -h
if check "-h ends with its closing box" wait_for 180 shown ">ORV< Launcher"; then
  manifest="$(user_folder)/Hashes.ini"
  check "manifest written to the Wine user's documents" test -s "$manifest"
  check "manifest lists every file with its checksum" \
    python3 "$here/check_manifest.py" "$install" "$manifest"
  check "manifest opened" wait_for 20 shown "Hashes.ini - Notepad"
  xdotool windowraise "$(window ">ORV< Launcher")"
  sleep 0.5
  import -display "$DISPLAY" -window root "$artefacts/launcher-exe-hashing-done.png" 2>/dev/null
  # The box's one button sits centred at its foot.
  click_until_ended "$(window ">ORV< Launcher")" 'WIDTH / 2' 'HEIGHT - 20' "$launcher_pid"
fi
if wait_for 5 ended "$launcher_pid"; then
  wait "$launcher_pid"; status=$?
  check "-h ends with status 0 once its box is answered" test "$status" -eq 0
else
  fail "-h ends once its box is answered"
fi
check "no update question before hashing" log_has "Launcher is up to date."
check "hash mode logged" log_has "-h found - Hashing Install"
WINEPREFIX=$ORV_WINEPREFIX wineserver -k 2>/dev/null

# 2. Without WebView2Loader.dll or a runtime anywhere, the window paints why and closes on a click.
check "no WebView2 in the installation or the prefix" \
  test -z "$(find "$install" "$ORV_WINEPREFIX" -iname 'WebView2Loader.dll' -print -quit)"
start_launcher
check "window shown" wait_for 60 shown ">ORV< Launcher"
check "missing loader logged" wait_for 20 log_has "Failed to load WebView2Loader.dll - Error 126"
sleep 1
launcher_window=$(window ">ORV< Launcher")
if [[ -n $launcher_window ]]; then
  import -display "$DISPLAY" -window "$launcher_window" "$artefacts/launcher-exe-no-webview2.png"
  eval "$(xdotool getwindowgeometry --shell "$launcher_window")"
  check "window is 904 x 504" test "${WIDTH}x${HEIGHT}" = 904x504
  # Inside the rim: a light background with dark text on it, not an empty frame.
  ink=$(convert "$artefacts/launcher-exe-no-webview2.png" -crop "$((WIDTH - 40))x$((HEIGHT - 40))+20+20" \
    -colorspace Gray -threshold 50% -format '%[fx:round((1 - mean) * w * h)] %[fx:mean]' info:)
  check "notice painted (dark pixels, light share: $ink)" \
    awk -v dark="${ink% *}" -v light="${ink#* }" 'BEGIN { exit !(dark > 1000 && light > 0.9) }'
  click_until_ended "$launcher_window" 'WIDTH / 2' 'HEIGHT / 2' "$launcher_pid"
fi
if wait_for 5 ended "$launcher_pid"; then
  wait "$launcher_pid"; status=$?
  check "a click on the notice ends the launcher with status 0" test "$status" -eq 0
else
  fail "a click on the notice ends the launcher"
fi

echo "$passes passed, $failures failed, in $SECONDS s"
if ((failures)); then
  echo "--- launcher output"; tail -20 "$work/launcher.out"
  echo "--- launcher logs"; cat "$(user_folder)"/Logs/*.log 2>/dev/null | tail -40
  echo "--- service"; tail -10 "$work/service.log"
fi
((failures == 0))
