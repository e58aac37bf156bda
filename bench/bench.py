#!/usr/bin/env python3
"""Times swug against dd and tail on a typical firmware file and a large one.

Each round runs every tool once, in a rotating order, on a warm page cache; the table gives the
median wall and CPU time (user + system) of each tool, its ratio to dd's, and the peak resident
memory. The images of all tools are checked to agree byte for byte.

    bench/bench.py [--large-mib 256] [--rounds 21] [--small-rounds 301] [--swug PATH]
"""

import argparse
import filecmp
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

REPO = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
MIB = 1 << 20


def tools(swug, sw, img):
    """Each tool's command line; tail writes to its standard output, redirected to img."""
    return {
        "dd": (["dd", f"if={sw}", f"of={img}", "bs=1M", "skip=128", "iflag=skip_bytes",
                "status=none"], None),
        "tail": (["tail", "-c", "+129", sw], img),
        "swug": ([swug, sw, img], None),
    }


def run_once(argv, stdout_to):
    """Runs one command: (wall seconds, CPU seconds)."""
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
    return wall, usage.ru_utime + usage.ru_stime


def peak_rss(argv):
    """Peak resident KiB, as /usr/bin/time reports it. A child's own ru_maxrss would not do: a
    child started by posix_spawn inherits this process's high-water mark."""
    out = subprocess.run(["/usr/bin/time", "-f", "%M"] + argv, check=True,
                         stderr=subprocess.PIPE, text=True).stderr
    return int(out.strip().splitlines()[-1])


def measure(swug, work, size, rounds):
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
    for name in tools(swug, sw, "").keys():
        imgs[name] = os.path.join(work, f"check-{name}.bin")
        run_once(*tools(swug, sw, imgs[name])[name])
    for name, img in imgs.items():
        if not filecmp.cmp(imgs["dd"], img, shallow=False):
            sys.exit(f"{name}'s image differs from dd's at {size} bytes")
    for img in imgs.values():
        os.unlink(img)

    img = os.path.join(work, "img.bin")
    commands = tools(swug, sw, img)
    names = list(commands)
    samples = {name: [] for name in names}
    for r in range(rounds):
        for name in names[r % len(names):] + names[:r % len(names)]:
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
            "rss": rss.get(name),
        }
    return result


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--large-mib", type=int, default=256, help="size of the large file")
    parser.add_argument("--rounds", type=int, default=21, help="rounds on the large file")
    parser.add_argument("--small-rounds", type=int, default=301, help="rounds on the 1 MiB file")
    parser.add_argument("--swug", help="the swug to time (default: build the release preset)")
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

    os.makedirs(args.dir, exist_ok=True)
    work = tempfile.mkdtemp(prefix="bench-", dir=args.dir)
    try:
        results = [(1, measure(swug, work, MIB, args.small_rounds)),
                   (args.large_mib, measure(swug, work, args.large_mib * MIB, args.rounds))]
    finally:
        shutil.rmtree(work)

    print(f"{'file':>8}  {'tool':<5} {'wall ms':>9} {'cpu ms':>9} {'wall/dd':>8} {'cpu/dd':>7}"
          f" {'peak KiB':>9}")
    for mib, res in results:
        dd = res["dd"]
        for name, r in res.items():
            cpu_ratio = r["cpu"] / dd["cpu"] if dd["cpu"] > 0 else float("nan")
            print(f"{mib:>4} MiB  {name:<5} {r['wall'] * 1e3:9.2f} {r['cpu'] * 1e3:9.2f}"
                  f" {r['wall'] / dd['wall']:8.2f} {cpu_ratio:7.2f} {r['rss'] or '':>9}")

    small, large = results[0][1], results[1][1]
    checks = [
        ("1 MiB: swug wall <= 0.8x dd", small["swug"]["wall"] <= 0.8 * small["dd"]["wall"]),
        (f"{args.large_mib} MiB: swug wall <= 1.3x dd",
         large["swug"]["wall"] <= 1.3 * large["dd"]["wall"]),
        (f"{args.large_mib} MiB: tail wall >= 1.8x swug",
         large["tail"]["wall"] >= 1.8 * large["swug"]["wall"]),
        ("swug peak memory <= 2.5 MiB at both sizes",
         max(small["swug"]["rss"], large["swug"]["rss"]) <= 2560),
    ]
    print()
    for what, ok in checks:
        print(f"{'met   ' if ok else 'missed'} {what}")
    return 0 if all(ok for _, ok in checks) else 1


if __name__ == "__main__":
    sys.exit(main())
