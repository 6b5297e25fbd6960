"""The Linux updater built with a publisher's key (CORVANA_PUBLIC_KEY), against
patch sets signed by tools/make-patch-set --sign with the matching secret key
(CORVANA_E2E_SIGNING_KEY, made with minisign when the test build was configured)."""
import hashlib
import os
import pathlib
import subprocess
import sys
import tempfile
import threading
import time
import urllib.request

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
            process = subprocess.Popen([sys.executable, str(MAKE_PATCH_SET), "--append", "--sign", str(key),
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
            return subprocess.run([sys.executable, str(MAKE_PATCH_SET), *flags, "--sign", KEY,
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
        self.assertIn("1 same, 1 patched, 1 diffed, 1 whole", publish(171, "update1", "--append", "--delta"))
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
        self.assertNotIn("web_patch/corvana/update1.zip\n", log)  # the archive itself not fetched
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
        subprocess.run([sys.executable, str(MAKE_PATCH_SET), "--sign", KEY, str(self.patch_server.normal),
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
