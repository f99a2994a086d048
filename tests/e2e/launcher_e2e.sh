#!/usr/bin/env bash
# End to end: the real Launcher in WebKitGTK under Xvfb against orv-service and generated data.
# Checks only what a player or the files show. Screenshots go to the artefact folder.
#   launcher_e2e.sh LAUNCHER SERVICE MAKE_INSTALL ARTEFACTS
set -uo pipefail

launcher=$1 service=$2 make_install=$3 artefacts=$4
here=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d /tmp/orv-e2e.XXXXXX)
mkdir -p "$artefacts"
source "$here/e2e_common.sh"
start_xvfb

lay_out_session "$work/home"

"$make_install" --install "$install" --server "$server" --scenario behind-one-inc \
  --client-settings "$settings" >"$work/make-install.log" || { echo "FAIL: generator"; exit 1; }

start_service --download-dir "$server" --store "$work/store.json" --test-driver "$driver" \
  --rate-limit 2048

screenshot() { import -display "$DISPLAY" -window root "$artefacts/$1.png" 2>/dev/null; }
command() { echo "$1" >>"$driver/commands"; }

# The desktop's browser: a stand-in xdg-open first on the launcher's PATH notes what it is given.
mkdir -p "$work/bin"
cat >"$work/bin/xdg-open" <<EOF
#!/bin/sh
printf '%s\n' "\$1" >>"$work/opened"
EOF
chmod +x "$work/bin/xdg-open"

start_launcher() {
  (cd "$install" && HOME=$home PATH="$work/bin:$PATH" exec "$launcher" "$@") \
    >"$work/launcher.out" 2>&1 &
  launcher_pid=$!
  pids+=("$launcher_pid")
}

# 1. A first start one update behind ends on the client page with the installation current.
start_launcher
# Downloads are slowed to 2 MiB/s, so the patcher page can be seen at work.
if wait_for 30 seen '"newText": "STEP [0-9]*/[0-9]* - Patching'; then
  sleep 1
  screenshot patcher
fi
check "client page shown after the patch run" wait_for 60 seen "/launcher_client/index.php loaded"
check "settings and account synced" wait_for 20 log_has "Launcher started - 0.0.2"
wait_for 20 test -n "$(ini "$settings" MPID MPAccountNameSig 2>/dev/null)"
sleep 1
screenshot client
check "installation equals the server's" python3 "$here/check_install.py" "$install" "$server"
check "installed version recorded" test "$(ini "$settings" CLIENT Version)" = "1.1"
check "token kept" grep -q "^token=[0-9a-f]\{1,8\}$" "$settings"
check "five settings stored" test "$(sed -n '/^\[Config\]/,/^\[/p' "$settings" | grep -c '=')" -eq 5
check "account stored" test -n "$(ini "$settings" MPID MPAccountName)"
check "game registry holds the account" \
  test "$(ini "$user_folder/GameRegistry.ini" 'Software\\Microsoft\\Microsoft Games\\Astrovance\\1.0' MPAccountName)" = \
       "$(ini "$settings" MPID MPAccountName)"

# Another site stays out of the launcher: a link to it goes to the desktop's browser while the
# client page stays (the next steps still drive it), and a frame of it inside the client page
# cannot command the launcher.
elsewhere=http://127.0.0.1:47810/elsewhere.html
cat >"$server/elsewhere.html" <<'EOF'
<!doctype html><title>Elsewhere</title><script>
try { window.webkit.messageHandlers.orv.postMessage('close'); } catch (error) {}
try { window.chrome.webview.postMessage('close'); } catch (error) {}
try { top.chrome.webview.postMessage('close'); } catch (error) {}
fetch('http://127.0.0.1:47811/e2e/seen',
      { method: 'POST', mode: 'no-cors', body: 'elsewhere posted close' });
</script>
EOF
command "navigate $elsewhere"
check "a link to another site opens in the desktop's browser" \
  wait_for 20 grep -qxF "$elsewhere" "$work/opened"
check "the link is logged" log_has "Opening in the browser: $elsewhere"
# The driver follows javascript: like any other address: here it adds the frame to the page.
add_frame="document.body.appendChild(document.createElement('iframe')).src='$elsewhere'"
command "navigate javascript:void($add_frame)"
check "a frame of another site ran in the client page" wait_for 20 seen "elsewhere posted close"
sleep 1
check "a frame of another site cannot close the launcher" kill -0 "$launcher_pid"

# 2. Start: the stand-in game runs with the parameters the settings select, and carries the
#    always-on patch.
game_log=$install/Astrovance/EXE/Astrovance.log
command StartAstrovance
check "game started" wait_for 20 test -s "$game_log"
expected_parameters=""
[ "$(ini "$settings" Config WindowMode)" = true ] && expected_parameters+=" -w"
[ "$(ini "$settings" Config AutoConnect)" = true ] && expected_parameters+=" -I127.0.0.1"
check "start parameters follow the settings" grep -qx -- "args: ${expected_parameters# }" "$game_log"
check "start parameters logged" log_has "Startparameters: $expected_parameters"
byte() { od -An -tx1 -j "$2" -N "$3" "$1" | tr -d ' \n'; }
exe=$install/Astrovance/EXE/Astrovance.exe
check "always-on patch applied" test "$(byte "$exe" 334 1)" = 2f
check "background patch follows the setting (off)" test "$(byte "$exe" 1779276 6)" = 83ff010f94c2
check "server list fetched" test -s "$user_folder/FavServer.ini"

# 3. The report pages through Hashes.ini.
command "navigate /patcher/report.html"
check "report page filled" wait_for 20 seen '/patcher/report.html \[{"id":1'
sleep 1
screenshot report
manifest_lines=$(grep -c . "$user_folder/Hashes.ini")
report_items=$(grep '/patcher/report.html \[' "$driver/seen.log" | tail -1 | grep -o '{"id":' | wc -l)
check "report lists every manifest line ($manifest_lines)" test "$report_items" -eq "$manifest_lines"

# 4. Repair deletes the game's executable folder and the next run restores it.
: >"$driver/seen.log"
command RepairAstrovance
check "repair shows the patcher page again" wait_for 20 seen "/patcher/ loaded"
check "repair logged" log_has "Repair Astrovance"
check "client page after the repair" wait_for 90 seen "/launcher_client/index.php loaded"
check "executable restored" python3 "$here/check_install.py" "$install" "$server"

# 5. Close ends the launcher with status 0, at once, also while the web service holds the client
#    page's sync for 30 seconds: nothing on the window's thread waits for it.
echo 30 >"$driver/hold-sync"
: >"$driver/seen.log"
command "navigate /launcher_client/index.php"
check "client page loaded with its sync held" wait_for 20 seen "/launcher_client/index.php loaded"
sleep 1
command close
closed_at=$(date +%s%N)
if wait_for 20 bash -c "! kill -0 $launcher_pid 2>/dev/null"; then
  took_ms=$((($(date +%s%N) - closed_at) / 1000000))
  check "close obeyed within a second while the sync is held (${took_ms} ms)" test "$took_ms" -le 1000
  wait "$launcher_pid"; status=$?
  check "close ends with status 0" test "$status" -eq 0
else
  fail "close ends the launcher"
fi
rm -f "$driver/hold-sync"

# 6. The native launcher is not updated by the Windows setup: a newer one on the server is named on
#    the page, where the player learns where to get it, and the start goes on.
sed -i '/^\[Launcher\]/,/^\[/ s/^Version = .*/Version = 0.0.9/' "$server/version.ini"
printf 'MZ stand-in setup\n' >"$server/ORV-Setup.exe"
rm -f "$install/ORV-Setup.exe"
: >"$driver/seen.log"
start_launcher
check "a newer launcher is named on the page" \
  wait_for 60 seen '"newText": " Verify Installation... Launcher 0.0.9 is available from http://127.0.0.1:47811."'
check "no setup fetched or asked for" test ! -e "$install/ORV-Setup.exe" -a -z "$(grep -l 'A new version' "$work/launcher.out")"

# 7. A second launcher in the same installation says so and ends, touching nothing.
settings_before=$(md5sum "$settings")
(cd "$install" && HOME=$home ORV_TEST_MESSAGE_ANSWER=yes timeout 30 "$launcher") >"$work/second.out" 2>&1
status=$?
check "a second launcher ends with status 0" test "$status" -eq 0
check "a second launcher tells the player" \
  grep -qF "The >ORV< Launcher is already running in this installation." "$work/second.out"
check "a second launcher leaves the settings alone" test "$(md5sum "$settings")" = "$settings_before"
check "the first launcher runs on" kill -0 "$launcher_pid"
command close
check "the first launcher ends on close" wait_for 20 bash -c "! kill -0 $launcher_pid 2>/dev/null"

# 8. -h under LC_ALL=C with a home folder named in UTF-8: the manifest lands under that very
#    name, and the closing box comes up from the hashing thread while the main thread waits.
accent_home=$work/Jos$'\xc3\xa9'
mkdir -p "$accent_home" "$work/bin"
printf '#!/bin/sh\nexit 0\n' >"$work/bin/xdg-open" && chmod +x "$work/bin/xdg-open"
(cd "$install" && HOME=$accent_home LC_ALL=C PATH=$work/bin:$PATH ORV_TEST_MESSAGE_ANSWER=ok \
  timeout 60 "$launcher" -h) >"$work/hash.out" 2>&1
status=$?
check "-h ends with status 0" test "$status" -eq 0
check "-h manifest under the UTF-8 home" \
  grep -q "Astrovance.exe = " "$accent_home/Documents/My Games/ORV/Hashes.ini"
check "-h wrote nothing beside that home" test "$(ls "$work" | grep -c '^Jos')" -eq 1
check "-h closing box shown in a window" \
  grep -q "^>ORV< Launcher: answered in its window" "$work/hash.out"

# 9. Without the browser library or the window module the player is told, and the launcher ends
#    with status 0. A copy of the module that names a WebKitGTK no system has stands for a system
#    without WebKitGTK; the message box module beside it shows the box, or without it, stderr.
modules=$(dirname "$launcher")
no_webkit=$work/modules-no-webkit no_modules=$work/modules-none
mkdir -p "$no_webkit" "$no_modules"
cp "$modules/orv-message-box.so" "$no_webkit/"
perl -pe 's/libwebkit2gtk-4\.1\.so\.0/libwebkit2gtk-0.0.so.0/g' "$modules/orv-launcher-window.so" \
  >"$no_webkit/orv-launcher-window.so"
for case in no_webkit no_modules; do
  : >"$work/$case.out"
  (cd "$install" && HOME=$home ORV_TEST_MODULE_DIR=${!case} ORV_TEST_MESSAGE_ANSWER=ok \
    timeout 60 "$launcher") >"$work/$case.out" 2>&1
  status=$?
  check "$case: ends with status 0" test "$status" -eq 0
done
check "no WebKitGTK: logged" log_has "WebKitGTK not found - libwebkit2gtk-0.0.so.0"
check "no WebKitGTK: the player is told" grep -q "WebKitGTK 4.1 is not installed" "$work/no_webkit.out"
check "no WebKitGTK: in a message box" \
  grep -q "^>ORV< Launcher: answered in its window" "$work/no_webkit.out"
check "no module: logged" log_has "Failed to load the launcher window - $no_modules/orv-launcher-window.so"
check "no module: told on stderr" grep -q "^>ORV< Launcher: The launcher window could not be loaded" \
  "$work/no_modules.out"
check "no module: no box without GTK's module" \
  bash -c "! grep -q 'answered in its window' '$work/no_modules.out'"

# 10. A download that fails for good while the window is open: the "Download Failed" box, raised on
#     a transfer's thread, is shown in a window (on GTK's thread) and the launcher ends with 0,
#     after ten attempts spread over about a minute.
kill "$service_pid" 2>/dev/null; wait "$service_pid" 2>/dev/null
home9=$work/home9
"$make_install" --install "$work/install9" --server "$work/server9" --scenario behind-one-inc \
  --client-settings "$home9/Documents/My Games/ORV/ClientSettings.ini" >/dev/null ||
  fail "generator for the failed download"
start_service --download-dir "$work/server9" --store "$work/store9.json" --rate-limit 128
(cd "$work/install9" && HOME=$home9 ORV_TEST_MESSAGE_ANSWER=ok exec "$launcher") \
  >"$work/failed.out" 2>&1 &
launcher_pid=$!
pids+=("$launcher_pid")
log9() { cat "$home9/Documents/My Games/ORV"/Logs/*.log 2>/dev/null | grep -qF -- "$1"; }
if wait_for 60 log9 "Patched: "; then
  kill "$service_pid" 2>/dev/null
  if wait_for 180 bash -c "! kill -0 $launcher_pid 2>/dev/null"; then
    wait "$launcher_pid"; status=$?
    check "failed download ends with status 0" test "$status" -eq 0
  else
    fail "failed download ends the launcher"
  fi
  check "Download Failed box shown in a window" \
    grep -q "^Download Failed: answered in its window" "$work/failed.out"
else
  fail "a download started"
fi

echo "$passes passed, $failures failed"
if ((failures)); then
  echo "--- launcher output"; tail -20 "$work/launcher.out"
  echo "--- service log"; tail -20 "$work/service.log"
  echo "--- page messages"; tail -20 "$driver/seen.log"
  echo "--- launcher logs"; tail -n 40 "$user_folder"/Logs/*.log
fi
exit $((failures > 0))
