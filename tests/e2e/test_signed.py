"""The Linux updater built with a publisher's key (CORVANA_PUBLIC_KEY), against
patch sets signed by tools/make-patch-set --sign with the matching secret key
(CORVANA_E2E_SIGNING_KEY, made with minisign when the test build was configured)."""
import hashlib
import os
import pathlib
import shutil
import subprocess
import sys
import tempfile
import threading
import time
import unittest
import urllib.request

from common import MAKE_PATCH_SET, PatchServer, make_zip
from test_terminal import STANDINS, STATUS_PATCH_DONE, STATUS_SERVER_UNREACHABLE, UPDATER, UpdaterTest

KEY = os.environ.get("CORVANA_E2E_SIGNING_KEY", "")
# The Windows build of the publisher and the Wine prefix it runs in (scripts/run-tests sets both).
WIN_PUBLISHER = os.environ.get("CORVANA_E2E_WIN_PUBLISHER", "")
WINE_RUN = str(pathlib.Path(__file__).resolve().parents[2] / "scripts" / "wine-run")


def windows_path(path):
    """A Linux path as a Windows program under Wine names it (the root is drive Z:)."""
    return "Z:" + str(path).replace("/", "\\")


class SignedSets(UpdaterTest):
    def sign_and_publish(self, *entries):
        source = self.temp / "source"
        (source / "base").mkdir(parents=True, exist_ok=True)
        (source / "base" / "readme.txt").write_text("signed\n")
        (source / "base" / "cw.exe").write_bytes((STANDINS / "cw.exe").read_bytes())
        (source / "base" / "cw.exe").chmod(0o755)
        subprocess.run([*MAKE_PATCH_SET, "--sign", KEY, str(self.patch_server.normal),
                        *entries], check=True, capture_output=True)

    def live_set(self):
        """The folder of the set the server's pointer names."""
        name = (self.patch_server.normal / "set.txt").read_text().strip()
        return self.patch_server.normal.parent / "corvana.sets" / name

    def test_a_set_behind_a_cache_is_read_whole(self):
        """Through a proxy that keeps every answer for 10 minutes, a publish never
        mixes two sets: the plain files it cached before are never read, and a
        pointer it cached leads to that older set, whole."""
        for name in ("one", "two", "three"):
            (self.temp / "src" / name).mkdir(parents=True)
            (self.temp / "src" / name / (name + ".txt")).write_text(name + "\n")
        shutil.copy(STANDINS / "cw.exe", self.temp / "src" / "one" / "cw.exe")

        def publish(number, name):
            subprocess.run([*MAKE_PATCH_SET, "--append", "--sign", KEY, str(self.patch_server.normal),
                            "%d=%s;%s" % (number, self.temp / "src" / name, name)], check=True, capture_output=True)
        cached = os.environ["CORVANA_TEST_NGINX_CACHE"] + self.patch_server.host[self.patch_server.host.index("/"):]
        self.env["CORVANA_PATCH_HOST"] = cached
        publish(101, "one")
        for name in ("patch_info.txt", "SHA256SUMS", "SHA256SUMS.minisig"):  # the old layout's files, cached
            urllib.request.urlopen("http://%s/web_patch/corvana/%s" % (cached, name)).read()
        publish(102, "two")
        result = self.install_fresh()
        self.assertEqual(result.returncode, 0, result.stdout + result.stderr)
        self.assertTrue((self.folder / "two.txt").exists())
        # The pointer to the second set is cached now: after the third, a new
        # player still gets the second, whole.
        publish(103, "three")
        subprocess.run(["rm", "-rf", str(self.folder)], check=True)
        result = self.install_fresh()
        self.assertEqual(result.returncode, 0, result.stdout + result.stderr)
        self.assertTrue((self.folder / "two.txt").exists())
        self.assertFalse((self.folder / "three.txt").exists())

    def test_mirrors_stand_in_for_a_host_that_fails(self):
        """The patch server lacks the archive: a mirror that is down, one that
        stalls and one that serves other bytes are left in turn, and the run ends
        right through the last one; the other bytes are never installed."""
        wrong, good = PatchServer("wrong"), PatchServer("good")
        mirrors = ["127.0.0.1:9", os.environ["CORVANA_TEST_FAULT"] + "/stall-response", wrong.host, good.host]
        self.sign_and_publish("101=%s;base" % (self.temp / "source" / "base"),
                              *[flag for mirror in mirrors for flag in ("--mirror", mirror)])
        live = self.live_set()
        for server in (wrong, good):
            shutil.copytree(live, server.normal.parent / "corvana.sets" / live.name)
        make_zip(wrong.normal.parent / "corvana.sets" / live.name / "base.zip", {"readme.txt": "forged\n"})
        (live / "base.zip").unlink()
        result = self.install_fresh()
        self.assertEqual(result.returncode, 0, result.stdout + result.stderr)
        self.assertEqual((self.folder / "readme.txt").read_text(), "signed\n")
        # Each host left names the next (the stalled one after the time-out).
        for host in mirrors:
            self.assertIn("; base.zip is fetched from http://%s/web_patch/corvana.sets/%s/" % (host, live.name),
                          result.stderr)
        self.assertIn("SHA-256 differs from SHA256SUMS; base.zip is fetched from http://" + good.host, result.stderr)

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

    def test_publishing_switches_whole_sets(self):
        """A reader fetching the list, its signature and the manifest over and over
        while sets are published (each waiting half a second for its key's
        password) sees only whole sets: a triple that straddles the switch is
        whole when fetched once more, as the updater does."""
        key, public_key = self.temp / "publisher.key", self.temp / "publisher.pub"
        subprocess.run(["minisign", "-G", "-s", str(key), "-p", str(public_key)], input="pw\npw\n",
                       text=True, check=True, capture_output=True)
        base = self.temp / "base"
        base.mkdir()
        (base / "readme.txt").write_text("base\n")

        def publish(entry):
            process = subprocess.Popen([*MAKE_PATCH_SET, "--append", "--sign", str(key),
                                        "--password-file", "-", str(self.patch_server.normal), entry],
                                       stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                       text=True)
            time.sleep(0.5)  # a publisher typing the password
            out, err = process.communicate("pw\n")
            self.assertEqual(process.returncode, 0, out + err)

        publish("101=%s;base" % base)
        base_url = "http://%s/web_patch/corvana/" % self.patch_server.host
        work = pathlib.Path(tempfile.mkdtemp(dir=self.temp))

        def whole_set():
            texts = [urllib.request.urlopen(base_url + name).read()
                     for name in ("SHA256SUMS", "SHA256SUMS.minisig", "patch_info.txt")]
            (work / "list").write_bytes(texts[0])
            (work / "list.minisig").write_bytes(texts[1])
            signed = subprocess.run(["minisign", "-Vq", "-m", str(work / "list"), "-p", str(public_key)],
                                    capture_output=True).returncode == 0
            listed = ("%s  patch_info.txt\n" % hashlib.sha256(texts[2]).hexdigest()).encode() in texts[0]
            return signed and listed

        seen = []
        stop = threading.Event()

        def read():
            while not stop.is_set():
                first = whole_set()
                seen.append((first, first or (time.sleep(0.1) or whole_set())))

        reader = threading.Thread(target=read)
        reader.start()
        try:
            for number in range(3):
                update = self.temp / ("update%d" % number)
                update.mkdir()
                (update / "notes.txt").write_text("update %d\n" % number)
                publish("%d=%s;update" % (150 + number, update))
        finally:
            stop.set()
            reader.join()
        print("triples during 3 publishes: %d, whole at once: %d, whole when fetched again: %d"
              % (len(seen), sum(first for first, _ in seen), sum(second for _, second in seen)))
        self.assertGreater(len(seen), 10)
        self.assertTrue(all(second for _, second in seen))
        sets = self.patch_server.normal.parent / "corvana.sets"
        self.assertEqual(len([f for f in sets.iterdir() if f.is_dir()]), 3)  # --keep 3
        self.assertIn(b"152=update2.zip", (self.patch_server.normal / "patch_info.txt").read_bytes())

    def test_deltas_install_what_the_full_archives_install(self):
        """150 -> 171 -> 172 through deltas; a tampered delta is refused; a base the
        player changed leaves the entry to its full archive."""
        big = os.urandom(400000)
        # A program's code, whose addresses all move in the next version: it is diffed.
        code = [os.urandom(12) for _ in range(8000)]
        program = lambda start: b"".join((start + 16 * at).to_bytes(4, "little") + c for at, c in enumerate(code))
        versions = {
            "base": {"bin/game.dat": big, "readme.txt": b"one\n", "bin/game": program(0x401000)},
            "update1": {"bin/game.dat": big[:1000] + b"one" + big[1000:], "readme.txt": b"one\n",
                        "new.txt": b"new\n", "bin/game": program(0x401040)},
            "update2": {"bin/game.dat": big[:2000] + b"two" + big[2000:]},
        }
        for name, files in versions.items():
            for item, data in files.items():
                (self.temp / "src" / name / item).parent.mkdir(parents=True, exist_ok=True)
                (self.temp / "src" / name / item).write_bytes(data)
                (self.temp / "src" / name / item).chmod(0o755 if item == "bin/game" else 0o644)

        def publish(number, name, *flags):
            return subprocess.run([*MAKE_PATCH_SET, *flags, "--sign", KEY,
                                   str(self.patch_server.normal), "%d=%s;%s" % (number, self.temp / "src" / name, name)],
                                  check=True, capture_output=True, text=True).stdout

        def run():
            log = self.temp / "run.log"
            log.unlink(missing_ok=True)
            result = self.run_updater(["-THIS_FOLDER", "--log", str(log)], program=str(self.folder / "corvana-updater"))
            return result, log.read_text()

        def folder_has(name):
            expected = dict(versions["base"])
            for step in ("update1", "update2")[:("update1", "update2").index(name) + 1]:
                expected.update(versions[step])
            for item, data in expected.items():
                self.assertEqual((self.folder / item).read_bytes(), data, item)

        def reset_to_base():
            subprocess.run(["rm", "-rf", str(self.folder)], check=True)
            self.install_client(version=150)
            for item, data in versions["base"].items():
                (self.folder / item).parent.mkdir(parents=True, exist_ok=True)
                (self.folder / item).write_bytes(data)

        publish(101, "base")
        self.assertIn("1 same, 1 patched, 1 diffed, 0 in windows, 1 whole", publish(171, "update1", "--append", "--delta"))
        # Killed at each rename (the record, the journal, each move), the next start
        # leaves the folder wholly as it was or wholly updated.
        for when in range(1, 5):
            with self.subTest(killed_at_rename=when):
                reset_to_base()
                subprocess.run(["strace", "-f", "-qq", "-o", "/dev/null", "-e",
                                "inject=rename,renameat,renameat2:signal=KILL:when=%d" % when,
                                str(self.folder / "corvana-updater"), "-THIS_FOLDER"],
                               env=self.env, stdin=subprocess.DEVNULL, capture_output=True, timeout=60)
                offline = dict(self.env, CORVANA_PATCH_HOST="127.0.0.1:9")  # the next start repairs, then fails
                subprocess.run([str(self.folder / "corvana-updater"), "-THIS_FOLDER"], env=offline,
                               stdin=subprocess.DEVNULL, capture_output=True, timeout=60)
                updated = (self.folder / "new.txt").exists()
                self.assertEqual((self.folder / "bin" / "game.dat").read_bytes(),
                                 versions["update1" if updated else "base"]["bin/game.dat"])
                self.assertFalse((self.folder / ".corvana-staging").exists())
        reset_to_base()
        result, log = run()
        self.assertEqual(result.returncode, 0, result.stdout + result.stderr)
        self.assertIn("update1.zip.delta", log)
        self.assertNotIn("/update1.zip\n", log)  # the archive itself not fetched
        folder_has("update1")
        self.assertTrue(os.access(self.folder / "bin" / "game", os.X_OK))

        (self.folder / "cw-version.txt").write_text("171")
        # The base of 172 is the one the publish of 171 left in the cache.
        self.assertIn("base: 2 of 2 entries from the cache", publish(172, "update2", "--append", "--delta"))
        delta = self.patch_server.normal / "update2.zip.delta"
        genuine = delta.read_bytes()
        delta.unlink()
        delta.write_bytes(genuine[:-1] + bytes([genuine[-1] ^ 1]))
        result, _ = run()
        self.assertIn("#-6", result.stdout)
        self.assertIn("update2.zip.delta: SHA-256 differs from SHA256SUMS", result.stderr)
        folder_has("update1")  # nothing of it on disk
        self.assertFalse((self.folder / ".corvana-staging").exists())

        delta.unlink()
        delta.write_bytes(genuine)
        with open(self.folder / "bin" / "game.dat", "ab") as changed:
            changed.write(b"the player's own")
        result, log = run()
        self.assertEqual(result.returncode, 0, result.stdout + result.stderr)
        self.assertIn("is not the file the delta was made from; update2.zip is fetched whole", result.stderr)
        self.assertIn("update2.zip is fetched whole", log)
        folder_has("update2")

    def test_a_folder_moved_to_another_disk_updates_and_repairs(self):
        """The player moved data/ to another disk (a small tmpfs here) and linked it
        back: its items are staged on that disk, so every move is a rename there;
        killed at any rename, the next start leaves each archive wholly old or
        new; the full archive, a delta and a repair all reach it."""
        if os.geteuid() != 0:
            self.skipTest("mounting a file system needs root")
        disk = self.temp / "disk"
        disk.mkdir()
        subprocess.run(["mount", "-t", "tmpfs", "-o", "size=16m", "tmpfs", str(disk)], check=True)
        self.addCleanup(subprocess.run, ["umount", "-l", str(disk)])
        big = os.urandom(300000)
        versions = {"base": {"data/big.dat": big, "readme.txt": b"base\n"},
                    "update1": {"data/big.dat": big[:1000] + b"one" + big[1000:], "data/new.txt": b"new\n"},
                    "update2": {"data/big.dat": big[:2000] + b"two" + big[2000:]}}
        for name, files in versions.items():
            for item, data in files.items():
                (self.temp / "src" / name / item).parent.mkdir(parents=True, exist_ok=True)
                (self.temp / "src" / name / item).write_bytes(data)

        def publish(number, name, *flags):
            subprocess.run([*MAKE_PATCH_SET, "--sign", KEY, *flags, str(self.patch_server.normal),
                            "%d=%s;%s" % (number, self.temp / "src" / name, name)], check=True, capture_output=True)

        def run(*args, env=None):
            return subprocess.run([str(self.folder / "corvana-updater"), "-THIS_FOLDER", *args], env=env or self.env,
                                  stdin=subprocess.DEVNULL, capture_output=True, text=True, timeout=60)

        def no_staging():
            return not (self.folder / ".corvana-staging").exists() and not (disk / "data" / ".corvana-staging").exists()

        publish(101, "base")
        self.install_client(version=100)
        self.assertEqual(run().returncode, 0)
        shutil.move(str(self.folder / "data"), str(disk / "data"))
        (self.folder / "data").symlink_to(disk / "data")
        (self.folder / "cw-version.txt").write_text("101")
        publish(171, "update1", "--append")
        kept = {item: (disk / item).read_bytes() for item in ("data/big.dat",)}
        # The renames: the accepted set's record, the download's record, the saved
        # archive, the record of the staging folder on the disk, the journal, two moves.
        for when in range(1, 8):
            with self.subTest(killed_at_rename=when):
                subprocess.run(["strace", "-f", "-qq", "-o", "/dev/null", "-e",
                                "inject=rename,renameat,renameat2:signal=KILL:when=%d" % when,
                                str(self.folder / "corvana-updater"), "-THIS_FOLDER"],
                               env=self.env, stdin=subprocess.DEVNULL, capture_output=True, timeout=60)
                # The next start recovers, then finds no server: it is ended there.
                start = subprocess.Popen([str(self.folder / "corvana-updater"), "-THIS_FOLDER"],
                                         env=dict(self.env, CORVANA_PATCH_HOST="127.0.0.1:9"),
                                         stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                         stderr=subprocess.DEVNULL, text=True)
                for line in start.stdout:
                    if STATUS_SERVER_UNREACHABLE in line:
                        break
                start.terminate()
                start.communicate(timeout=20)
                updated = (disk / "data" / "new.txt").exists()
                self.assertEqual((disk / "data" / "big.dat").read_bytes(),
                                 versions["update1"]["data/big.dat"] if updated else kept["data/big.dat"])
                self.assertTrue(no_staging())
                (disk / "data" / "new.txt").unlink(missing_ok=True)
                (disk / "data" / "big.dat").write_bytes(kept["data/big.dat"])
        result = run()
        self.assertEqual(result.returncode, 0, result.stdout + result.stderr)
        self.assertEqual((disk / "data" / "new.txt").read_bytes(), b"new\n")
        self.assertEqual((disk / "data" / "big.dat").read_bytes(), versions["update1"]["data/big.dat"])
        self.assertTrue((self.folder / "data").is_symlink())
        self.assertTrue(no_staging())

        publish(172, "update2", "--append", "--delta")
        (self.folder / "cw-version.txt").write_text("171")
        log = self.temp / "delta.log"
        result = run("--log", str(log))
        self.assertEqual(result.returncode, 0, result.stdout + result.stderr)
        self.assertIn("update2.zip.delta", log.read_text())
        self.assertNotIn("fetched whole", result.stderr)
        self.assertEqual((disk / "data" / "big.dat").read_bytes(), versions["update2"]["data/big.dat"])
        self.assertTrue(no_staging())

        (self.folder / "cw-version.txt").write_text("172")
        (disk / "data" / "big.dat").write_bytes(b"damaged")
        result = run("-REPAIR")
        self.assertEqual(result.returncode, 0, result.stdout + result.stderr)
        self.assertIn("1 repaired", result.stderr)
        self.assertEqual((disk / "data" / "big.dat").read_bytes(), versions["update2"]["data/big.dat"])
        self.assertTrue(no_staging())

    def test_repair_puts_back_only_what_is_damaged(self):
        """A truncated, a deleted and an overwritten file, in three archives, are
        fetched back from those three alone; nothing else is written; a save the
        index does not list stays; a tampered index is refused; a repair killed
        mid-way leaves each archive's files wholly old or new, and the next one
        finishes the job."""
        sets = {"base": {"readme.txt": b"base\n", "cw.exe": (STANDINS / "cw.exe").read_bytes()},
                "data": {"data/a.bin": os.urandom(300000), "data/b.txt": b"b\n"},
                "more": {"more/c.txt": b"c\n", "more/d.bin": os.urandom(5000)}}
        for name, files in sets.items():
            for item, data in files.items():
                (self.temp / "src" / name / item).parent.mkdir(parents=True, exist_ok=True)
                (self.temp / "src" / name / item).write_bytes(data)
        (self.temp / "src" / "base" / "cw.exe").chmod(0o755)
        subprocess.run([*MAKE_PATCH_SET, "--sign", KEY, str(self.patch_server.normal),
                        *("%d=%s;%s" % (101 + at, self.temp / "src" / name, name) for at, name in enumerate(sets))],
                       check=True, capture_output=True)
        self.install_client(version=100)
        updater = str(self.folder / "corvana-updater")
        self.assertEqual(self.run_updater(["-THIS_FOLDER"], program=updater).returncode, 0)
        (self.folder / "cw-version.txt").write_text("103")
        (self.folder / "saves").mkdir()
        (self.folder / "saves" / "one.sav").write_bytes(b"mine")

        def state():
            return {p.relative_to(self.folder).as_posix(): (p.read_bytes(), p.stat().st_mtime_ns)
                    for p in self.folder.rglob("*") if p.is_file() and p.name not in ("cw.log", "run.log")}

        def damage():
            with open(self.folder / "data" / "a.bin", "r+b") as cut:
                cut.truncate(1000)
            (self.folder / "readme.txt").unlink()
            (self.folder / "more" / "c.txt").write_bytes(b"C\n")

        def repair(*extra):
            log = self.temp / "run.log"
            log.unlink(missing_ok=True)
            result = self.run_updater(["--repair", "--log", str(log), *extra], program=updater)
            return result, log.read_text() if log.exists() else ""

        before = state()
        damage()
        result, log = repair()
        self.assertEqual(result.returncode, 0, result.stdout + result.stderr)
        self.assertIn("6 files checked, 3 repaired", result.stderr)
        fetched = [line for line in log.splitlines() if ".zip" in line]
        self.assertEqual(sorted(line.rsplit("/", 1)[1] for line in fetched), ["base.zip", "data.zip", "more.zip"])
        after = state()
        for path, (data, mtime) in before.items():
            repaired = path in ("data/a.bin", "readme.txt", "more/c.txt")
            self.assertEqual(after[path][0], data, path)
            if not repaired and path != "corvana-signed-set.txt":
                self.assertEqual(after[path][1], mtime, path + " was written")

        # Nothing damaged: nothing fetched but the lists.
        result, log = repair()
        self.assertIn("6 files checked, 0 repaired", result.stderr)
        self.assertNotIn(".zip", log)
        # One archive to fetch back: the counter says one.
        (self.folder / "readme.txt").unlink()
        result, log = repair()
        self.assertIn("[base] 다운로드중 (1/1)", result.stdout)
        self.assertIn("6 files checked, 1 repaired", result.stderr)

        # Killed at each rename of the repair (the journal, each move), the next start
        # leaves each archive's files wholly old or wholly new; the next repair finishes.
        for when in range(1, 4):
            with self.subTest(killed_at_rename=when):
                damage()
                subprocess.run(["strace", "-f", "-qq", "-o", "/dev/null", "-e",
                                "inject=rename,renameat,renameat2:signal=KILL:when=%d" % when, updater, "--repair"],
                               env=self.env, stdin=subprocess.DEVNULL, capture_output=True, timeout=60)
                offline = dict(self.env, CORVANA_PATCH_HOST="127.0.0.1:9")
                subprocess.run([updater, "--repair"], env=offline, stdin=subprocess.DEVNULL, capture_output=True,
                               timeout=60)
                self.assertIn((self.folder / "data" / "a.bin").stat().st_size, (1000, 300000))
                self.assertFalse((self.folder / ".corvana-staging").exists())
                result, _ = repair()
                self.assertEqual(result.returncode, 0, result.stdout + result.stderr)
                self.assertEqual(state()["data/a.bin"][0], before["data/a.bin"][0])
                self.assertEqual(state()["readme.txt"][0], b"base\n")

        # A tampered index: refused, nothing fetched or written.
        index = self.patch_server.normal / "installed-files.txt"
        text = index.read_text()
        index.unlink()
        index.write_text(text.replace("\tmore/c.txt", "\tsaves/one.sav"))
        damage()
        result, log = repair()
        self.assertEqual(result.returncode, 1, result.stdout + result.stderr)
        self.assertIn("#-6", result.stdout)
        self.assertIn("installed-files.txt: SHA-256 differs from SHA256SUMS", result.stderr)
        self.assertNotIn(".zip", log)
        self.assertEqual((self.folder / "saves" / "one.sav").read_bytes(), b"mine")

    def test_an_allocation_that_fails_ends_the_run_with_its_cause(self):
        """With the address space of a small 32-bit process, rebuilding a 60 MiB
        file from its delta (in memory: larger ones are rebuilt in windows) runs
        out of memory: the run ends at once with the cause, status 1, and the
        folder as it was."""
        big = bytearray(60 << 20)
        for at in range(0, len(big), 1 << 20):
            big[at:at + 64] = os.urandom(64)
        for name, data in (("base", bytes(big)), ("update", bytes(big[:30 << 20]) + b"new" + bytes(big[30 << 20:]))):
            (self.temp / "src" / name).mkdir(parents=True)
            (self.temp / "src" / name / "big.dat").write_bytes(data)
        del big
        for number, name, flags in ((101, "base", []), (171, "update", ["--append", "--delta"])):
            subprocess.run([*MAKE_PATCH_SET, "--sign", KEY, *flags, str(self.patch_server.normal),
                            "%d=%s;%s" % (number, self.temp / "src" / name, name)], check=True, capture_output=True)
        self.install_client(version=101)
        shutil.copy(self.temp / "src" / "base" / "big.dat", self.folder / "big.dat")
        start = time.monotonic()
        result = subprocess.run(["prlimit", "--as=%d" % (160 << 20), str(self.folder / "corvana-updater"),
                                 "-THIS_FOLDER"], env=dict(self.env, MALLOC_ARENA_MAX="1"), capture_output=True,
                                text=True, timeout=60)
        self.assertEqual(result.returncode, 1, result.stdout + result.stderr)
        self.assertLess(time.monotonic() - start, 30)
        self.assertIn("corvana-updater: out of memory while installing update.zip from update.zip.delta",
                      result.stderr)
        self.assertIn("#-1", result.stdout)
        self.assertTrue((self.folder / "big.dat").read_bytes() == (self.temp / "src" / "base" / "big.dat").read_bytes())
        self.assertFalse((self.folder / ".corvana-staging").exists())

    def test_a_publish_during_a_repairs_update_leaves_it_the_set_it_read(self):
        """The index a repair checks against is read with the list, the signature
        and the manifest: a set published while the update downloads changes
        nothing of the run."""
        self.patch_server = PatchServer("e2e", slow=True)  # 64 KiB/s
        self.env["CORVANA_PATCH_HOST"] = self.patch_server.host
        for name, files in (("base", {"readme.txt": b"base\n"}), ("update", {"data/big.bin": os.urandom(300000)}),
                            ("later", {"notes.txt": b"later\n"})):
            for item, data in files.items():
                (self.temp / "src" / name / item).parent.mkdir(parents=True, exist_ok=True)
                (self.temp / "src" / name / item).write_bytes(data)

        def publish(number, name, *flags):
            subprocess.run([*MAKE_PATCH_SET, "--sign", KEY, *flags, str(self.patch_server.normal),
                            "%d=%s;%s" % (number, self.temp / "src" / name, name)], check=True, capture_output=True)
        publish(101, "base")
        publish(171, "update", "--append")
        self.install_client(version=101)
        (self.folder / "readme.txt").write_bytes(b"base\n")
        log = self.temp / "run.log"
        process = subprocess.Popen([str(self.folder / "corvana-updater"), "--repair", "--log", str(log)],
                                   env=self.env, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                   stderr=subprocess.PIPE, text=True)
        deadline = time.monotonic() + 30
        while "update.zip" not in (log.read_text() if log.exists() else "") and time.monotonic() < deadline:
            time.sleep(0.1)
        publish(172, "later", "--append")
        out, err = process.communicate(timeout=90)
        self.assertEqual(process.returncode, 0, out + err)
        self.assertIn("files checked, 0 repaired", err)
        self.assertEqual((self.folder / "data" / "big.bin").stat().st_size, 300000)

    def test_an_unsigned_set_is_refused(self):
        self.publish("1=a.zip\n", {"a.zip": {"a.txt": "a"}})
        result = self.install_fresh()
        self.assertEqual(result.returncode, 1, result.stdout + result.stderr)
        self.assertIn("/web_patch/corvana/SHA256SUMS (host", result.stderr)
        self.assertIn("the server answered with an error status (HTTP 404)", result.stderr)
        self.assertFalse((self.folder / "a.txt").exists())

    def test_the_signed_lists_failures_say_what_failed(self):
        """A list the server may not read names its URL and status (#-6); a login
        page in its place is a server that is not the patch server."""
        for scenario, code, cause in [("403", "#-6", "/403/web_patch/corvana/SHA256SUMS (host"),
                                      ("portal", None, "set.txt: a web page, not the patch set's file")]:
            with self.subTest(scenario):
                self.env["CORVANA_PATCH_HOST"] = os.environ["CORVANA_TEST_FAULT"] + "/" + scenario
                result = self.run_updater(["-THIS_FOLDER"], timeout=60)
                self.assertEqual(result.returncode, 1, result.stdout + result.stderr)
                self.assertIn(cause, result.stderr)
                if code:
                    self.assertIn(code, result.stdout)
                    self.assertIn("(HTTP 403)", result.stderr)
                else:
                    self.assertIn(STATUS_SERVER_UNREACHABLE, result.stdout)

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

    @unittest.skipUnless(WIN_PUBLISHER, "CORVANA_E2E_WIN_PUBLISHER names no Windows publisher")
    def test_a_set_the_windows_publisher_made_installs(self):
        """The Windows publisher under Wine (where no links can be made: the set's
        files go into the served folder itself) publishes a signed set and then a
        delta that this updater installs."""
        versions = {"base": {"readme.txt": b"base\n", "data/sound.dat": os.urandom(200000)}}
        versions["update"] = {"readme.txt": b"update\n", "data/sound.dat": versions["base"]["data/sound.dat"][:900] +
                              b"new" + versions["base"]["data/sound.dat"][900:]}
        for name, files in versions.items():
            for item, data in files.items():
                (self.temp / "src" / name / item).parent.mkdir(parents=True, exist_ok=True)
                (self.temp / "src" / name / item).write_bytes(data)
        shutil.copy(STANDINS / "cw.exe", self.temp / "src" / "base" / "cw.exe")

        def publish(number, name, *flags):
            result = subprocess.run([WINE_RUN, WIN_PUBLISHER, *flags, "--sign", windows_path(KEY),
                                     windows_path(self.patch_server.normal),
                                     "%d=%s;%s" % (number, windows_path(self.temp / "src" / name), name)],
                                    capture_output=True, timeout=300)
            self.assertEqual(result.returncode, 0, result.stdout + result.stderr)
            return result.stdout.decode("utf-8", "replace")

        self.assertIn("no symbolic links here", publish(101, "base"))
        self.assertFalse(self.patch_server.normal.is_symlink())
        result = self.install_fresh()
        self.assertEqual(result.returncode, 0, result.stdout + result.stderr)
        self.assertEqual((self.folder / "readme.txt").read_bytes(), b"base\n")
        self.assertIn("1 patched", publish(171, "update", "--append", "--delta"))
        (self.folder / "cw-version.txt").write_text("150")
        shutil.copy(UPDATER, self.folder / "corvana-updater")
        for folder in (self.patch_server.normal, self.live_set()):
            (folder / "update.zip").unlink()  # only the delta can end the run right
        result = self.run_updater(["-THIS_FOLDER"], program=str(self.folder / "corvana-updater"))
        self.assertEqual(result.returncode, 0, result.stdout + result.stderr)
        for item, data in versions["update"].items():
            self.assertEqual((self.folder / item).read_bytes(), data, item)
