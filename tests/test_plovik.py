#!/usr/bin/env python3
"""Black-box tests of plovik.

Runs the built command as a child process in a fresh directory and checks its
exit status, its standard output and standard error byte for byte, and the
files on disk before and after.

    test_plovik.py PLOVIK [--wine WINE] [unittest options]

With --wine, PLOVIK is the Windows build and runs under WINE, wine's loader;
the cases that need Linux facilities are skipped there. Where this host cannot
start the loader at all (a kernel that runs no 32-bit programs, or no wine),
the whole run is skipped: the driver says why and exits with SKIPPED.
"""

import argparse
import errno
import functools
import os
import pty
import random
import re
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
SKIPPED = 77


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


def wine_only(reason):
    """Skip the test for the Linux build."""

    def wrap(test):
        @functools.wraps(test)
        def checked(self):
            if not WINE:
                self.skipTest("Linux build: " + reason)
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

    def put_beyond_4_gib(self, name):
        """Make NAME a sparse file past 4 GiB; return its first bytes, past the limit."""
        head = noise(LIMIT + 4096)
        with open(self.path(name), "wb") as f:
            f.write(head)
            f.seek(4 * 1024**3 + 512)
            f.write(b"end")
        return head

    def names_of(self, name):
        """Yield the ways to name the file NAME a second time: (label, second name)."""
        os.link(self.path(name), self.path("hard.img"))
        os.symlink(name, self.path("soft.img"))
        try:
            yield from [("same", name), ("dot", "./" + name),
                        ("hard link", "hard.img"), ("symbolic link", "soft.img")]
        finally:
            os.remove(self.path("hard.img"))
            os.remove(self.path("soft.img"))

    def run_plovik(self, *args, limits=(), feed=None, prefix=(), umask=0o022):
        """Run plovik with ARGS; return (status, stdout, stderr).

        LIMITS are (resource, value) pairs set in the child before exec; FEED,
        a list of byte strings, is written to its standard input one by one
        with pauses between them; PREFIX is a command that starts plovik, such
        as strace.
        """
        command = list(prefix) + ([WINE, EXE] if WINE else [EXE])

        def child_setup():
            signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
            os.umask(umask)
            for what, value in limits:
                resource.setrlimit(what, (value, value))

        # LeakSanitizer cannot work under a tracer such as strace.
        env = dict(os.environ, ASAN_OPTIONS="detect_leaks=0") if prefix else None
        child = subprocess.Popen(
            command + list(args),
            cwd=self.dir,
            env=env,
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

    def test_existing_output_ends_with_the_copy(self):
        for size, old_size in [(0, LIMIT + 4096), (1000, LIMIT + 4096), (LIMIT + 1, LIMIT + 4096),
                               (1000, 10), (LIMIT + 1, 1000), (1000, 1000)]:
            with self.subTest(size=size, old_size=old_size):
                self.check(noise(size, size), old_output=noise(old_size, 7))

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
        head = self.put_beyond_4_gib("big.img")
        self.expect(["big.img", "out.bin"])
        self.assertEqual(self.get("out.bin"), head[:LIMIT])
        self.assertEqual(os.path.getsize(self.path("big.img")), 4 * 1024**3 + 515)

    @linux_only("no umask")
    def test_new_output_gets_the_default_permissions(self):
        self.put("image.bin", noise(1000))
        for umask in [0o022, 0o077, 0]:
            with self.subTest(umask=oct(umask)):
                self.expect(["image.bin", "out.bin"], umask=umask)
                self.assertEqual(os.stat(self.path("out.bin")).st_mode & 0o777, 0o666 & ~umask)
                os.remove(self.path("out.bin"))


class InPlace(Case):
    def test_one_file_is_cut_to_the_limit(self):
        for size in [0, 1000, LIMIT, LIMIT + 1, 8_000_000]:
            image = noise(size, size)
            self.put("disk.img", image)
            for how, output in self.names_of("disk.img"):
                with self.subTest(size=size, output=how):
                    self.put("disk.img", image)
                    self.expect(["disk.img", output])
                    self.assertEqual(self.get("disk.img"), image[:LIMIT])

    def test_file_beyond_4_gib(self):
        head = self.put_beyond_4_gib("big.img")
        self.expect(["big.img", "big.img"])
        self.assertEqual(self.get("big.img"), head[:LIMIT])


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
    def test_write_stopped_part_way(self):
        # A file size limit stops the write part-way. What reached a distinct
        # output stays there, over what it held; a file cut in place keeps
        # all it had.
        cap = 65536
        image, old = noise(LIMIT + 1), noise(LIMIT + 4096, 7)
        for output, before, after in [
            ("new.bin", None, image[:cap]),
            ("old.bin", old, image[:cap] + old[cap:]),
            ("image.bin", image, image),
        ]:
            with self.subTest(output=output):
                self.put("image.bin", image)
                if before is not None:
                    self.put(output, before)
                self.expect(["image.bin", output], error("Unable to write file", output), 1,
                            limits=[(resource.RLIMIT_FSIZE, cap)])
                self.assertEqual(self.get(output), after)


@functools.lru_cache(maxsize=None)
def strace_missing():
    """Why strace cannot trace plovik here, or None where it can."""
    if WINE:
        return "strace cannot reach the system calls of a program under wine"
    if shutil.which("strace") is None:
        return "strace is not installed"
    done = subprocess.run(["strace", "-o", "/dev/null", "true"], capture_output=True, check=False)
    if done.returncode != 0:
        return "strace cannot trace here: " + done.stderr.decode(errors="replace").strip()
    return None


def traced(test):
    @functools.wraps(test)
    def checked(self):
        reason = strace_missing()
        if reason:
            self.skipTest(reason)
        test(self)

    return checked


def inject(calls, fault):
    """strace as a PREFIX that makes the first of each of CALLS fail with FAULT."""
    return ["strace", "-o", "/dev/null", "-e", f"inject={calls}:{fault}:when=1"]


WRITES = "write,writev,pwrite64"
KILLED = -signal.SIGKILL


class Faults(Case):
    """Faults injected into plovik's own system calls."""

    @traced
    def test_cut_in_place_loses_nothing(self):
        for size in [1000, 8_000_000]:
            image = noise(size, size)
            self.put("disk.img", image)
            for how, output in self.names_of("disk.img"):
                for fault in ["error=ENOSPC", "error=EIO", "signal=SIGKILL"]:
                    with self.subTest(size=size, output=how, fault=fault):
                        self.put("disk.img", image)
                        failed = (b"", KILLED) if "KILL" in fault else (error("Unable to write file", output), 1)
                        self.expect(["disk.img", output], *failed, prefix=inject(WRITES, fault))
                        self.assertEqual(self.get("disk.img"), image)

    @traced
    def test_distinct_output_write_fails(self):
        image, old = noise(LIMIT + 1), noise(1000, 7)
        self.put("image.bin", image)
        for output, before in [("new.bin", None), ("old.bin", old)]:
            with self.subTest(output=output):
                if before is not None:
                    self.put(output, before)
                self.expect(["image.bin", output], error("Unable to write file", output), 1,
                            prefix=inject(WRITES, "error=ENOSPC"))
                self.assertEqual(self.get(output), before or b"")
                self.assertEqual(self.get("image.bin"), image)

    @traced
    def test_length_cannot_be_set(self):
        old = noise(LIMIT + 4096, 7)
        for size, output in [(8_000_000, "image.bin"), (1000, "old.bin"), (LIMIT + 1, "old.bin")]:
            with self.subTest(size=size, output=output):
                image = noise(size, size)
                self.put("image.bin", image)
                self.put("old.bin", old)
                before = self.get(output)
                self.expect(["image.bin", output], error("Unable to write file", output), 1,
                            prefix=inject("ftruncate", "error=EIO"))
                copy = image[:LIMIT]
                self.assertEqual(self.get(output), copy + before[len(copy):])


class Outputs(Case):
    """Outputs that are not regular files get the bytes and keep their nature."""

    @linux_only("no /dev/null")
    def test_null_device(self):
        self.put("image.bin", noise(LIMIT + 1))
        self.expect(["image.bin", "/dev/null"])
        self.assertEqual(self.listing(), ["image.bin"])

    @linux_only("no FIFO")
    def test_fifo_with_a_reader(self):
        for size in [1000, LIMIT + 1]:
            with self.subTest(size=size):
                image = noise(size, size)
                self.put("image.bin", image)
                os.mkfifo(self.path("fifo"))
                received = []
                reader = threading.Thread(target=lambda: received.append(self.get("fifo")))
                reader.start()
                self.expect(["image.bin", "fifo"])
                reader.join(timeout=60)
                self.assertEqual(received, [image[:LIMIT]])
                os.remove(self.path("fifo"))

    @linux_only("no block devices")
    def test_block_device(self):
        with open(self.path("backing"), "wb") as f:
            f.truncate(LIMIT + MIB)
        attached = subprocess.run(["losetup", "--find", "--show", self.path("backing")],
                                  capture_output=True, check=False)
        if attached.returncode != 0:
            self.skipTest("no loop device here: " + attached.stderr.decode(errors="replace").strip())
        device = attached.stdout.decode().strip()
        self.addCleanup(subprocess.run, ["losetup", "--detach", device], check=False)
        for size in [1000, LIMIT + 1]:
            with self.subTest(size=size):
                image = noise(size, size)
                self.put("image.bin", image)
                self.expect(["image.bin", device])
                with open(device, "rb") as f:
                    self.assertEqual(f.read(LIMIT + 1), image[:LIMIT].ljust(LIMIT + 1, b"\0"))

    @wine_only("no NUL device")
    def test_nul_device(self):
        self.put("image.bin", noise(LIMIT + 1))
        for name in ["NUL", "nul"]:
            with self.subTest(name=name):
                self.expect(["image.bin", name])
                self.assertEqual(self.listing(), ["image.bin"])


CONTROL = re.compile(rb"\x1b\[[0-9;?]*[A-Za-z]")


def screen_text(raw):
    """What a terminal shows of RAW, as text: a cursor step right is a blank."""
    text = CONTROL.sub(lambda m: b" " * int(m.group()[2:-1] or 1) if m.group().endswith(b"C") else b"", raw)
    return text.replace(b"\r", b"").decode()


class Console(Case):
    """Under wine, a pseudo-terminal as standard output is a Windows console."""

    def run_on_console(self, *args):
        main, secondary = pty.openpty()
        child = subprocess.Popen([WINE, EXE] + list(args), cwd=self.dir, stdin=secondary, stdout=secondary,
                                 stderr=subprocess.PIPE)
        os.close(secondary)
        shown = b""
        while True:
            try:
                chunk = os.read(main, 65536)
            except OSError as e:  # the terminal is gone with its last user
                if e.errno != errno.EIO:
                    raise
                break
            if not chunk:
                break
            shown += chunk
        os.close(main)
        with child.stderr:
            err = child.stderr.read()
        child.wait(timeout=120)
        return child.returncode, screen_text(shown), err

    @wine_only("no Windows console")
    def test_names_shown_as_typed(self):
        for name in ["образ.bin", "映像.bin", "нет/出力.bin"]:
            with self.subTest(name=name):
                self.assertEqual(self.run_on_console(name, "out.bin"),
                                 (1, "ERROR: Unable to open file " + name + "\n", b""))
                self.assertEqual(self.listing(), [])


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
    """Start wine's server once for the whole suite, in a prefix of the build's own.

    Exits with SKIPPED where this host cannot start the loader at all.
    """
    os.environ["WINEPREFIX"] = os.path.join(os.path.dirname(os.path.abspath(EXE)), "wineprefix")
    os.environ["WINEDEBUG"] = "-all"
    os.environ["WINEDLLOVERRIDES"] = "mscoree,mshtml="
    os.environ["LANG"] = "C.UTF-8"
    os.environ.pop("DISPLAY", None)
    server = shutil.which("wineserver", path=os.path.dirname(WINE) + os.pathsep + os.environ["PATH"])
    # A server that is already up for this prefix refuses a second one; either way one runs.
    if server:
        subprocess.run([server, "-p"], check=False)
    stop = lambda: server and subprocess.run([server, "-k"], check=False)
    try:
        subprocess.run([WINE, "wineboot", "-i"], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, check=True)
    except OSError as e:
        stop()
        if e.errno not in (errno.ENOEXEC, errno.ENOENT):
            raise
        print(f"wine run skipped: this host cannot start {WINE}: {e.strerror}", flush=True)
        sys.exit(SKIPPED)
    return stop


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
