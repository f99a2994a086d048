#!/usr/bin/env bash
# End to end: the native Linux Launcher with a game that Wine runs. In a 32-bit Wine prefix whose
# registry holds the game's key, the launcher syncs an account whose name has quotes, blanks and
# characters beyond ASCII (under LC_ALL=C, where Wine reads command lines as ASCII), then starts
# the stand-in game (a 32-bit Windows program), which notes what its registry key and its
# documents' ClientSettings.ini hold. Both must carry the synced account. The service's ports are
# fixed: run this under `flock /tmp/orv-ports.lock`.
#   launcher_wine_game.sh LAUNCHER SERVICE MAKE_INSTALL STAND_IN_GAME_EXE
set -uo pipefail

launcher=$(realpath "$1") service=$(realpath "$2") make_install=$(realpath "$3") game_exe=$(realpath "$4")
here=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d /tmp/orv-wine-game.XXXXXX)
source "$here/e2e_common.sh"
cleanup_more() { wineserver -k 2>/dev/null; }
start_xvfb

if [[ ! -x /usr/lib/wine/wine ]]; then
  echo "FAIL: 32-bit Wine (wine32:i386) is missing: run scripts/setup --windows"
  exit 1
fi
# Wine as a player has it: the prefix's documents folder is a link to the one in HOME.
export HOME=$work/home WINEPREFIX=$work/prefix WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml,winedbg.exe="
mkdir -p "$HOME/Documents"
key='HKCU\Software\Microsoft\Microsoft Games\Astrovance\1.0'
wine reg add "$key" /f >"$work/prefix.log" 2>&1
wineserver -w
lay_out_session "$HOME"
"$make_install" --install "$install" --server "$server" --scenario behind-one-inc --mz-exe \
  --client-settings "$settings" >"$work/make-install.log" || { echo "FAIL: generator"; exit 1; }

# The service knows this client's token with the account name below.
name='Pilot "Ärger" 東京  a\'
sed -i '/^\[CLIENT\]/a token=winee2e' "$settings"
python3 -c 'import json, sys
json.dump({"secret": "5ec7e7", "clients": {"winee2e": {"accountName": sys.argv[1]}}},
          open(sys.argv[2], "w"))' "$name" "$work/store.json"
start_service --download-dir "$server" --store "$work/store.json" --test-driver "$driver"

account_synced() { test "$(ini "$settings" MPID MPAccountName)" = "$name"; }

(cd "$install" && LC_ALL=C exec "$launcher") >"$work/launcher.out" 2>&1 &
launcher_pid=$!
pids+=("$launcher_pid")
check "client page shown after the patch run" wait_for 120 seen "/launcher_client/index.php loaded"
check "account synced into the settings" wait_for 60 account_synced
# The game is the stand-in from here on: the update brought a game executable of its own.
cp "$game_exe" "$install/Astrovance/EXE/Astrovance.exe"
echo StartAstrovance >>"$driver/commands"
check "game started through Wine" wait_for 60 test -s "$install/game-saw.txt"
sleep 1
signature=$(ini "$settings" MPID MPAccountNameSig)
{ printf 'MPAccountName=%s\nMPAccountNameSig=%s\n' "$name" "$signature"; cat "$settings"; } \
  >"$work/expected.txt"
check "the game's registry key and documents hold the synced account" \
  cmp "$work/expected.txt" "$install/game-saw.txt"
check "no folder disagreement logged" bash -c "! grep -qF 'The game reads its settings' '$user_folder'/Logs/*.log"
check "no registry store of the launcher's own" test ! -e "$user_folder/GameRegistry.ini"

echo close >>"$driver/commands"
check "close ends the launcher" wait_for 20 bash -c "! kill -0 $launcher_pid 2>/dev/null"

echo "$passes passed, $failures failed, in $SECONDS s"
if ((failures)); then
  echo "--- launcher output"; tail -20 "$work/launcher.out"
  echo "--- launcher logs"; tail -n 40 "$user_folder"/Logs/*.log
  echo "--- the game saw"; cat "$install/game-saw.txt" 2>/dev/null
  echo "--- expected"; cat "$work/expected.txt" 2>/dev/null
fi
((failures == 0))
