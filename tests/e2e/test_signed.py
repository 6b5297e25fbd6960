"""The Linux updater built with a publisher's key (CORVANA_PUBLIC_KEY), against
patch sets signed by tools/make-patch-set --sign with the matching secret key
(CORVANA_E2E_SIGNING_KEY, made with minisign when the test build was configured)."""
import os
import pathlib
import subprocess
import sys

from common import MAKE_PATCH_SET, make_zip
from test_terminal import STANDINS, STATUS_PATCH_DONE, UPDATER, UpdaterTest

KEY = os.environ.get("CORVANA_E2E_SIGNING_KEY", "")


class SignedSets(UpdaterTest):
    def sign_and_publish(self, *entries):
        source = self.temp / "source"
        (source / "base").mkdir(parents=True, exist_ok=True)
        (source / "base" / "readme.txt").write_text("signed\n")
        (source / "base" / "cw.exe").write_bytes((STANDINS / "cw.exe").read_bytes())
        (source / "base" / "cw.exe").chmod(0o755)
        subprocess.run([sys.executable, str(MAKE_PATCH_SET), "--sign", KEY, str(self.patch_server.normal),
                        *entries], check=True, capture_output=True)

    def test_a_signed_set_installs_and_a_tampered_one_is_refused(self):
        self.sign_and_publish("101=%s;base" % (self.temp / "source" / "base"))
        result = self.install_fresh()
        self.assertEqual(result.returncode, 0, result.stdout + result.stderr)
        self.assertIn(STATUS_PATCH_DONE, result.stdout)
        self.assertEqual((self.folder / "readme.txt").read_text(), "signed\n")

        # The archive swapped on the way: nothing of it is saved, nothing started.
        (self.folder / "readme.txt").unlink()
        (self.folder / "cw.log").unlink()
        make_zip(self.patch_server.normal / "base.zip", {"readme.txt": "forged\n"})
        result = self.install_fresh()
        self.assertEqual(result.returncode, 1, result.stdout + result.stderr)
        self.assertIn("#-6", result.stdout)
        self.assertIn("corvana-updater: base.zip: SHA-256 differs from SHA256SUMS", result.stderr)
        self.assertFalse((self.folder / "readme.txt").exists())
        self.assertFalse((self.folder / "base.zip").exists())
        self.assertFalse((self.folder / "cw.log").exists())

    def test_an_unsigned_set_is_refused(self):
        self.publish("1=a.zip\n", {"a.zip": {"a.txt": "a"}})
        result = self.install_fresh()
        self.assertEqual(result.returncode, 1, result.stdout + result.stderr)
        self.assertIn("corvana-updater: SHA256SUMS.minisig: missing", result.stderr)
        self.assertFalse((self.folder / "a.txt").exists())

    def test_the_rollback_guard_fails_closed(self):
        """A record that cannot be read or replaced installs nothing; a run killed
        while the record is written leaves nothing behind."""
        self.sign_and_publish("101=%s;base" % (self.temp / "source" / "base"))
        record = self.folder / "corvana-signed-set.txt"
        cases = [
            ("a folder in its place", lambda: (record / "x").mkdir(parents=True), "cannot be read"),
            ("a read-only record", lambda: (record.write_text("5\n"), record.chmod(0o444)),
             "the accepted set cannot be recorded (%s: the file is read-only)" % record),
            ("garbage", lambda: record.write_text("12 later\n"), "holds no timestamp"),
            ("a newer set accepted", lambda: record.write_text("99999999999\n"), "older than the set accepted before"),
        ]
        for name, plant, cause in cases:
            with self.subTest(name):
                subprocess.run(["rm", "-rf", str(self.folder)], check=True)
                self.folder.mkdir(parents=True)
                plant()
                result = self.install_fresh()
                self.assertEqual(result.returncode, 1, result.stdout + result.stderr)
                self.assertIn("#-6", result.stdout)
                self.assertIn(cause, result.stderr)
                self.assertFalse((self.folder / "readme.txt").exists())
                self.assertFalse((self.folder / ".corvana-staging").exists())
        for syscall in ("fdatasync", "rename,renameat,renameat2", "fsync"):
            with self.subTest(killed_at=syscall):
                subprocess.run(["rm", "-rf", str(self.folder)], check=True)
                (self.temp / "Games").mkdir(exist_ok=True)
                killed = subprocess.run(["strace", "-f", "-qq", "-o", "/dev/null", "-e",
                                         "inject=%s:signal=KILL:when=1" % syscall, UPDATER],
                                        input=str(self.temp / "Games") + "\n", env=self.env, capture_output=True,
                                        text=True, timeout=60)
                self.assertNotEqual(killed.returncode, 0, killed.stdout + killed.stderr)
                self.assertFalse((self.folder / "readme.txt").exists())
                result = self.install_fresh()
                self.assertEqual(result.returncode, 0, result.stdout + result.stderr)
                self.assertEqual((self.folder / "readme.txt").read_text(), "signed\n")
                debris = [p.name for p in self.folder.iterdir() if ".part" in p.name or p.name.startswith(".corvana")]
                self.assertEqual(debris, [])
                self.assertRegex(record.read_text(), r"^\d+\n$")
