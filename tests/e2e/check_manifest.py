#!/usr/bin/env python3
"""Checks the manifest the launcher wrote (Hashes.ini) against the installation it describes, with
checksums taken here: one line "<path below the root, backslashes> = <CRC-32, lower-case hex
without leading zeros>" per file, in any order, for every file but the launcher's own and the
update leftovers it leaves out. Prints what differs; exit status 1 when anything does."""
import os
import sys
from pathlib import Path

from check_install import crc

# Any path with one of these names as a folder or file is left out of the manifest.
EXCLUDED = {
    "hashes.ini", "report.log", "libcurl.dll", "archive.dll", "zlib1.dll", "ORV.zip", "lz4.dll",
    "liblzma.dll", "zstd.dll", "libcrypto-3.dll", "bz2.dll", "WebView2Loader.dll", "Launcher.exe",
    "Launcher.exe.WebView2", "packages", ".svn", "Release", ".vs",
}


def expected_lines(root):
    lines = {}
    for folder, _, files in os.walk(root):
        for name in files:
            relative = Path(folder, name).relative_to(root)
            if EXCLUDED.isdisjoint(relative.parts):
                lines["\\".join(relative.parts)] = crc(Path(folder, name))
    return lines


def main(root, manifest):
    written = Path(manifest).read_bytes().decode("utf-8").splitlines()
    expected = expected_lines(Path(root))
    problems, seen = [], set()
    for line in written:
        path, separator, checksum = line.partition(" = ")
        if not separator:
            problems.append(f"not a manifest line: {line!r}")
        elif path in seen:
            problems.append(f"listed twice: {path}")
        elif path not in expected:
            problems.append(f"not a file to list: {path}")
        elif checksum != expected[path]:
            problems.append(f"{path}: {checksum}, but the file's checksum is {expected[path]}")
        seen.add(path)
    problems += [f"missing: {path}" for path in sorted(expected.keys() - seen)]
    for problem in problems:
        print(problem)
    print(f"{len(expected)} files expected, {len(written)} lines, {len(problems)} problems")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main(*sys.argv[1:3]))
