#!/usr/bin/env python3
"""The demonstration's simulator trees, and the check of an installed tree.

  demo-tree.py make A|B FOLDER     writes release A's or B's tree into FOLDER
                                   (FOLDER is the installation's top folder)
  demo-tree.py check TREE DEST OS  compares the installed DEST with TREE,
                                   counting only files for system OS (1 mac,
                                   2 Windows, 3 Linux) and for every system
  demo-tree.py rules FILE          writes the publisher's rules file

Contents are deterministic (seeded), so two runs make the same trees. Release
A holds about 300 files and 100 MB; release B changes, adds and removes some.
"""
import hashlib
import os
import random
import sys

# Files that belong to one system, as the rules file below says.
SYSTEM_OF = [
    ("Skyvane.exe", 2),
    ("Resources/add-ons/windows-64/", 2),
    ("Skyvane-x86_64", 3),
    ("Resources/add-ons/linux-64/", 3),
    ("Skyvane.app/", 1),
    ("Resources/add-ons/mac-64/", 1),
]

RULES = """# Which system each file belongs to (os=1 macOS, 2 Windows, 3 Linux; default 0: every system)
os=2 *.exe
os=2 Resources/add-ons/windows-64/*
os=3 Skyvane-x86_64
os=3 Resources/add-ons/linux-64/*
os=1 Skyvane.app/**
os=1 Resources/add-ons/mac-64/*
"""

WORDS = ("wing flap aileron rudder elevator trim gear strut prop spinner cowl fuel tank pump valve "
         "runway taxiway apron beacon localizer glideslope altimeter heading bearing vector").split()


def text(seed, size):
    """Compressible text: numbered lines of words and figures."""
    r = random.Random(seed)
    lines, n, i = [], 0, 0
    while n < size:
        line = "%d %s %s %.3f %.3f\n" % (i, r.choice(WORDS), r.choice(WORDS), r.uniform(-180, 180), r.uniform(0, 4e4))
        lines.append(line)
        n += len(line)
        i += 1
    return "".join(lines).encode()[:size]


def noise(seed, size):
    """Incompressible bytes (textures, sounds, programs)."""
    return random.Random(seed).randbytes(size)


def release_a():
    """Relative path -> (kind, seed, size)."""
    files = {}
    seed = 1000

    def add(path, kind, size):
        nonlocal seed
        seed += 1
        files[path] = (kind, seed, size)

    aircraft = ["Velmora Works/Kestrel 2", "Velmora Works/Harrow 40", "Brightwing/Pipit Tourer",
                "Brightwing/Marten SE", "Ostrand Air/Longreach 8", "Ostrand Air/Corvid 300",
                "Rotorcraft/Whirl 3", "Gliders/Drift 21"]
    for a in aircraft:
        name = a.split("/")[-1]
        add("Craft/%s/%s.craft" % (a, name), "text", 1_500_000)
        for liv in ("Default", "Red Stripe", "Blue Sky"):
            for part in ("body", "wings"):
                add("Craft/%s/paint schemes/%s/%s.png" % (a, liv, part), "noise", 600_000)
        for k in range(10):
            add("Craft/%s/parts/part_%02d.shape" % (a, k), "text", 100_000)
        add("Craft/%s/sounds/engine.wav" % a, "noise", 500_000)
        add("Craft/%s/sounds/wind.wav" % a, "noise", 500_000)
    # The wing sections live in "Airfoils", one of the four folders (with
    # "Instructions", "Output" and "Resources") by which the installer
    # recognises a simulator tree: the update then renames the folder.
    for k in range(60):
        add("Airfoils/Section %04d.wing" % (k * 12 + 1), "text", 5_000)
    for s in ("Harbour Hills", "Tarnvale Pass"):
        add("Scenery Packs/%s/field data/fields.txt" % s, "text", 2_000_000)
        for k in range(10):
            add("Scenery Packs/%s/field data/tile %03d.terrain" % (s, 120 + k), "noise", 1_000_000)
        for k in range(15):
            add("Scenery Packs/%s/textures/ground_%02d.dds" % (s, k), "noise", 300_000)
    for k in range(10):
        add("Resources/shared data/beacons_%d.txt" % k, "text", 500_000)
    add("Resources/shared data/empty marker.txt", "text", 0)
    for f in ("Sans", "Sans Bold", "Mono", "Serif"):
        add("Resources/fonts/%s.ttf" % f, "noise", 200_000)
    for k in range(20):
        add("Resources/sounds/alert_%02d.wav" % k, "noise", 100_000)
    for system in ("windows-64", "linux-64", "mac-64"):
        for p in ("autopilot", "weather", "atc"):
            add("Resources/add-ons/%s/%s.plug" % (system, p), "noise", 200_000)
    add("Skyvane.exe", "noise", 3_000_000)
    add("Skyvane-x86_64", "noise", 3_000_000)
    add("Skyvane.app/Contents/MacOS/Skyvane", "noise", 3_000_000)
    add("Skyvane.app/Contents/Info.plist", "text", 2_000)
    add("Instructions/Skyvane Manual.pdf", "noise", 1_000_000)
    add("Instructions/Read me first.txt", "text", 3_000)
    return files


def release_b():
    files = dict(release_a())
    paths = sorted(files)
    # Changed: every 15th file (new seed, slightly new size), and the Linux program.
    for p in paths[::15] + ["Skyvane-x86_64", "Resources/add-ons/linux-64/weather.plug"]:
        kind, seed, size = files[p]
        files[p] = (kind, seed + 50_000, size + 17 if size else 0)
    # Removed: some wing sections and a paint scheme.
    for p in [q for q in paths if q.startswith("Airfoils/Section 06")] + \
             [q for q in paths if "/paint schemes/Blue Sky/" in q and "Kestrel" in q]:
        del files[p]
    # Added: a new craft and a new scenery texture set.
    seed = 90_000
    for k in range(6):
        files["Craft/Velmora Works/Wren 5/parts/part_%02d.shape" % k] = ("text", seed + k, 80_000)
    files["Craft/Velmora Works/Wren 5/Wren 5.craft"] = ("text", seed + 10, 1_200_000)
    for k in range(5):
        files["Scenery Packs/Harbour Hills/textures/new_%02d.dds" % k] = ("noise", seed + 20 + k, 300_000)
    return files


def make(which, top):
    files = release_a() if which == "A" else release_b()
    for rel, (kind, seed, size) in sorted(files.items()):
        path = os.path.join(top, rel)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as f:
            f.write(text(seed, size) if kind == "text" else noise(seed, size))
        if rel == "Skyvane-x86_64":
            os.chmod(path, 0o755)
    total = sum(size for _, _, size in files.values())
    print("  %d files, %.1f MB" % (len(files), total / 1e6))


def system_of(rel):
    for prefix, system in SYSTEM_OF:
        if rel == prefix or (prefix.endswith("/") and rel.startswith(prefix)):
            return system
    return 0


def digest_tree(top):
    out = {}
    for folder, _, names in os.walk(top):
        for n in names:
            path = os.path.join(folder, n)
            with open(path, "rb") as f:
                out[os.path.relpath(path, top)] = hashlib.md5(f.read()).hexdigest()
    return out


def check(tree, dest, system):
    want = {p: d for p, d in digest_tree(tree).items() if system_of(p) in (0, system)}
    have = digest_tree(dest)
    missing = sorted(set(want) - set(have))
    extra = sorted(set(have) - set(want))
    wrong = sorted(p for p in set(want) & set(have) if want[p] != have[p])
    # Folders that the release no longer has must be gone once emptied; the
    # installer's own fixed folders stay.
    fixed = {"Output", "Output/FMS plans", "Output/logbooks", "Output/movies", "Output/situations",
             "Resources", "Resources/preferences"}
    tree_folders = {os.path.relpath(f, tree) for f, _, _ in os.walk(tree)}
    left = sorted(os.path.relpath(f, dest) for f, dirs, names in os.walk(dest)
                  if not dirs and not names and os.path.relpath(f, dest) not in tree_folders | fixed)
    extra += ["%s/ (empty folder)" % f for f in left]
    for label, items in (("missing", missing), ("not in the release", extra), ("different", wrong)):
        for p in items[:10]:
            print("  %s: %s" % (label, p))
    if missing or extra or wrong:
        print("  the installed tree differs from the release (%d missing, %d extra, %d different)"
              % (len(missing), len(extra), len(wrong)))
        return 1
    print("  the installed tree matches the release: %d files, identical contents, no files or folders"
          " of other releases or systems" % len(want))
    return 0


def main(argv):
    if len(argv) == 3 and argv[0] == "make" and argv[1] in ("A", "B"):
        make(argv[1], argv[2])
        return 0
    if len(argv) == 4 and argv[0] == "check":
        return check(argv[1], argv[2], int(argv[3]))
    if len(argv) == 2 and argv[0] == "rules":
        with open(argv[1], "w") as f:
            f.write(RULES)
        return 0
    print(__doc__, file=sys.stderr)
    return 2


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
