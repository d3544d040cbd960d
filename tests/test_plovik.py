#!/usr/bin/env python3
"""Black-box tests of plovik.

Runs the built command as a child process in a fresh directory and checks its
exit status, its standard output and standard error byte for byte, and the
files on disk before and after.

    test_plovik.py PLOVIK [--wine WINE] [unittest options]

With --wine, PLOVIK is the Windows build and runs under wine; the cases that
need Linux facilities are skipped there.
"""

import argparse
import functools
import os
import random
import resource
import shutil
import signal
import subprocess
import sys
import tempfile
import threading
import time
import unittest

MIB = 1024 * 1024
LIMIT = 5 * MIB
USAGE = b"Usage : PLOVIK <Image File> <Output File>"

EXE = ""
WINE = ""
NL = b"\n"
SANITIZED = False


def linux_only(reason):
    """Skip the test for the Windows build, which lacks what it needs."""

    def wrap(test):
        @functools.wraps(test)
        def checked(self):
            if WINE:
                self.skipTest("Windows build: " + reason)
            test(self)

        return checked

    return wrap


def noise(size, seed=0):
    return random.Random(seed).randbytes(size)


class Case(unittest.TestCase):
    """Each test runs in a directory of its own, the command's working directory."""

    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="plovik-")
        self.addCleanup(shutil.rmtree, self.dir)

    def path(self, name):
        return os.path.join(self.dir, name)

    def put(self, name, data):
        with open(self.path(name), "wb") as f:
            f.write(data)

    def get(self, name):
        with open(self.path(name), "rb") as f:
            return f.read()

    def listing(self):
        return sorted(os.listdir(self.dir))

    def run_plovik(self, *args, limits=(), feed=None):
        """Run plovik with ARGS; return (status, stdout, stderr).

        LIMITS are (resource, value) pairs set in the child before exec; FEED,
        a list of byte strings, is written to its standard input one by one
        with pauses between them.
        """
        command = [WINE, EXE] if WINE else [EXE]

        def child_setup():
            signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
            for what, value in limits:
                resource.setrlimit(what, (value, value))

        child = subprocess.Popen(
            command + list(args),
            cwd=self.dir,
            stdin=subprocess.PIPE if feed is not None else subprocess.DEVNULL,
            stdout=subprocess.PIPE,
            stderr=subprocess.PIPE,
            preexec_fn=child_setup,
            restore_signals=False,
        )
        if feed is None:
            out, err = child.communicate(timeout=120)
        else:
            feeder = threading.Thread(target=trickle, args=(child.stdin, feed))
            feeder.start()
            out, err = drain(child)
            feeder.join()
        return child.returncode, out, err

    def expect(self, args, out=b"", status=0, **options):
        result = self.run_plovik(*args, **options)
        self.assertEqual(result, (status, out, b""))


def trickle(pipe, pieces):
    try:
        for piece in pieces:
            pipe.write(piece)
            pipe.flush()
            time.sleep(0.01)
    except BrokenPipeError:
        pass  # plovik has all it asks for and has gone
    finally:
        try:
            pipe.close()
        except BrokenPipeError:
            pass


def drain(child):
    with child.stdout, child.stderr:
        out, err = child.stdout.read(), child.stderr.read()
    child.wait(timeout=120)
    return out, err


def error(text, name):
    return ("ERROR: " + text + " ").encode() + name.encode() + NL


class Usage(Case):
    def test_fewer_than_two_operands(self):
        for args in [(), ("missing.bin",), ("",)]:
            with self.subTest(args=args):
                self.expect(args, USAGE + NL, 1)
                self.assertEqual(self.listing(), [])

    def test_operands_after_the_second_are_ignored(self):
        image = noise(1000)
        self.put("image.bin", image)
        self.expect(["image.bin", "out.bin", "extra.bin", "--help"])
        self.assertEqual(self.get("out.bin"), image)
        self.assertEqual(self.listing(), ["image.bin", "out.bin"])

    def test_operands_with_a_dash_are_paths(self):
        image = noise(1000)
        self.put("--help", image)
        self.expect(["--help", "-v"])
        self.assertEqual(self.get("-v"), image)


class Copy(Case):
    SIZES = [0, 1, 1000, 2 * MIB - 1, 2 * MIB, 4 * MIB + 1, LIMIT - 1, LIMIT, LIMIT + 1, 8_000_000]

    def check(self, image, old_output=None):
        self.put("image.bin", image)
        if old_output is not None:
            self.put("out.bin", old_output)
        self.expect(["image.bin", "out.bin"])
        self.assertEqual(self.get("image.bin"), image)
        self.assertEqual(self.get("out.bin"), image[:LIMIT])

    def test_sizes_around_the_limit(self):
        for size in self.SIZES:
            with self.subTest(size=size):
                self.check(noise(size, size))

    def test_existing_output_is_cut_to_the_copy(self):
        for size in [0, 1000, LIMIT + 1]:
            with self.subTest(size=size):
                self.check(noise(size, size), old_output=noise(LIMIT + 4096, 7))

    def test_bytes_pass_unchanged(self):
        for image in [b"\r\n\x1a\x00" * 4096, b"\x1a", b"\n", b"\r", b"\x00" * 7, bytes(range(256)) * 3]:
            with self.subTest(image=image[:8]):
                self.check(image)

    def test_names_outside_the_ansi_code_page(self):
        image = noise(70000)
        for source, target in [("образ.bin", "выход.bin"), ("映像.bin", "出力.bin"), ("образ.bin", "出力.bin")]:
            with self.subTest(source=source, target=target):
                self.put(source, image)
                self.expect([source, target])
                self.assertEqual(self.get(target), image)

    def test_image_beyond_4_gib(self):
        head = noise(LIMIT + 4096)
        with open(self.path("big.img"), "wb") as f:
            f.write(head)
            f.seek(4 * 1024**3 + 512)
            f.write(b"end")
        self.expect(["big.img", "out.bin"])
        self.assertEqual(self.get("out.bin"), head[:LIMIT])
        self.assertEqual(os.path.getsize(self.path("big.img")), 4 * 1024**3 + 515)


class InPlace(Case):
    def test_one_file_is_cut_to_the_limit(self):
        for size in [0, 1000, LIMIT, LIMIT + 1, 8_000_000]:
            with self.subTest(size=size):
                image = noise(size, size)
                self.put("disk.img", image)
                self.expect(["disk.img", "disk.img"])
                self.assertEqual(self.get("disk.img"), image[:LIMIT])


class OpenErrors(Case):
    def test_image_cannot_be_opened(self):
        for name in ["missing.bin", "", "nodir/image.bin", "образ.bin", "出力.bin"]:
            with self.subTest(name=name):
                self.put("out.bin", b"keep me")
                self.expect([name, "out.bin"], error("Unable to open file", name), 1)
                self.assertEqual(self.get("out.bin"), b"keep me")
                self.assertEqual(self.listing(), ["out.bin"])
                os.remove(self.path("out.bin"))
                self.expect([name, "new.bin"], error("Unable to open file", name), 1)
                self.assertEqual(self.listing(), [])

    def test_output_cannot_be_opened(self):
        image = noise(1000)
        for name in ["nodir/out.bin", "adir", "нет/出力.bin", ""]:
            with self.subTest(name=name):
                self.put("image.bin", image)
                os.makedirs(self.path("adir"), exist_ok=True)
                self.expect(["image.bin", name], error("Unable to open file", name), 1)
                self.assertEqual(self.get("image.bin"), image)
                self.assertEqual(self.listing(), ["adir", "image.bin"])
                self.assertEqual(os.listdir(self.path("adir")), [])


class ReadErrors(Case):
    def test_directory_as_image(self):
        # Linux opens a directory and then fails to read it; Windows fails to open it.
        message = error("Unable to open file" if WINE else "Unable to read file", "adir")
        os.mkdir(self.path("adir"))
        self.put("out.bin", b"keep me")
        self.expect(["adir", "out.bin"], message, 1)
        self.assertEqual(self.get("out.bin"), b"keep me")
        self.expect(["adir", "new.bin"], message, 1)
        self.assertEqual(self.listing(), ["adir", "out.bin"])


class WriteErrors(Case):
    @linux_only("no /dev/full")
    def test_full_device(self):
        for size in [1, 1000, LIMIT + 1]:
            with self.subTest(size=size):
                self.put("image.bin", noise(size))
                self.expect(["image.bin", "/dev/full"], error("Unable to write file", "/dev/full"), 1)

    @linux_only("no /dev/full")
    def test_nothing_to_write_to_full_device(self):
        self.put("image.bin", b"")
        self.expect(["image.bin", "/dev/full"])

    @linux_only("no file size limit")
    def test_partial_output_is_kept(self):
        # A file size limit stops the write part-way; what reached the file stays.
        cap = 65536
        for image_name, output_name in [("image.bin", "out.bin"), ("disk.img", "disk.img")]:
            with self.subTest(output=output_name):
                image = noise(LIMIT + 1)
                self.put(image_name, image)
                self.expect([image_name, output_name], error("Unable to write file", output_name), 1,
                            limits=[(resource.RLIMIT_FSIZE, cap)])
                self.assertEqual(self.get(output_name), image[:cap])


class Memory(Case):
    def smallest_address_space(self):
        """The least address space, in steps of 64 KiB, in which plovik starts and prints."""
        step = 65536
        low, high = 0, (1 << 30) // step
        while high - low > 1:
            middle = (low + high) // 2
            status, out, _ = self.run_plovik(limits=[(resource.RLIMIT_AS, middle * step)])
            if (status, out) == (1, USAGE + NL):
                high = middle
            else:
                low = middle
        return high * step

    @linux_only("no address-space limit")
    def test_buffer_cannot_be_allocated(self):
        if SANITIZED:
            self.skipTest("AddressSanitizer reserves terabytes of address space at start")
        start = self.smallest_address_space()
        self.put("image.bin", noise(1000))
        self.put("out.bin", b"keep me")
        tight = [(resource.RLIMIT_AS, start + LIMIT // 2)]
        self.expect(["image.bin", "out.bin"], b"ERROR: Memory allocation failed" + NL, 1, limits=tight)
        self.expect(["image.bin", "new.bin"], b"ERROR: Memory allocation failed" + NL, 1, limits=tight)
        self.assertEqual(self.get("out.bin"), b"keep me")
        self.assertEqual(self.listing(), ["image.bin", "out.bin"])
        # The same run goes through once the buffer fits.
        self.expect(["image.bin", "out.bin"], limits=[(resource.RLIMIT_AS, start + 2 * LIMIT)])
        self.assertEqual(self.get("out.bin"), self.get("image.bin"))


class Streams(Case):
    @linux_only("no /dev/stdin")
    def test_pipe_in_small_pieces(self):
        for total, piece in [(LIMIT + 300_000, 65536), (100_000, 1000), (0, 1)]:
            with self.subTest(total=total, piece=piece):
                data = noise(total)
                pieces = [data[i : i + piece] for i in range(0, total, piece)]
                self.expect(["/dev/stdin", "out.bin"], feed=pieces)
                self.assertEqual(self.get("out.bin"), data[:LIMIT])

    @linux_only("no /dev/zero")
    def test_endless_device(self):
        self.expect(["/dev/zero", "out.bin"])
        self.assertEqual(self.get("out.bin"), bytes(LIMIT))


def wine_session():
    """Start wine's server once for the whole suite, in a prefix of the build's own."""
    os.environ["WINEPREFIX"] = os.path.join(os.path.dirname(os.path.abspath(EXE)), "wineprefix")
    os.environ["WINEDEBUG"] = "-all"
    os.environ["WINEDLLOVERRIDES"] = "mscoree,mshtml="
    os.environ["LANG"] = "C.UTF-8"
    os.environ.pop("DISPLAY", None)
    server = shutil.which("wineserver", path=os.path.dirname(WINE) + os.pathsep + os.environ["PATH"])
    # A server that is already up for this prefix refuses a second one; either way one runs.
    subprocess.run([server, "-p"], check=False)
    subprocess.run([WINE, "wineboot", "-i"], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, check=True)
    return lambda: subprocess.run([server, "-k"], check=False)


def main():
    global EXE, WINE, NL, SANITIZED
    parser = argparse.ArgumentParser()
    parser.add_argument("plovik")
    parser.add_argument("--wine", default="")
    args, rest = parser.parse_known_args()
    EXE, WINE = os.path.abspath(args.plovik), args.wine
    NL = b"\r\n" if WINE else b"\n"
    with open(EXE, "rb") as f:
        SANITIZED = b"__asan_init" in f.read()
    stop = wine_session() if WINE else None
    try:
        program = unittest.main(argv=[sys.argv[0]] + rest, exit=False, verbosity=2)
    finally:
        if stop:
            stop()
    sys.exit(not program.result.wasSuccessful())


if __name__ == "__main__":
    main()
