#!/usr/bin/env python3
"""Time plovik against head, dd and an in-kernel copy, interleaved, and report
medians and memory.

    bench/run.py [--rounds N] [--warmup N] [PLOVIK]

Each round runs every command once, in a shuffled order, on the same image,
each writing its own output file, which exists from the round before. head's
output is opened with truncation, as a shell's '>' does, inside the timed
span; dd truncates its own. The in-kernel copy is a few lines of C built
here, copy_file_range with no buffer in the process, in two forms: with the
output truncated on open as head and dd have it ("kernel"), and written over,
then cut to length as plovik does ("kernel over"), the floor. Wall time is
taken around spawn and wait; peak resident memory is GNU time's maximum
resident set size.
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

KERNEL_COPY = b"""
#define _GNU_SOURCE
#include <fcntl.h>
#include <unistd.h>
int main(int argc, char **argv) {
    int in = open(argv[1], O_RDONLY), out = open(argv[2], O_WRONLY | O_CREAT | FLAGS, 0666);
    off_t done = 0;
    ssize_t n = 1;
    if (argc != 3 || in < 0 || out < 0) return 1;
    while (done < 5242880 && (n = copy_file_range(in, NULL, out, NULL, 5242880 - done, 0)) > 0)
        done += n;
    return n < 0 || ftruncate(out, done) != 0 || close(out) != 0;
}
"""


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


def commands(plovik, kernel_copy, image, work):
    head, dd = shutil.which("head"), shutil.which("dd")
    return {
        "kernel": ([kernel_copy["truncated"], image, f"{work}/kernel.out"], None),
        "kernel over": ([kernel_copy["over"], image, f"{work}/kernel over.out"], None),
        "plovik": ([plovik, image, f"{work}/plovik.out"], None),
        "head": ([head, "-c", str(LIMIT), image], f"{work}/head.out"),
        "dd": ([dd, f"if={image}", f"of={work}/dd.out", f"bs={LIMIT}", "count=1",
                "iflag=fullblock", "status=none"], None),
    }


def measure(plovik, kernel_copy, image, work, rounds, warmup):
    runs = commands(plovik, kernel_copy, image, work)
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
        kernel_copy = {}
        for form, flags in [("truncated", "O_TRUNC"), ("over", "0")]:
            kernel_copy[form] = f"{work}/kernel-copy-{form}"
            subprocess.run(["cc", "-O2", f"-DFLAGS={flags}", "-x", "c", "-", "-o", kernel_copy[form]],
                           input=KERNEL_COPY, check=True)
        print(f"machine: {platform.node()}, {os.cpu_count()} cores, {platform.machine()}, "
              f"Linux {platform.release()}")
        print(f"{args.rounds} interleaved rounds after {args.warmup} warm-up rounds; medians\n")
        print("| image | plovik | head | dd | kernel | kernel over "
              "| plovik / head | plovik / dd | plovik / kernel | plovik / kernel over |")
        print("|---|---|---|---|---|---|---|---|---|---|")
        rss = {}
        for label, size in IMAGES:
            image = f"{work}/image-{size}"
            with open(image, "wb") as f:
                f.write(random.Random(size).randbytes(size))
            m = measure(plovik, kernel_copy, image, work, args.rounds, args.warmup)
            ms = {name: f"{value * 1000:.2f} ms" for name, value in m.items()}
            ratios = " | ".join(f"{m['plovik'] / m[name]:.2f}" for name in ["head", "dd", "kernel", "kernel over"])
            print(f"| {label} | {ms['plovik']} | {ms['head']} | {ms['dd']} | {ms['kernel']} "
                  f"| {ms['kernel over']} | {ratios} |")
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
