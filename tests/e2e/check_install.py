#!/usr/bin/env python3
"""Checks an installation against the download server's updates, as the player would find it
after a complete patch run: every file of the newest manifests with its checksum, every file the
scripts deleted gone. Prints what differs; exit status 1 when anything does."""
import re
import sys
import zlib
from pathlib import Path


def manifest(path):
    pairs = {}
    for line in path.read_text(encoding="utf-8", errors="replace").splitlines():
        if not line or line[0] in ";#" or "=" not in line:
            continue
        key, value = line.split("=", 1)
        pairs[key.strip().replace("\\", "/")] = value.strip()
    return pairs


def crc(path):
    value = 0
    with open(path, "rb") as file:
        while block := file.read(1 << 20):
            value = zlib.crc32(block, value)
    return format(value, "x")


def main(install, server):
    install, server = Path(install), Path(server)
    version = (server / "version.ini").read_text()
    updates = re.findall(r"^\s*([^\s=;#\[]+)\s*=\s*(full|inc)\s*,\s*(\S+)\s*$", version, re.M)
    expected, deleted = {}, set()
    for _, kind, path in sorted(updates, key=lambda u: u[0].encode()):
        folder = server / path.lstrip("/").rsplit("/", 1)[0]
        for script in ("PrePatch.ini", "PostPatch.ini"):
            if (folder / script).exists():
                for line in (folder / script).read_text().splitlines():
                    if "DELETE =" in line:
                        target = line.split("DELETE =", 1)[1].strip().replace("\\", "/")
                        deleted.add(target)
                        expected.pop(target.removeprefix("Astrovance/"), None)
        expected.update(manifest(folder / "hashes.ini"))
    problems = []
    for key, value in expected.items():
        file = install / "Astrovance" / key
        if not file.is_file():
            problems.append(f"missing {file}")
        elif crc(file) != value:
            problems.append(f"checksum of {file} is {crc(file)}, not {value}")
    for target in deleted:
        if target.removeprefix("Astrovance/") not in expected and (install / target).exists():
            problems.append(f"{target} should have been deleted")
    for problem in problems:
        print(problem)
    print(f"{len(expected)} files checked, {len(problems)} problems")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main(*sys.argv[1:3]))
