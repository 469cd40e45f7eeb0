#!/usr/bin/env bash
# Publishing speed against `zip -r` over the same tree, measured in the same
# run (run by hand; not part of the tests):
#
#   bench/publish/run-bench.sh BUILD_DIR [WORK_DIR]
#
# Makes a tree of 2,000 files and 1 GB (half compressible text, half
# incompressible bytes, sizes from 1 kB to 2 MB) in WORK_DIR (default a new
# folder under /tmp, removed at the end), reads it once so both runs start
# from a warm cache, then times `zip -r -q` over the tree and a full
# `skyvane-publish release` of it (archives, directory file, self-check),
# each twice, keeping the better time. Goal: publish <= 1.5 x zip.
set -euo pipefail
BUILD=$(cd "${1:-build}" && pwd)
WORK=${2:-}
CLEAN=0
if [ -z "$WORK" ]; then WORK=$(mktemp -d /tmp/skyvane-bench-publish-XXXXXX); CLEAN=1; fi
trap '[ "$CLEAN" = 1 ] && rm -rf "$WORK"' EXIT
command -v zip >/dev/null || { echo "zip is not installed (make deps installs it)"; exit 1; }

if [ ! -d "$WORK/tree/Skyvane" ]; then
  python3 - "$WORK/tree/Skyvane" <<'PY'
import os, random, sys
top = sys.argv[1]
r = random.Random(7)
words = "wing flap rudder gear prop fuel runway beacon heading vector".split()
total, n = 0, 0
sizes = [r.randint(1_000, 1_000_000) for _ in range(2000)]
scale = 1_000_000_000 / sum(sizes)
for i, s in enumerate(sizes):
    size = int(s * scale)
    folder = os.path.join(top, "Folder %02d" % (i % 40), "Sub %d" % (i % 7))
    os.makedirs(folder, exist_ok=True)
    if i % 2:
        data = r.randbytes(size)
    else:
        line = " ".join(r.choice(words) for _ in range(12)) + " %d\n"
        parts, k, m = [], 0, 0
        while m < size:
            piece = line % k
            parts.append(piece); m += len(piece); k += 1
        data = "".join(parts).encode()[:size]
    with open(os.path.join(folder, "file %04d.dat" % i), "wb") as f:
        f.write(data)
    total += size; n += 1
print("tree: %d files, %.2f GB" % (n, total / 1e9))
PY
fi
find "$WORK/tree" -type f -exec cat {} + >/dev/null  # warm cache

best() {  # best COMMAND... : the better of two runs, in seconds
  python3 - "$WORK/out" "$@" <<'PY'
import shutil, subprocess, sys, time, os
out, cmd = sys.argv[1], sys.argv[2:]
times = []
for _ in range(2):
    shutil.rmtree(out, ignore_errors=True); os.makedirs(out)
    t0 = time.monotonic()
    subprocess.run(cmd, check=True, stdout=subprocess.DEVNULL)
    times.append(time.monotonic() - t0)
print("%.2f" % min(times))
PY
}
cd "$WORK/tree"
ZIP=$(best zip -r -q "$WORK/out/all.zip" Skyvane)
PUB=$(best "$BUILD/skyvane-publish" release --tree "$WORK/tree/Skyvane" --version Bench --out "$WORK/out")
echo "zip -r:          ${ZIP} s"
echo "skyvane-publish: ${PUB} s  ($(nproc) processors)"
echo "ratio publish / zip: $(python3 -c "print('%.2f' % ($PUB / $ZIP))")  (goal <= 1.5)"
