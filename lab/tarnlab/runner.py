"""Runs the lab's unittest files and ends with the line `lab: N passed, N failed, N skipped`."""

import os
import sys
import unittest

BIN_ENV = "TARN_LAB_BIN"
TEST_PATTERN = "*Test.py"


class _CountingResult(unittest.TextTestResult):
    """Counts each test once: a test with any failing subtest is failed."""

    def __init__(self, *args, **kwargs):
        super().__init__(*args, **kwargs)
        self.passed = []
        self.failed_ids = []
        self.skip_reasons = []

    def _fail(self, test):
        ident = test.id()
        if ident not in self.failed_ids:
            self.failed_ids.append(ident)

    def addSuccess(self, test):
        super().addSuccess(test)
        self.passed.append(test.id())

    def addFailure(self, test, err):
        super().addFailure(test, err)
        self._fail(test)

    def addError(self, test, err):
        super().addError(test, err)
        self._fail(test)

    def addSubTest(self, test, subtest, err):
        super().addSubTest(test, subtest, err)
        if err is not None:
            self._fail(test)

    def addUnexpectedSuccess(self, test):
        super().addUnexpectedSuccess(test)
        self._fail(test)

    def addExpectedFailure(self, test, err):
        super().addExpectedFailure(test, err)
        self.passed.append(test.id())

    def addSkip(self, test, reason):
        super().addSkip(test, reason)
        self.skip_reasons.append(reason)


def run_tests(test_dir, bin_dir, name_pattern=None, verbosity=2):
    """Discovers *Test.py in test_dir, runs them, prints the summary line; returns the exit status."""
    os.environ[BIN_ENV] = bin_dir
    loader = unittest.TestLoader()
    if name_pattern:
        loader.testNamePatterns = [f"*{name_pattern}*"]
    suite = loader.discover(test_dir, pattern=TEST_PATTERN, top_level_dir=test_dir)
    runner = unittest.TextTestRunner(stream=sys.stdout, verbosity=verbosity, resultclass=_CountingResult)
    result = runner.run(suite)
    for reason in sorted(set(result.skip_reasons)):
        print(f"lab: skipped because {reason}")
    failed = len(result.failed_ids)
    print(f"lab: {len(result.passed)} passed, {failed} failed, {len(result.skip_reasons)} skipped", flush=True)
    return 1 if failed else 0
