#!/usr/bin/env python3
"""Times swug against dd and tail on a typical firmware file, a larger one and a large one.

Each round runs every tool once, in a shuffled order, on a warm page cache; the table gives the
median wall and CPU time (user + system) of each tool, its ratio to dd's, its median count of
minor page faults, and swug's peak resident memory. The images of all tools are checked to agree
byte for byte. With --baseline, another swug (an earlier build) runs beside them as "base".

    bench/bench.py [--large-mib 256] [--rounds 21] [--small-rounds 301] [--swug PATH]
                   [--baseline PATH]
"""

import argparse
import filecmp
import os
import random
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

REPO = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
MIB = 1 << 20


def tools(swug, baseline, sw, img):
    """Each tool's command line; tail writes through a shell's redirection, then syncs img."""
    commands = {
        # swug syncs its image before exit 0, so its peers sync theirs too.
        "dd": (["dd", f"if={sw}", f"of={img}", "bs=1M", "skip=128", "iflag=skip_bytes",
                "conv=fdatasync", "status=none"], None),
        "tail": (["sh", "-c", 'tail -c +129 "$0" > "$1" && sync -d "$1"', sw, img], None),
        "swug": ([swug, sw, img], None),
    }
    if baseline is not None:
        commands["base"] = ([baseline, sw, img], None)
    return commands


def run_once(argv, stdout_to):
    """Runs one command: (wall seconds, CPU seconds, minor page faults)."""
    actions = []
    if stdout_to is not None:
        actions.append((os.POSIX_SPAWN_OPEN, 1, stdout_to, os.O_WRONLY | os.O_CREAT | os.O_TRUNC,
                        0o644))
    start = time.perf_counter()
    pid = os.posix_spawn(argv[0] if os.path.isabs(argv[0]) else shutil.which(argv[0]), argv,
                         os.environ, file_actions=actions)
    _, status, usage = os.wait4(pid, 0)
    wall = time.perf_counter() - start
    if os.waitstatus_to_exitcode(status) != 0:
        sys.exit(f"{argv[0]} failed: {argv}")
    return wall, usage.ru_utime + usage.ru_stime, usage.ru_minflt


def peak_rss(argv):
    """Peak resident KiB, as /usr/bin/time reports it. A child's own ru_maxrss would not do: a
    child started by posix_spawn inherits this process's high-water mark."""
    out = subprocess.run(["/usr/bin/time", "-f", "%M"] + argv, check=True,
                         stderr=subprocess.PIPE, text=True).stderr
    return int(out.strip().splitlines()[-1])


def measure(swug, baseline, work, size, rounds):
    sw = os.path.join(work, f"sw-{size}.bin")
    with open(sw, "wb") as f:
        left = size
        while left > 0:
            f.write(os.urandom(min(left, 4 * MIB)))
            left -= min(left, 4 * MIB)
        # Written back now, so that the flusher does not compete with the timed runs.
        os.fsync(f.fileno())
    # One run each, which also warms the page cache, to check that the images agree.
    imgs = {}
    for name in tools(swug, baseline, sw, "").keys():
        imgs[name] = os.path.join(work, f"check-{name}.bin")
        run_once(*tools(swug, baseline, sw, imgs[name])[name])
    for name, img in imgs.items():
        if not filecmp.cmp(imgs["dd"], img, shallow=False):
            sys.exit(f"{name}'s image differs from dd's at {size} bytes")
    for img in imgs.values():
        os.unlink(img)

    img = os.path.join(work, "img.bin")
    commands = tools(swug, baseline, sw, img)
    names = list(commands)
    samples = {name: [] for name in names}
    # A shuffled order, the same in every run: in a fixed rotation each tool would mostly follow
    # the same other tool, and pay for what that one left behind.
    order = random.Random(size)
    for _ in range(rounds):
        for name in order.sample(names, len(names)):
            if os.path.exists(img):
                os.unlink(img)
            argv, out = commands[name]
            samples[name].append(run_once(argv, out))
    os.unlink(img)
    rss = {name: peak_rss(argv) for name, (argv, out) in commands.items() if out is None}
    os.unlink(img)
    os.unlink(sw)

    result = {}
    for name in names:
        result[name] = {
            "wall": statistics.median(s[0] for s in samples[name]),
            "cpu": statistics.median(s[1] for s in samples[name]),
            "faults": statistics.median(s[2] for s in samples[name]),
            "rss": rss.get(name),
        }
    return result


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--large-mib", type=int, default=256, help="size of the large file")
    parser.add_argument("--rounds", type=int, default=21, help="rounds on the large file")
    parser.add_argument("--small-rounds", type=int, default=301, help="rounds on the 1 MiB file")
    parser.add_argument("--swug", help="the swug to time (default: build the release preset)")
    parser.add_argument("--baseline", help="an earlier swug, timed beside it as \"base\"")
    parser.add_argument("--dir", default=os.path.join(REPO, "build"),
                        help="folder for the temporary files")
    args = parser.parse_args()

    if not os.path.exists("/usr/bin/time"):
        sys.exit("needs /usr/bin/time for the peak memory (Debian package: time)")
    swug = args.swug
    if swug is None:
        for step in (["cmake", "--preset", "release"], ["cmake", "--build", "--preset", "release"]):
            subprocess.run(step, cwd=REPO, check=True, stdout=subprocess.DEVNULL)
        swug = os.path.join(REPO, "build", "release", "swug")
    swug = os.path.abspath(swug)
    baseline = os.path.abspath(args.baseline) if args.baseline else None

    os.makedirs(args.dir, exist_ok=True)
    work = tempfile.mkdtemp(prefix="bench-", dir=args.dir)
    try:
        results = [(mib, measure(swug, baseline, work, mib * MIB, rounds))
                   for mib, rounds in ((1, args.small_rounds), (16, args.rounds),
                                       (args.large_mib, args.rounds))]
    finally:
        shutil.rmtree(work)

    print(f"{'file':>8}  {'tool':<5} {'wall ms':>9} {'cpu ms':>9} {'wall/dd':>8} {'cpu/dd':>7}"
          f" {'faults':>7} {'peak KiB':>9}")
    for mib, res in results:
        dd = res["dd"]
        for name, r in res.items():
            cpu_ratio = r["cpu"] / dd["cpu"] if dd["cpu"] > 0 else float("nan")
            print(f"{mib:>4} MiB  {name:<5} {r['wall'] * 1e3:9.2f} {r['cpu'] * 1e3:9.2f}"
                  f" {r['wall'] / dd['wall']:8.2f} {cpu_ratio:7.2f} {r['faults']:7.0f}"
                  f" {r['rss'] or '':>9}")

    small, middle, large = (res for _, res in results)
    checks = [
        ("1 MiB: swug wall <= 0.6x dd", small["swug"]["wall"] <= 0.6 * small["dd"]["wall"]),
        ("1 MiB: swug faster than tail", small["swug"]["wall"] < small["tail"]["wall"]),
        ("1 MiB: swug minor faults <= tail's", small["swug"]["faults"] <= small["tail"]["faults"]),
        (f"{args.large_mib} MiB: swug wall <= 1.3x dd",
         large["swug"]["wall"] <= 1.3 * large["dd"]["wall"]),
        (f"{args.large_mib} MiB: tail wall >= 1.8x swug",
         large["tail"]["wall"] >= 1.8 * large["swug"]["wall"]),
        ("swug peak memory <= 2.5 MiB at every size",
         max(res["swug"]["rss"] for _, res in results) <= 2560),
    ]
    if baseline is not None:
        # Within 3%: the median of 21 rounds moves about that much between runs.
        checks.append(("16 MiB: swug no slower than base (within 3%)",
                       middle["swug"]["wall"] <= 1.03 * middle["base"]["wall"]))
    print()
    for what, ok in checks:
        print(f"{'met   ' if ok else 'missed'} {what}")
    if baseline is None:
        print("       16 MiB against an earlier build: give --baseline PATH")
    return 0 if all(ok for _, ok in checks) else 1


if __name__ == "__main__":
    sys.exit(main())
