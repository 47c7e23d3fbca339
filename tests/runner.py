#!/usr/bin/env python3
"""Runs the unittest scripts under CTest: one CTest test for each class of
tests, so that CTest shows progress and runs them side by side, and a test
that cannot run on this machine reported as CTest's skip, never as a pass.

    runner.py SCRIPT SYSTEM     the classes of tests/SCRIPT.py for SYSTEM
                                (posix or windows), one a line

A class that tests what only one system has says so in its `system`
attribute. A test skipped for want of something this machine lacks gives a
reason that begins with "needs "; `main` then ends with status 77, which
tests/CMakeLists.txt declares as the skip.
"""
import importlib
import os
import sys
import unittest

SKIPPED = 77


def need(test, found, what, install):
    """Skips `test` unless what it needs was `found`, naming how to install
    it. Under CI, whose machine .ci/run equips, a missing piece fails."""
    if found:
        return
    message = "needs %s (%s)" % (what, install)
    if os.environ.get("CI"):
        test.fail(message)
    test.skipTest(message)


def main(argv):
    """Runs the tests as unittest.main does and exits 0 when they passed, 1
    when any failed, and 77 when they passed but some could not run here or
    none ran at all."""
    result = unittest.main(argv=argv, exit=False).result
    if not result.wasSuccessful():
        sys.exit(1)
    wanting = [(test, reason) for test, reason in result.skipped if reason.startswith("needs ")]
    # A skipped subtest leaves the rest of its test to run.
    ran = result.testsRun - sum(not hasattr(test, "test_case") for test, _ in result.skipped)
    script = os.path.splitext(os.path.basename(argv[0]))[0]
    for test, reason in wanting if ran else result.skipped:
        print("Skipped: %s %s" % (test.id().replace("__main__", script), reason))
    sys.exit(SKIPPED if wanting or not ran else 0)


def classes(script, system):
    """The names of the classes in `script` that hold tests for `system`."""
    module = importlib.import_module(script)
    loader = unittest.TestLoader()
    for name, value in vars(module).items():
        if (isinstance(value, type) and issubclass(value, unittest.TestCase) and value.__module__ == script
                and getattr(value, "system", None) in (None, system) and loader.getTestCaseNames(value)):
            yield name


if __name__ == "__main__":
    print("\n".join(classes(sys.argv[1], sys.argv[2])))
