#!/usr/bin/env bash
# End to end with a launcher built with the test key: the update the team signed is installed;
# a file changed after signing is refused. A forger keeps the file's CRC-32, which the manifest
# lists, so only the signed strong hash can tell; a changed version file leaves the installation
# exactly as it was.
#   launcher_signed_e2e.sh LAUNCHER SERVICE MAKE_INSTALL PUBLISH SECRET_KEY
set -uo pipefail

launcher=$1 service=$2 make_install=$3 publish=$4 key=$5
here=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d /tmp/orv-signed-e2e.XXXXXX)
source "$here/e2e_common.sh"
start_xvfb

lay_out_session "$work/home"
game_files() { (cd "$install" && find Astrovance -type f -print0 | sort -z | xargs -0 md5sum); }

"$make_install" --install "$install" --server "$server" --scenario behind-one-inc \
  --client-settings "$settings" >"$work/make-install.log" || { echo "FAIL: generator"; exit 1; }
"$publish" sign --key "$key" "$server" >"$work/sign.log" 2>&1 || { echo "FAIL: sign"; exit 1; }
check "check finds every signature in place" \
  "$publish" check --public-key "${key%.sec}.pub" "$server" >"$work/check.log"

# The inc update's folder and its first listed file.
inc=$(sed -n 's/^[^=]*= *inc *, *\(.*\)\/hashes.ini.*/\1/p' "$server/version.ini" | tail -1)
victim=$(grep -m1 '=' "$server$inc/hashes.ini" | sed 's/ *=.*//; s/\\/\//g')
cp -a "$server" "$work/forged"
python3 - "$work/forged$inc/$victim" <<'PY'
import sys, zlib
path = sys.argv[1]
data = open(path, 'rb').read()
target, changed = zlib.crc32(data), data + b'changed after signing'
# CRC-32 is affine in its input: four appended bytes that bring back the old value follow from
# 32 linear equations.
base = zlib.crc32(changed + bytes(4))
columns = [zlib.crc32(changed + (1 << bit).to_bytes(4, 'little')) ^ base for bit in range(32)]
rows, want = [(columns, 0)], target ^ base
basis = []  # (pivot bit of the crc, column value, bits of x)
for bit, column in enumerate(columns):
    x = 1 << bit
    for pivot, value, bits in basis:
        if column >> pivot & 1: column ^= value; x ^= bits
    if column: basis.append(((column & -column).bit_length() - 1, column, x))
x = 0
for pivot, value, bits in basis:
    if want >> pivot & 1: want ^= value; x ^= bits
assert want == 0
forged = changed + x.to_bytes(4, 'little')
assert zlib.crc32(forged) == target
open(path, 'wb').write(forged)
PY
cp -a "$work/forged" "$work/replayed"
printf '; changed after signing\n' >>"$work/replayed/version.ini"

run_launcher() {  # DOWNLOAD_DIR: one start against it, until the client page, then close
  start_service --download-dir "$1" --store "$work/store.json" --test-driver "$driver"
  : >"$driver/seen.log"; : >"$driver/commands"
  (cd "$install" && HOME=$home exec "$launcher") >"$work/launcher.out" 2>&1 &
  launcher_pid=$!
  pids+=("$launcher_pid")
  wait_for 90 seen "/launcher_client/index.php loaded" || { echo "no client page"; tail -n 25 "$work/service.log" "$user_folder"/Logs/*.log; exit 1; }
  echo close >>"$driver/commands"
  wait_for 20 bash -c "! kill -0 $launcher_pid 2>/dev/null"
  kill "$service_pid" 2>/dev/null; wait "$service_pid" 2>/dev/null
}

before=$(game_files)
run_launcher "$work/replayed"
check "a changed version file is refused" log_has "Signature refused for http://127.0.0.1:47810/version.ini"
check "... and the installation left as it was" test "$(game_files)" = "$before"
check "... and no version recorded" test "$(ini "$settings" CLIENT Version)" = "1.0"

victim_before=$(md5sum 2>/dev/null <"$install/Astrovance/$victim")
run_launcher "$work/forged"
check "a file changed after signing is refused, its checksum kept" \
  log_has "the file does not match its signed hash"
check "... and not installed" test "$(md5sum 2>/dev/null <"$install/Astrovance/$victim")" = "$victim_before"
check "... and the update not recorded" test "$(ini "$settings" CLIENT Version)" = "1.0"

refusals() { cat "$user_folder"/Logs/*.log | grep -c 'Signature refused'; }
refused_before=$(refusals)
run_launcher "$server"
check "the signed update is installed" python3 "$here/check_install.py" "$install" "$server"
check "... and recorded" test "$(ini "$settings" CLIENT Version)" = "1.1"
check "... without a refusal" test "$(refusals)" -eq "$refused_before"

echo "$passes passed, $failures failed"
