#!/usr/bin/env python3
"""Helpers of the installer benchmark (run-bench.sh):

  helper.py make-tree TOP FILES BYTES   incompressible files in a few dozen folders
  helper.py make-files TOP COUNT MIN MAX SEED [text]
                                        COUNT incompressible files of MIN to MAX bytes each
                                        (uniformly drawn) in 36 folders; with "text", lines
                                        of words and numbers that compress about 3:1, as
                                        most of a simulator's data does
  helper.py change TOP FRACTION SEED LIST
                                        gives that fraction of the files below TOP new contents
                                        (same sizes) and writes their paths, one a line, to LIST
  helper.py stats SECONDS...            "min <s> median <s>" of the numbers given
  helper.py urls WWW RELEASE_DIR HOST LIST [PATHS]
                                        aria2c input file: one URL per archive of the
                                        release, each with its place below the output folder;
                                        with PATHS (a file from `change`), only those files
  helper.py extract ARCHIVES OUT        extracts every *.zip below ARCHIVES into OUT
                                        (same relative folder), in this one process
  helper.py same A B                    whether two trees hold the same files, byte for byte
  helper.py time OUT PIDS -- CMD...     runs CMD (output to OUT) and prints its wall time, the
                                        processor time of CMD and its children, and that of
                                        the processes PIDS (comma-separated: the web server)
                                        over the same span, in seconds; fails as CMD fails
"""
import filecmp
import os
import random
import resource
import subprocess
import sys
import time
import urllib.parse
import zipfile


def make_tree(top, count, total):
    r = random.Random(11)
    # Sizes from 1 kB to about 5x the mean, scaled so that they add up to the total.
    raw = [r.randint(1_000, 500_000) for _ in range(count)]
    scale = total / sum(raw)
    sizes = [max(1, int(s * scale)) for s in raw]
    sizes[-1] += total - sum(sizes)
    done = 0
    for i, size in enumerate(sizes):
        # 12 areas x 3 parts = 36 folders, names with spaces as real trees have.
        folder = os.path.join(top, "Area %02d" % (i % 12), "Part %d" % (i // 12 % 3))
        os.makedirs(folder, exist_ok=True)
        with open(os.path.join(folder, "object %04d.dat" % i), "wb") as f:
            f.write(os.urandom(size))
        done += size
    print("tree: %d files, %.0f MB in 36 folders" % (count, done / 1e6))


def write_random(path, size, r):
    with open(path, "wb") as f:
        left = size
        while left > 0:
            n = min(left, 16 << 20)
            f.write(r.randbytes(n))
            left -= n


def tree_paths(top):
    out = []
    for folder, _, files in os.walk(top):
        for name in files:
            out.append(os.path.relpath(os.path.join(folder, name), top))
    return sorted(out)


WORDS = ("runway heading flap trim gear elevator aileron rudder throttle mixture pitot static vane "
         "beacon strobe taxi light panel switch gauge needle frame cell wing tail fin spar rib").split()


def write_text(path, size, r):
    lines = []
    n = 0
    while n < size:
        line = "%s %d.%03d %s %s %d\n" % (r.choice(WORDS), r.randint(0, 9999), r.randint(0, 999),
                                        r.choice(WORDS), r.choice(WORDS), r.randint(-180, 180))
        lines.append(line)
        n += len(line)
    with open(path, "w") as f:
        f.write("".join(lines)[:size])


def make_files(top, count, low, high, seed, kind="random"):
    r = random.Random(seed)
    done = 0
    for i in range(count):
        folder = os.path.join(top, "Area %02d" % (i % 12), "Part %d" % (i // 12 % 3))
        os.makedirs(folder, exist_ok=True)
        size = r.randint(low, high)
        if kind == "text":
            write_text(os.path.join(folder, "object %05d.txt" % i), size, r)
        else:
            write_random(os.path.join(folder, "object %05d.dat" % i), size, r)
        done += size
    print("tree: %d files, %.1f MB in %d folders" % (count, done / 1e6, min(count, 36)))


def change(top, fraction, seed, out_list):
    r = random.Random(seed)
    paths = tree_paths(top)
    chosen = sorted(r.sample(paths, max(1, round(len(paths) * fraction))))
    for p in chosen:
        full = os.path.join(top, p)
        write_random(full, os.path.getsize(full), r)
    with open(out_list, "w") as f:
        for p in chosen:
            f.write(p + "\n")
    print("changed %d of %d files" % (len(chosen), len(paths)))


def stats(values):
    v = sorted(float(x) for x in values)
    n = len(v)
    median = v[n // 2] if n % 2 else (v[n // 2 - 1] + v[n // 2]) / 2
    print("min %.3f median %.3f" % (v[0], median))


def urls(www, release, host, out_list, only=None):
    wanted = None
    if only:
        with open(only) as f:
            wanted = {"Skyvane/" + line.rstrip("\n") + ".zip" for line in f if line.strip()}
    n = 0
    with open(out_list, "w") as out:
        for folder, _, files in sorted(os.walk(release)):
            for name in sorted(files):
                if not name.endswith(".zip") or name == "directory.txt.zip":
                    continue
                path = os.path.join(folder, name)
                rel_www = os.path.relpath(path, www)
                rel_release = os.path.relpath(path, release)
                if wanted is not None and rel_release not in wanted:
                    continue
                out.write("http://%s/%s\n  out=%s\n" % (host, urllib.parse.quote(rel_www), rel_release))
                n += 1
    print("%d archives listed" % n)


def extract(archives, out):
    n = 0
    for folder, _, files in os.walk(archives):
        rel = os.path.relpath(folder, archives)
        for name in files:
            if not name.endswith(".zip"):
                continue
            with zipfile.ZipFile(os.path.join(folder, name)) as z:
                z.extractall(os.path.join(out, rel))
            n += 1
    if n == 0:
        sys.exit("no archives found in " + archives)


def same(a, b):
    def listing(top):
        got = set()
        for folder, _, files in os.walk(top):
            for name in files:
                got.add(os.path.relpath(os.path.join(folder, name), top))
        return got

    la, lb = listing(a), listing(b)
    if la != lb:
        print("only in %s: %s" % (a, sorted(la - lb)[:5]))
        print("only in %s: %s" % (b, sorted(lb - la)[:5]))
        sys.exit(1)
    bad = [p for p in sorted(la) if not filecmp.cmp(os.path.join(a, p), os.path.join(b, p), shallow=False)]
    if bad:
        print("%d files differ, e.g. %s" % (len(bad), bad[:5]))
        sys.exit(1)
    print("same %d files" % len(la))


def process_cpu(pids):
    """Processor seconds used so far by the processes PIDS (those still running)."""
    total = 0
    tick = os.sysconf("SC_CLK_TCK")
    for pid in pids:
        try:
            with open("/proc/%s/stat" % pid) as f:
                fields = f.read().rsplit(")", 1)[1].split()
        except OSError:
            continue
        total += (int(fields[11]) + int(fields[12])) / tick  # utime, stime
    return total


def time_command(out, pids, cmd):
    pids = [p for p in pids.split(",") if p]
    before = resource.getrusage(resource.RUSAGE_CHILDREN)
    server_before = process_cpu(pids)
    t0 = time.monotonic()
    with open(out, "ab") as f:
        status = subprocess.run(cmd, stdout=f, stderr=subprocess.STDOUT).returncode
    wall = time.monotonic() - t0
    after = resource.getrusage(resource.RUSAGE_CHILDREN)
    cpu = (after.ru_utime - before.ru_utime) + (after.ru_stime - before.ru_stime)
    print("%.3f %.3f %.3f" % (wall, cpu, process_cpu(pids) - server_before))
    sys.exit(status)


def main():
    cmd, args = sys.argv[1], sys.argv[2:]
    if cmd == "make-tree":
        make_tree(args[0], int(args[1]), int(args[2]))
    elif cmd == "make-files":
        make_files(args[0], int(args[1]), int(args[2]), int(args[3]), int(args[4]), *args[5:6])
    elif cmd == "change":
        change(args[0], float(args[1]), int(args[2]), args[3])
    elif cmd == "stats":
        stats(args)
    elif cmd == "urls":
        urls(*args)
    elif cmd == "extract":
        extract(*args)
    elif cmd == "same":
        same(*args)
    elif cmd == "time" and len(args) > 3 and args[2] == "--":
        time_command(args[0], args[1], args[3:])
    else:
        sys.exit(__doc__)


if __name__ == "__main__":
    main()
