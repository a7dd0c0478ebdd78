"""tarn-lab as `cmake --install` and the tarn-tools package lay it out: bin/tarn-lab, the package in
share/tarn-lab, the programs beside the script. Needs neither root nor the lab."""

import os
import shutil
import subprocess
import sys
import tempfile
import unittest

import labsupport  # noqa: F401  (the lab package's import path)
from tarnlab import programs

LAB_DIR = os.path.join(programs.REPO_ROOT, "lab")


class InstallLayoutTest(unittest.TestCase):
    def setUp(self):
        self.prefix = tempfile.mkdtemp()
        self.addCleanup(shutil.rmtree, self.prefix)
        os.makedirs(os.path.join(self.prefix, "bin"))
        shutil.copy(os.path.join(LAB_DIR, "tarn-lab"), os.path.join(self.prefix, "bin"))
        shutil.copytree(os.path.join(LAB_DIR, "tarnlab"), os.path.join(self.prefix, "share", "tarn-lab", "tarnlab"),
                        ignore=shutil.ignore_patterns("__pycache__"))

    def run_lab(self, *args):
        return subprocess.run([sys.executable, os.path.join(self.prefix, "bin", "tarn-lab"), *args],
                              capture_output=True, text=True, timeout=60)

    def testTheInstalledScriptFindsItsPackageAndLooksForTheProgramsBesideItself(self):
        done = self.run_lab("demo", "--help")
        self.assertEqual(done.returncode, 0, done.stderr)
        self.assertIn("--plot", done.stdout)
        check = subprocess.run(
            [sys.executable, "-c", "import sys; sys.path.insert(0, sys.argv[1]); from tarnlab import programs; "
             "print(programs.INSTALLED, programs.default_bin_dir())", os.path.join(self.prefix, "share", "tarn-lab")],
            capture_output=True, text=True, timeout=60)
        self.assertEqual(check.stdout.split(), ["True", os.path.join(self.prefix, "bin")], check.stderr)

    def testTheRepositoryLabUsesTheStagedBuild(self):
        self.assertFalse(programs.INSTALLED)
        self.assertEqual(programs.default_bin_dir(), os.path.join(programs.REPO_ROOT, "build", "stage", "bin"))

    def testTheTestsAreNotInstalled(self):
        done = self.run_lab("test")
        self.assertEqual(done.returncode, 2)
        self.assertIn("not installed", done.stderr)


if __name__ == "__main__":
    unittest.main()
