"""Crash safety of the Linux updater's installs: killed, interrupted or out of
disk at any moment, an archive is installed wholly or not at all, the next start
finishes or discards what was left, and nothing of the updater's stays behind."""
import os
import pathlib
import random
import signal
import subprocess
import time

from test_terminal import UpdaterTest

FILES = 40  # files of the archive
OLD, NEW = b"old version ", b"new version "


def content(prefix, index):
    return prefix + (b"%02d " % index) * 20000  # about 80 KB each


class CrashSafety(UpdaterTest):
    def prepare(self):
        """The client at version 150 with the old files; 171=patch.zip replaces them all."""
        self.install_client(150)
        for i in range(FILES):
            (self.folder / ("f%02d.dat" % i)).write_bytes(content(OLD, i))
        self.publish("101=base.zip\n171=patch.zip;patch\n",
                     {"patch.zip": {"f%02d.dat" % i: content(NEW, i) for i in range(FILES)}})

    def versions(self):
        found = set()
        for i in range(FILES):
            data = (self.folder / ("f%02d.dat" % i)).read_bytes()
            found.add("new" if data == content(NEW, i) else "old" if data == content(OLD, i) else "torn")
        return found

    def debris(self):
        ours = [p.name for p in self.folder.iterdir()
                if p.name in (".corvana-staging", "patch.zip") or ".part" in p.name]
        return sorted(ours)

    def test_every_archive_is_wholly_old_or_wholly_new_after_any_interruption(self):
        self.prepare()
        updater = str(self.folder / "corvana-updater")  # -THIS_FOLDER: the program's own folder
        rng = random.Random(20261208)
        # 30 hard kills spread over the fetch, the save, the unpack and the moves,
        # then Ctrl-C and SIGTERM, which must also report the truth.
        trials = [signal.SIGKILL] * 30 + [signal.SIGINT] * 5 + [signal.SIGTERM] * 5
        started = 0
        for number, sent in enumerate(trials):
            with self.subTest(trial=number, signal=sent.name):
                for i in range(FILES):  # back to the old version
                    (self.folder / ("f%02d.dat" % i)).write_bytes(content(OLD, i))
                log = self.folder / "cw.log"
                log.unlink(missing_ok=True)
                process = subprocess.Popen([updater, "-THIS_FOLDER"], env=self.env, stdin=subprocess.DEVNULL,
                                           stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
                time.sleep(rng.uniform(0.25, 0.8))
                process.send_signal(sent)
                status = process.wait(timeout=30)
                state = self.versions()
                journal = (self.folder / ".corvana-staging" / "journal").exists()
                self.assertTrue(state in ({"old"}, {"new"}) or journal,
                                "a mixed folder without a journal: %s" % state)
                if sent != signal.SIGKILL:
                    time.sleep(0.3)  # a client that was started logs at once
                    client = log.exists()
                    self.assertEqual(status == 0, client, "status %d, client started: %s" % (status, client))
                    self.assertIn(status, (0, 2))
                    if client:
                        self.assertEqual(state, {"new"})
                        started += 1
                # The next start finishes or discards it, then installs the archive again.
                result = self.run_updater(["-THIS_FOLDER"], program=updater)
                self.assertEqual(result.returncode, 0, result.stdout + result.stderr)
                self.assertEqual(self.versions(), {"new"})
                self.assertEqual(self.debris(), [])
        print("interruptions: %d, of which the client was started before the signal took effect: %d"
              % (len(trials), started))

    def test_a_full_disk_keeps_the_old_files_and_leaves_nothing(self):
        disk = self.temp / "disk"
        disk.mkdir()
        if subprocess.run(["mount", "-t", "tmpfs", "-o", "size=2m", "tmpfs", str(disk)],
                          capture_output=True).returncode != 0:
            self.skipTest("this machine does not let the tests mount a small file system")
        self.addCleanup(subprocess.run, ["umount", "-l", str(disk)])
        folder = disk / "Corvana"
        randomness = random.Random(7)
        noise = lambda size: bytes(randomness.getrandbits(8) for _ in range(size))
        cases = {
            "an archive larger than the free space": ("1=big.zip\n", {"big.zip": {"f.bin": noise(2500000)}}),
            "a file that is not an archive": ("1=f.bin\n", None),
            "an archive that declares more than the free space": (
                "1=zeros.zip\n", {"zeros.zip": {"f.bin": b"\0" * 50000000}}),
        }
        for name, (manifest, archives) in cases.items():
            with self.subTest(name):
                folder.mkdir(exist_ok=True)
                (folder / "f.bin").write_bytes(b"old " * 250000)
                self.publish(manifest, archives)
                if archives is None:
                    (self.patch_server.normal / "f.bin").write_bytes(noise(2500000))
                result = self.run_updater(stdin=str(disk) + "\n")
                self.assertEqual(result.returncode, 1, result.stdout + result.stderr)
                self.assertIn("#-5", result.stdout)
                self.assertEqual((folder / "f.bin").read_bytes(), b"old " * 250000)
                self.assertEqual(sorted(p.name for p in folder.iterdir()), ["f.bin"])
