#!/usr/bin/env python3
"""Time plovik against head and dd, interleaved, and report medians and memory.

    bench/run.py [--rounds N] [--warmup N] [PLOVIK]

Each round runs every command once, in a shuffled order, on the same image,
each writing its own output file (opened with truncation, as a shell's '>'
does, inside the timed span). Wall time is taken around spawn and wait; peak
resident memory is GNU time's maximum resident set size.
"""

import argparse
import os
import platform
import random
import shutil
import statistics
import subprocess
import tempfile
import time

LIMIT = 5 * 1024 * 1024
IMAGES = [("8 MB", 8_000_000), ("64 KiB", 65536)]


def spawn(argv, stdout_path=None):
    """Run argv to its end; return its wall time in seconds."""
    start = time.perf_counter()
    actions = []
    if stdout_path:
        fd = os.open(stdout_path, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o644)
        actions = [(os.POSIX_SPAWN_DUP2, fd, 1), (os.POSIX_SPAWN_CLOSE, fd)]
    pid = os.posix_spawn(argv[0], argv, os.environ, file_actions=actions)
    if stdout_path:
        os.close(fd)
    _, status = os.waitpid(pid, 0)
    elapsed = time.perf_counter() - start
    if os.waitstatus_to_exitcode(status) != 0:
        raise SystemExit(f"{argv} failed")
    return elapsed


def commands(plovik, image, work):
    head, dd = shutil.which("head"), shutil.which("dd")
    return {
        "plovik": ([plovik, image, f"{work}/plovik.out"], None),
        "head": ([head, "-c", str(LIMIT), image], f"{work}/head.out"),
        "dd": ([dd, f"if={image}", f"of={work}/dd.out", f"bs={LIMIT}", "count=1",
                "iflag=fullblock", "status=none"], None),
    }


def measure(plovik, image, work, rounds, warmup):
    runs = commands(plovik, image, work)
    times = {name: [] for name in runs}
    for round_number in range(warmup + rounds):
        order = list(runs)
        random.shuffle(order)
        for name in order:
            elapsed = spawn(*runs[name])
            if round_number >= warmup:
                times[name].append(elapsed)
    with open(image, "rb") as f:
        expected = f.read(LIMIT)
    for name in runs:
        with open(f"{work}/{name}.out", "rb") as f:
            if f.read() != expected:
                raise SystemExit(f"{name} wrote a wrong copy")
    return {name: statistics.median(values) for name, values in times.items()}


def peak_memory(argv, repeat=20):
    """The least of REPEAT runs' maximum resident set size, in KiB, as GNU time gives it."""
    runs = []
    for _ in range(repeat):
        done = subprocess.run(["/usr/bin/time", "-f", "%M"] + argv, stderr=subprocess.PIPE, check=True)
        runs.append(int(done.stderr.split()[-1]))
    return min(runs)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("plovik", nargs="?", default="build/release/plovik")
    parser.add_argument("--rounds", type=int, default=1000)
    parser.add_argument("--warmup", type=int, default=50)
    args = parser.parse_args()
    plovik = os.path.abspath(args.plovik)

    with tempfile.TemporaryDirectory(prefix="plovik-bench-") as work:
        empty = f"{work}/empty"
        subprocess.run(["c++", "-O2", "-x", "c++", "-", "-o", empty],
                       input=b"int main() { return 0; }\n", check=True)
        print(f"machine: {platform.node()}, {os.cpu_count()} cores, {platform.machine()}, "
              f"Linux {platform.release()}")
        print(f"{args.rounds} interleaved rounds after {args.warmup} warm-up rounds; medians\n")
        print("| image | plovik | head | dd | plovik / head | plovik / dd |")
        print("|---|---|---|---|---|---|")
        rss = {}
        for label, size in IMAGES:
            image = f"{work}/image-{size}"
            with open(image, "wb") as f:
                f.write(random.Random(size).randbytes(size))
            m = measure(plovik, image, work, args.rounds, args.warmup)
            ms = {name: f"{value * 1000:.2f} ms" for name, value in m.items()}
            print(f"| {label} | {ms['plovik']} | {ms['head']} | {ms['dd']} "
                  f"| {m['plovik'] / m['head']:.2f} | {m['plovik'] / m['dd']:.2f} |")
            rss[label] = peak_memory([plovik, image, f"{work}/plovik.out"])
        base = peak_memory([empty])
        print("\n| peak resident memory | KiB | above the empty program |")
        print("|---|---|---|")
        print(f"| empty C++ program | {base} | |")
        for label, kib in rss.items():
            print(f"| plovik, {label} image | {kib} | {(kib - base) / 1024:.2f} MiB |")
        print(f"\nbound: the copy limit plus 1.5 MiB = {LIMIT / 1048576 + 1.5:.2f} MiB")


if __name__ == "__main__":
    main()
