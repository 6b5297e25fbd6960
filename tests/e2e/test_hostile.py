"""The Linux updater against a hostile installation folder, runtime folder and
server: whatever was planted, nothing outside the folder is touched, every guard
ends the run with a cause instead of letting it pass, and no run waits forever."""
import fcntl
import os
import subprocess
import time

from test_terminal import STATUS_PATCH_DONE, STATUS_SERVER_UNREACHABLE, UpdaterTest

FAULT = os.environ.get("CORVANA_TEST_FAULT", "")
STAGING = ".corvana-staging"
OTHER_UID = 65534  # nobody
# Swaps a folder for a link and back until it is ended, counting the swaps:
# SWAPPER FOLDER LINK_TARGET COUNT_FILE.
SWAPPER = """
import os, signal, sys
folder, target, count = sys.argv[1:]
swaps = 0
def done(*_):
    open(count, "w").write(str(swaps))
    sys.exit(0)
signal.signal(signal.SIGTERM, done)
while swaps < 1000000:
    try:
        os.rename(folder, folder + ".real")
        os.symlink(target, folder)
        os.unlink(folder)
        os.rename(folder + ".real", folder)
        swaps += 1
    except OSError:
        pass
done()
"""


class HostileFolders(UpdaterTest):
    def setUp(self):
        super().setUp()
        # Files outside the installation folder that no run may touch.
        self.canaries = self.temp / "canaries"
        (self.canaries / "sub").mkdir(parents=True)
        for name in ("c1.txt", "sub/c2.txt"):
            (self.canaries / name).write_text("canary " + name)

    def canaries_intact(self):
        found = {str(p.relative_to(self.canaries)): p.read_text() for p in self.canaries.rglob("*") if p.is_file()}
        self.assertEqual(found, {"c1.txt": "canary c1.txt", "sub/c2.txt": "canary sub/c2.txt"})

    def update(self, timeout=60):
        """-THIS_FOLDER from the installed client's folder; 171=patch.zip is new."""
        started = time.monotonic()
        result = self.run_updater(["-THIS_FOLDER"], program=str(self.folder / "corvana-updater"), timeout=timeout)
        return result, time.monotonic() - started

    def fresh_client(self, archives):
        if self.folder.exists():
            subprocess.run(["rm", "-rf", str(self.folder)], check=True)
        self.install_client(150)
        self.publish("101=base.zip\n171=patch.zip;patch\n", archives)

    # -- the table: what is planted, what the run must end with
    def test_planted_links_records_and_names_touch_nothing_outside(self):
        patch = {"patch.zip": {"data/new.txt": "new\n"}}

        def staging_link():
            (self.folder / STAGING).symlink_to(self.canaries, target_is_directory=True)

        def staging_file():
            (self.folder / STAGING).write_text("not a folder")

        def staging_sub_folder():
            (self.folder / STAGING / "sub" / "deeper").mkdir(parents=True)
            (self.folder / STAGING / "sub" / "deeper" / "link").symlink_to(self.canaries)

        def journal_outside():
            (self.folder / STAGING).mkdir()
            (self.folder / STAGING / "part1").write_text("planted\n")
            (self.folder / STAGING / "journal").write_bytes(b"part1\0" + bytes(self.canaries / "c1.txt") + b"\0")

        def download_outside():
            (self.folder / STAGING).mkdir()
            (self.folder / STAGING / "download").write_bytes(bytes(self.canaries / "sub" / "c2.txt"))

        def journal_pipe():
            (self.folder / STAGING).mkdir()
            os.mkfifo(self.folder / STAGING / "journal")

        def foreign_link():
            (self.folder / "data").symlink_to(self.canaries / "sub", target_is_directory=True)
            os.lchown(self.folder / "data", OTHER_UID, OTHER_UID)

        cases = [
            # name, plant, archives, status, stdout, stderr
            ("staging is a link to a folder", staging_link, patch, 0, STATUS_PATCH_DONE, None),
            ("staging is a file", staging_file, patch, 0, STATUS_PATCH_DONE, None),
            ("sub-folders and links in staging", staging_sub_folder, patch, 0, STATUS_PATCH_DONE, None),
            ("journal names a file outside", journal_outside, patch, 0, STATUS_PATCH_DONE, "journal: discarded"),
            ("download record names a file outside", download_outside, patch, 0, STATUS_PATCH_DONE,
             "download: discarded"),
            ("journal is a pipe", journal_pipe, patch, 0, STATUS_PATCH_DONE, "journal: discarded"),
            ("an item in the staging folder", lambda: None,
             {"patch.zip": {"ok.txt": "ok", STAGING + "/sub/y.dat": "y"}}, 1, "#-4", "refused as unsafe"),
            ("an item onto the accepted-set record", lambda: None,
             {"patch.zip": {"CORVANA-SIGNED-SET.TXT": "1"}}, 1, "#-4", "a name the updater keeps"),
        ]
        if os.geteuid() == 0:
            cases.append(("an item through another user's link", foreign_link,
                          {"patch.zip": {"ok.txt": "ok", "data/evil.txt": "evil"}}, 1, "#-4",
                          "a link made by another user"))
        for name, plant, archives, status, stdout, stderr in cases:
            with self.subTest(name):
                self.fresh_client(archives)
                plant()
                result, seconds = self.update()
                self.assertEqual(result.returncode, status, result.stdout + result.stderr)
                self.assertIn(stdout, result.stdout)
                if stderr:
                    self.assertIn(stderr, result.stderr)
                self.canaries_intact()
                self.assertFalse(os.path.lexists(self.folder / STAGING))
                self.assertFalse((self.folder / "ok.txt").exists())  # nothing of a refused archive
                self.assertFalse((self.folder / "patch.zip").exists())
                self.assertLess(seconds, 30)
                if status == 0:
                    self.assertEqual((self.folder / "data" / "new.txt").read_text(), "new\n")
                    continue
                # A refused archive leaves nothing that stops the next update.
                self.publish("101=base.zip\n171=patch.zip;patch\n", {"patch.zip": {"after.txt": "after"}})
                result, _ = self.update()
                self.assertEqual(result.returncode, 0, result.stdout + result.stderr)
                self.assertTrue((self.folder / "after.txt").exists())
                self.canaries_intact()

    def test_a_folder_swapped_for_a_link_while_an_archive_installs_touches_nothing_outside(self):
        """Another user who can write the folder swaps data/ for a link to the
        canaries and back, over and over, while an archive of 300 items installs
        there: the folder checked is the folder written, so no canary is touched."""
        if os.geteuid() != 0:
            self.skipTest("another user needs root to be")
        items = {"data/f%03d.txt" % at: "new %d\n" % at for at in range(300)}
        items["data/c1.txt"] = "evil\n"
        self.fresh_client({"patch.zip": items})
        (self.folder / "data").mkdir()
        self.temp.chmod(0o755)  # the other user reaches the folder
        for shared in (self.folder, self.folder / "data"):
            shared.chmod(0o777)
        swaps = self.temp / "swaps"
        swaps.write_text("0")
        swaps.chmod(0o666)
        swapper = subprocess.Popen(
            ["/usr/bin/python3", "-c", SWAPPER, str(self.folder / "data"), str(self.canaries), str(swaps)],
            preexec_fn=lambda: (os.setgid(OTHER_UID), os.setuid(OTHER_UID)))
        try:
            result, _ = self.update()
        finally:
            swapper.terminate()
            swapper.wait(timeout=10)
        self.assertIn(result.returncode, (0, 1), result.stdout + result.stderr)
        self.assertGreater(int(swaps.read_text()), 0)
        self.canaries_intact()
        self.assertEqual(sorted(p.name for p in self.canaries.iterdir()), ["c1.txt", "sub"])

    def test_another_users_runtime_folder_is_passed_by(self):
        """Without XDG_RUNTIME_DIR the fallback's name is another user's 0777 folder
        with the updater's lock held there: the run neither waits nor loses the
        client's answer."""
        if os.geteuid() != 0:
            self.skipTest("a folder of another user needs root to make")
        del self.env["XDG_RUNTIME_DIR"]
        self.env["XDG_CACHE_HOME"] = str(self.temp / "cache")
        squatted = self.temp / ("corvana-runtime-%d" % os.getuid())
        squatted.mkdir()
        squatted.chmod(0o777)
        os.chown(squatted, OTHER_UID, OTHER_UID)
        with open(squatted / "corvana-mutex-CWMutex-Updater.lock", "w") as held:
            fcntl.lockf(held, fcntl.LOCK_EX | fcntl.LOCK_NB)
            self.fresh_client({"patch.zip": {"new.txt": "new"}})
            result, seconds = self.update()
        self.assertEqual(result.returncode, 0, result.stdout + result.stderr)
        self.assertIn("[patch]", result.stdout)  # the client answered 150: only 171 fetched
        self.assertTrue((self.folder / "new.txt").exists())
        self.assertEqual(sorted(p.name for p in squatted.iterdir()), ["corvana-mutex-CWMutex-Updater.lock"])
        self.assertLess(seconds, 30)

    def test_a_plain_file_is_on_the_disk_before_it_replaces_the_old_one(self):
        self.install_client(150)
        (self.folder / "notes.txt").write_text("old\n")
        self.publish("171=notes.txt;notes\n")
        (self.patch_server.normal / "notes.txt").write_text("new\n")
        trace = self.temp / "trace"
        result = subprocess.run(["strace", "-f", "-qq", "-o", str(trace), "-e", "trace=fdatasync,fsync,rename,renameat,renameat2",
                                 str(self.folder / "corvana-updater"), "-THIS_FOLDER"],
                                # LeakSanitizer cannot work under ptrace
                                env=dict(self.env, ASAN_OPTIONS="detect_leaks=0"), capture_output=True, text=True,
                                timeout=60)
        self.assertEqual(result.returncode, 0, result.stdout + result.stderr)
        self.assertEqual((self.folder / "notes.txt").read_text(), "new\n")
        calls = [line.split(None, 1)[1] for line in trace.read_text().splitlines() if " " in line]
        # Moved by its folder's descriptor: renameat(FROM, "partX", FOLDER, "notes.txt").
        moves = [i for i, call in enumerate(calls) if call.startswith("rename") and '"notes.txt")' in call]
        self.assertEqual(len(moves), 1, calls)
        flushes = [i for i, call in enumerate(calls[:moves[0]]) if call.startswith(("fdatasync", "fsync"))]
        self.assertTrue(flushes, calls)


class HostileServers(UpdaterTest):
    def fault_host(self, scenario):
        self.assertTrue(FAULT, "CORVANA_TEST_FAULT is not set: run through tests/support/with_servers.py")
        self.env["CORVANA_PATCH_HOST"] = FAULT + "/" + scenario

    def test_a_captive_portal_is_no_manifest(self):
        self.install_client(150)
        self.fault_host("portal")
        result = self.run_updater(["-THIS_FOLDER"], program=str(self.folder / "corvana-updater"))
        self.assertEqual(result.returncode, 1, result.stdout + result.stderr)
        self.assertIn(STATUS_SERVER_UNREACHABLE, result.stdout)
        self.assertIn("patch_info.txt: not a manifest", result.stderr)
        self.assertEqual(self.client_log(wait=0.3), [])  # nothing started as if up to date

    def test_a_byte_every_eight_seconds_is_a_stalled_transfer(self):
        self.install_client(150)
        self.fault_host("trickle/4000/8000")
        started = time.monotonic()
        result = self.run_updater(["-THIS_FOLDER"], program=str(self.folder / "corvana-updater"), timeout=150)
        seconds = time.monotonic() - started
        self.assertEqual(result.returncode, 1, result.stdout + result.stderr)
        self.assertIn("the transfer stalled: fewer than 1024 bytes in 60 s", result.stderr)
        self.assertLess(seconds, 100)  # 60 s of trickle, the next byte, the 10 s ending
