#!/usr/bin/env python3
"""While the tool runs: the trailer's sum is the sum of the bytes written,
whatever happens to the input meanwhile; a pipe gets nothing until the input
has ended; a file put in the output's place is replaced in turn, and many
runs that stamp one output at once all succeed."""
import concurrent.futures
import fcntl
import os
import random
import stat
import subprocess
import termios
import threading
import time

import harness
from harness import failed, stamped


class WhileTheToolRuns(harness.ToolTest):
    system = "posix"

    def test_a_pipe_gets_nothing_before_the_input_ends(self):
        os.mkfifo(self.path("in"))
        os.mkfifo(self.path("out"))
        proc = subprocess.Popen(harness.LAUNCHER + [harness.BINARY, "in", "out"], cwd=self.dir, stdout=subprocess.PIPE)
        opened = threading.Event()
        received = []

        def read_output():
            with open(self.path("out"), "rb") as f:
                opened.set()
                received.append(f.read())
        reader = threading.Thread(target=read_output)
        reader.start()
        try:
            with open(self.path("in"), "wb") as f:
                f.write(b"<first/>\r\n")
                f.flush()
                self.assertFalse(opened.wait(0.5), "the output was opened before the input ended")
                f.write(b"<second/>")
            self.assertEqual(proc.wait(timeout=30), 0)
        finally:
            if proc.poll() is None:
                proc.kill()
            reader.join(timeout=30)
            proc.stdout.close()
        self.assertEqual(received, [stamped(b"<first/>\r\n<second/>")])

    def test_an_input_that_changes_gives_a_consistent_stamp(self):
        harness.need_strace(self)
        old = random.Random(3).randbytes(20 << 20)
        new = bytes(255 - b for b in old)
        cases = [
            # (the call during which the input changes, its change, what is stamped)
            ("the copy", lambda f: f.truncate(5 << 20), old[:5 << 20]),
            ("the copy", lambda f: f.write(new), new),
            ("the read-back", lambda f: f.truncate(0), old),
            ("the read-back", lambda f: f.write(new), old),
        ]
        for moment, change, content in cases:
            with self.subTest(moment):
                self.put("in.xml", old)
                calls, _ = harness.traced(["in.xml", "out.xml"], self.dir, check=True)
                if moment == "the copy":
                    call, when = harness.occurrence(calls, {"copy_file_range"})
                else:  # the second read of the staged copy
                    staged = harness.staging_descriptor(calls)
                    call, when = harness.occurrence(calls, {"read"}, lambda args: args.startswith(staged + ","), nth=2)
                proc = subprocess.Popen(["strace", "-qq", "-o", "/dev/null", "-e",
                                         "inject=%s:delay_enter=1000000:when=%d" % (call, when),
                                         harness.BINARY, "in.xml", "out.xml"], cwd=self.dir, stdin=subprocess.DEVNULL,
                                        env=harness.UNDER_PTRACE)
                time.sleep(0.3)
                with open(self.path("in.xml"), "r+b") as f:
                    change(f)
                self.assertEqual(proc.wait(timeout=60), 0)
                self.assertEqual(self.get("out.xml"), stamped(content))

    def test_a_name_replaced_before_the_rename(self):
        """Another file put in the output's place meanwhile, as another run's
        stamp is, is replaced in turn; a name that leads elsewhere now is left
        alone."""
        def link_to(target):
            return lambda path: (os.remove(path), os.symlink(target, path))

        def other(name):
            return lambda path: os.rename(self.path(name), path)
        cases = [
            # (case, output, what becomes of out.xml or link.xml, or both, once the output was looked up)
            ("another file by the name", "out.xml", {"out.xml": other("other.xml")}),
            ("another file where the link leads", "link.xml", {"out.xml": other("other.xml")}),
            ("a link to elsewhere by the name", "out.xml", {"out.xml": link_to("sub/other.xml")}),
            ("its file replaced, the link leads elsewhere", "link.xml",
             {"out.xml": other("sub/other.xml"), "link.xml": link_to("other.xml")}),
            ("a pipe by the name", "out.xml", {"out.xml": lambda path: (os.remove(path), os.mkfifo(path))}),
        ]
        for case, output, changes in cases:
            with self.subTest(case):
                self.reset()
                self.make({"out.xml": b"old", "other.xml": b"other", "sub/other.xml": b"other", "link.xml": "-> out.xml"})
                os.mkfifo(self.path("in.xml"))
                proc = subprocess.Popen(harness.LAUNCHER + [harness.BINARY, "in.xml", output], cwd=self.dir, stdin=subprocess.DEVNULL,
                                        stdout=subprocess.PIPE)
                with proc.stdout, open(self.path("in.xml"), "wb") as f:
                    f.write(b"<a/>")
                    f.flush()
                    # Once the input is being read, the output has been looked up;
                    # a run that ends before that is a failure the checks below show.
                    while fcntl.ioctl(f, termios.FIONREAD, bytes(4)) != bytes(4) and proc.poll() is None:
                        time.sleep(0.01)
                    for name, change in changes.items():
                        change(self.path(name))
                    before = self.tree()
                    f.close()
                    outcome = proc.wait(timeout=60), proc.stdout.read()
                if "elsewhere" in case or "pipe" in case:
                    self.assertEqual(outcome, (1, failed(b"can't write the output file %s" % output.encode(),
                                                         b"Stale file handle")))
                    self.assertEqual(self.tree(), before)
                else:
                    self.assertEqual(outcome, (0, b""))
                    self.assertEqual(self.tree(), dict(before, **{"out.xml": stamped(b"<a/>")}))

    def test_parallel_stamps_of_one_output_all_succeed(self):
        self.make({"in.xml": b"<item/>\r\n" * 1000, "out.xml": b"old"})
        os.chmod(self.path("out.xml"), 0o640)
        with concurrent.futures.ThreadPoolExecutor(20) as pool:
            barrier = threading.Barrier(20)

            def stamp(_):
                barrier.wait()
                return self.run_tool("in.xml", "out.xml")
            results = list(pool.map(stamp, range(20)))
        self.assertEqual(results, [(0, b"")] * 20)
        self.assertEqual(self.get("out.xml"), stamped(b"<item/>\r\n" * 1000))
        self.assertEqual(stat.S_IMODE(os.stat(self.path("out.xml")).st_mode), 0o640)
        self.assertEqual(sorted(os.listdir(self.dir)), ["in.xml", "out.xml"])


if __name__ == "__main__":
    harness.main()
