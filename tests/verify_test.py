#!/usr/bin/env python3
"""xmlstamp-verify: one line for each file with its verdict, the worst
verdict as the exit status, a report not written whole a failure, and the
memory needed the same for any size of file."""
import itertools
import os
import random
import re
import shutil
import subprocess
import sys
import tempfile

import harness
from harness import CSI, MARKER, PLAIN, RETITLES, checksum, posix_only, stamped


class Verify(harness.ToolTest):
    def verify(self, *args):
        return self.run_program(harness.VERIFY, args)

    def test_verdicts(self):
        good = stamped(b"<a/>\r\n")  # sums to 312
        head = MARKER + b"\r\n<CRC key='CheckNum' value='"
        lf = b"its line ends are LF, not CR LF: git's core.autocrlf or a text-mode copy converted them"
        final = b"a line end follows the trailer: an editor or PowerShell added it"
        formatted = b"its trailer is not as xmlstamp writes it: an XML formatter closed the element or changed its quotes"
        element = good.index(b"<CRC")
        cases = [
            # (case, the file, exit status, its verdict, the cause on standard error)
            ("fresh", good, 0, b"ok (312)", None),
            ("empty body", head + b"0'>", 0, b"ok (0)", None),
            ("body edited", good.replace(b"<a/>", b"<b/>"), 1,
             b"checksum mismatch: the trailer says 312, the content sums to 313", None),
            ("value edited", good.replace(b"312", b"300"), 1,
             b"checksum mismatch: the trailer says 300, the content sums to 312", None),
            ("trailer removed", b"<a/>\r\n", 1, b"not stamped", None),
            ("text after it", good + b"\r\n", 1, b"malformed trailer", final),
            ("final LF", good + b"\n", 1, b"malformed trailer", final),
            ("two trailers", good + good, 1, b"malformed trailer",
             b"it is two stamped files one after the other, the first 59 bytes long: a copy or a script joined them"),
            ("git's LF", good.replace(b"\r\n", b"\n"), 1, b"malformed trailer", lf),
            ("git's LF and a final one", good.replace(b"\r\n", b"\n") + b"\n", 1, b"malformed trailer",
             lf + b"; " + final),
            ("copied twice in text mode", good.replace(b"\r\n", b"\r\r\n"), 1, b"malformed trailer",
             b"its line ends are CR CR LF, not CR LF: a text-mode copy added a CR to each"),
            ("Notepad's BOM", b"\xef\xbb\xbf" + good, 1,
             b"checksum mismatch: the trailer says 312, the content sums to 929",
             b"it begins with a UTF-8 byte order mark that the sum does not cover: an editor saved it with one"),
            ("PowerShell's UTF-16", b"\xff\xfe" + (good + b"\r\n").decode().encode("utf-16-le"), 1, b"not stamped",
             b"it is UTF-16 text, not the bytes that were stamped: Windows PowerShell's > or Out-File wrote it; " + final),
            ("UTF-16 edited", b"\xff\xfe" + good.replace(b"a", b"b").decode().encode("utf-16-le"), 1, b"not stamped",
             b"it is UTF-16 text, in which no marker can be found as bytes; decoded, its stamp is not right either"),
            ("element closed", good[:-1] + b"/>", 1, b"malformed trailer", formatted),
            ("closing tag", good + b"</CRC>", 1, b"malformed trailer", formatted),
            ("double quotes", good[:element] + good[element:].replace(b"'", b'"'), 1, b"malformed trailer", formatted),
            ("edited, then LF", good.replace(b"<a/>", b"<b/>").replace(b"\r\n", b"\n"), 1, b"malformed trailer", None),
            ("leading zero", good.replace(b"'312'", b"'0312'"), 1, b"malformed trailer", None),
            ("signed", good.replace(b"'312'", b"'+312'"), 1, b"malformed trailer", None),
            ("no '>", good[:-2], 1, b"malformed trailer", None),
            ("largest value", good.replace(b"'312'", b"'4294967295'"), 1,
             b"checksum mismatch: the trailer says 4294967295, the content sums to 312", None),
            ("value over 32 bits", good.replace(b"'312'", b"'4294967296'"), 1, b"malformed trailer", None),
            # Bodies of 0xFF and CR LF: the first sums past 2^31, the second wraps past 2^32.
            ("sum over 2^31", stamped(b"\xff" * 8421505), 0, b"ok (%d)" % (255 * 8421505 + 23), None),
            ("sum wrapped", stamped(b"\xff" * 16843009), 0, b"ok (%d)" % ((255 * 16843009 + 23) % 2**32), None),
        ]
        for name, content, status, verdict, cause in cases:
            with self.subTest(name):
                self.put("f.xml", content)
                told = b"f.xml: %s (see docs/troubleshooting.md)\n" % cause if cause else b""
                self.assertEqual(self.verify("f.xml"), (status, b"f.xml: " + verdict + b"\n", told))
                self.assertEqual(self.verify("-q", "f.xml"), (status, b"", b""))
                self.assertEqual(self.get("f.xml"), content)

    def test_a_report_not_written_whole_is_a_failure(self):
        """A CI job that keeps the report in a file on a full disk must not
        pass with an empty report."""
        self.put("ok.xml", stamped(b"abc"))
        self.put("plain.xml", b"abc")
        cases = [
            # (arguments, standard output, exit status, the reason on standard error, or None for nothing)
            (["ok.xml"], "/dev/full", 2, b"No space left on device"),
            (["ok.xml"], "closed", 2, b"Bad file descriptor"),
            (["plain.xml", "ok.xml"], "/dev/full", 2, b"No space left on device"),
            (["--version"], "/dev/full", 2, b"No space left on device"),
            (["--help"], "closed", 2, b"Bad file descriptor"),
            (["-q", "ok.xml"], "/dev/full", 0, None),
            (["-q", "plain.xml"], "closed", 1, None),
        ]
        for args, lost, status, reason in cases:
            with self.subTest(args=args, stdout=lost):
                code, err = self.run_into(lost, harness.VERIFY, *args)
                # Windows words its reasons its own way.
                err = re.sub(rb" \(.+\)\r\n$", b" (...)\n", err) if harness.WINDOWS else err
                reason = b"..." if harness.WINDOWS and reason else reason
                message = b"xmlstamp-verify: write error (%s)\n" % reason if reason else b""
                self.assertEqual((code, err), (status, message))

    def test_unreadable_files_and_mixed_verdicts(self):
        self.put("good.xml", stamped(b"abc"))
        self.put("plain.xml", b"abc")
        os.mkdir(self.path("folder"))
        code, out, _ = self.verify("good.xml", "missing.xml", "plain.xml", "folder", "good.xml")
        self.assertEqual(code, 2)
        lines = out.split(b"\n")
        self.assertEqual(lines[0], b"good.xml: ok (317)")
        self.assertRegex(lines[1], rb"^missing\.xml: can't read \(%s\)$" % (
            rb"[^)]+" if harness.WINDOWS else rb"No such file or directory"))
        self.assertEqual(lines[2], b"plain.xml: not stamped")
        self.assertRegex(lines[3], rb"^folder: can't read \([^)]+\)$")
        self.assertEqual(lines[4:], [b"good.xml: ok (317)", b""])

        self.assertEqual(self.verify("good.xml", "plain.xml", "good.xml")[0], 1)
        self.assertEqual(self.verify("good.xml", "good.xml")[0], 0)
        self.assertEqual(self.verify("-q", "plain.xml", "missing.xml"), (2, b"", b""))

    @posix_only
    def test_control_characters_in_names_are_escaped(self):
        """On Windows names with controls come from a listing: windows_batch_test.py."""
        good = stamped(b"abc")
        final = b"a line end follows the trailer: an editor or PowerShell added it"
        rows = [
            # (the file's name, its content or None for none, its line, the cause or None)
            (RETITLES[0] + ".xml", good, RETITLES[1] + b".xml: ok (317)", None),
            (CSI[0] + ".xml", good.replace(b"317", b"316"), CSI[1] + b".xml: checksum mismatch: the trailer says "
             b"316, the content sums to 317", None),
            ("tab\there\x7f.xml", b"abc", b"tab\\x09here\\x7f.xml: not stamped", None),
            (PLAIN[0] + ".xml", good + b"\n", PLAIN[1] + b".xml: malformed trailer", final),
            (CSI[0] + "2.xml", good + b"\n", CSI[1] + b"2.xml: malformed trailer", final),
            (RETITLES[0] + "/none.xml", None, RETITLES[1] + b"/none.xml: can't read (No such file or directory)", None),
        ]
        for name, content, _, _ in rows:
            if content is not None:
                self.put(name, content)
        causes = [line[:line.index(b": ")] + b": %s (see docs/troubleshooting.md)\n" % cause
                  for _, _, line, cause in rows if cause]
        self.assertEqual(self.verify(*(name for name, _, _, _ in rows)),
                         (2, b"".join(line + b"\n" for _, _, line, _ in rows), b"".join(causes)))

    def test_exit_status_is_the_worst_verdict_in_any_order(self):
        self.put("ok.xml", stamped(b"abc"))
        self.put("mismatch.xml", stamped(b"abc").replace(b"abc", b"abd"))
        status = {"ok.xml": 0, "mismatch.xml": 1, "missing.xml": 2}
        for names in itertools.chain(*(itertools.permutations(status, n) for n in (2, 3))):
            with self.subTest(names):
                self.assertEqual(self.verify("-q", *names), (max(status[name] for name in names), b"", b""))

    def test_verdicts_across_a_window_edge(self):
        # A file is read in windows of a power of two up to 8 MiB: this is an edge of each.
        edge = 8 << 20
        body = (b"<item/><!-- x -->\r\n" * (edge // 19 + 1))[:edge]

        def good(size):
            return stamped(body[:size] + MARKER)

        def ok(size):
            return b"ok (%d)" % (sum(body[:size]) % 2**32)

        trailer = len(good(edge)) - edge
        edited = bytearray(good(edge))
        edited[edge - 1] += 1
        rows = [
            (good(edge - 8), ok(edge - 8)),  # the marker across the edge
            (good(edge - 47), ok(edge - 47)),  # its value across it
            (good(edge - trailer), ok(edge - trailer)),  # the trailer ends at it
            (good(edge - trailer + 1), ok(edge - trailer + 1)),  # ... one byte after it
            (bytes(edited), b"checksum mismatch: the trailer says %s, the content sums to %d" % (
                ok(edge)[4:-1], sum(body) % 2**32 + 1)),
            (good(edge - trailer + 1)[:-1] + b")", b"malformed trailer"),
            (good(edge - trailer) + b"\n", b"malformed trailer"),
            (good(edge - 40) + stamped(MARKER), b"malformed trailer"),
            (body[:edge - 8] + MARKER[:-1] + body[:100], b"not stamped"),
        ]
        for n, (content, _) in enumerate(rows):
            self.put("f%d.xml" % n, content)
        code, out, _ = self.verify(*("f%d.xml" % n for n in range(len(rows))))
        self.assertEqual((code, out.splitlines()),
                         (1, [b"f%d.xml: %s" % (n, line) for n, (_, line) in enumerate(rows)]))

    @posix_only
    def test_a_pipe_is_read_like_a_file(self):
        content = stamped(b"<item/>\r\n" * 100000)
        proc = subprocess.run(harness.LAUNCHER + [harness.VERIFY, "/dev/stdin"], input=content, stdout=subprocess.PIPE,
                              timeout=60)
        self.assertEqual((proc.returncode, proc.stdout), (0, b"/dev/stdin: ok (%d)\n" % checksum(content)))
        # A refused one is not read again for a cause: opened again, it would wait for another writer.
        os.mkfifo(self.path("fifo"))
        self.put("lf.xml", content.replace(b"\r\n", b"\n"))
        writer = subprocess.Popen(["cp", self.path("lf.xml"), self.path("fifo")])
        self.addCleanup(writer.wait)
        self.assertEqual(self.verify("fifo"), (1, b"fifo: malformed trailer\n", b""))

    def test_command_line(self):
        usage = b"usage: xmlstamp-verify [-q] FILE...\n"
        self.assertEqual(self.verify(), (2, b"", usage))
        self.assertEqual(self.verify("-q"), (2, b"", usage))
        code, out, err = self.verify("--help")
        self.assertEqual((code, err), (0, b""))
        self.assertEqual(self.verify("-h"), (code, out, err))
        self.assertTrue(out.startswith(usage), out)
        for text in (b"-q, --quiet", b"-h, --help", b"--version", b"  -- ", b"FILE: ok (SUM)", b"checksum mismatch",
                     b"not stamped", b"malformed trailer", b"can't read (REASON)", b"Exit status: 0"):
            self.assertIn(text, out)
        self.assertEqual(self.verify("-x", "a"), (2, b"", b"xmlstamp-verify: unknown option -x\n" + usage))
        self.put("-q", stamped(b""))
        self.assertEqual(self.verify("--", "-q"), (0, b"-q: ok (23)\n", b""))
        self.assertEqual(self.verify("--quiet", "--", "-q"), (0, b"", b""))

    def test_accepts_everything_the_stamping_tool_writes(self):
        rng = random.Random(5)
        pieces = [MARKER, b"<!--CRC", b"\r\n", b"\0", b"\x1a", b"\xff", b"<CRC key='CheckNum' value='9'>"]
        names = []
        for i in range(25):
            content = b"".join(rng.choice(pieces) if rng.random() < 0.3 else rng.randbytes(rng.randrange(50))
                               for _ in range(rng.randrange(8)))
            self.put("in%d" % i, content)
            self.assertEqual(self.run_tool("in%d" % i, "out%d" % i), (0, b""))
            names.append("out%d" % i)
        code, out, _ = self.verify(*names)
        self.assertEqual(code, 0, out)
        for name, line in zip(names, out.splitlines()):
            self.assertEqual(line, b"%s: ok (%d)" % (name.encode(), checksum(self.get(name))))

    def test_memory_does_not_grow_with_the_file(self):
        if harness.ARGS.sanitized:
            self.skipTest("AddressSanitizer has memory of its own")
        harness.need(self, os.path.exists("/usr/bin/time"), "GNU time", "apt-get install -y time")
        if shutil.disk_usage(self.dir).free < 2 << 30:
            self.skipTest("needs 2 GiB of free disk")
        chunk = (b"<item/>\r\n" * (1 << 17))[:1 << 20]
        sums = {self.path("big.xml"): sum(chunk) * 512 % 2**32}
        with open(self.path("big.xml"), "wb") as f:
            for _ in range(512):
                f.write(chunk)
            f.write(MARKER + b"\r\n<CRC key='CheckNum' value='%d'>" % sums[f.name])
        # Mostly a hole, which tmpfs reads as the zero page; a disk's file
        # system would take 4 GiB of new cache pages.
        holes = tempfile.TemporaryDirectory(dir="/dev/shm" if os.access("/dev/shm", os.W_OK) else self.dir)
        self.addCleanup(holes.cleanup)
        try:
            with open(os.path.join(holes.name, "huge.xml"), "wb") as f:
                f.seek(3 << 30)
                f.write(b"\x80" * 4096)
                f.seek((4 << 30) + 5)
                f.write(MARKER + b"\r\n<CRC key='CheckNum' value='%d'>" % (0x80 * 4096))
            sums[f.name] = 0x80 * 4096
        except OSError as e:
            print("no sparse file over 4 GiB here (%s): only 512 MiB checked" % e, file=sys.stderr)
        # A child of Python's would count Python's pages; GNU time forks a small one.
        report = self.path("peak")
        proc = subprocess.run(["/usr/bin/time", "-f", "%M", "-o", report, *harness.LAUNCHER, harness.VERIFY, *sums],
                              stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, timeout=600)
        self.assertEqual((proc.returncode, self.text(proc.stdout)),
                         (0, b"".join(b"%s: ok (%d)\n" % (name.encode(), sums[name]) for name in sums)))
        with open(report) as f:
            self.assertLess(int(f.read().split()[-1]) << 10, 16 << 20)


if __name__ == "__main__":
    harness.main()
