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
        publish(172, "update2", "--append", "--delta")
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
