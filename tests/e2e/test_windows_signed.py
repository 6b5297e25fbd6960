"""The Windows program built with a publisher's key, under Wine, against sets
signed by tools/make-patch-set (CORVANA_E2E_SIGNING_KEY): deltas and repairs."""
import os
import shutil
import subprocess
import sys
import time

from common import MAKE_PATCH_SET, PatchServer, make_zip
from test_windows import IDC_SIZE, IDC_STATUS, WindowsUpdaterTest

KEY = os.environ.get("CORVANA_E2E_SIGNING_KEY", "")


class SignedDeltas(WindowsUpdaterTest):
    def test_a_delta_rebuilds_the_update_and_a_changed_base_takes_the_archive(self):
        big = os.urandom(300000)
        code = [os.urandom(12) for _ in range(8000)]
        program = lambda start: b"".join((start + 16 * at).to_bytes(4, "little") + c for at, c in enumerate(code))
        versions = {"base": {"data/sound.dat": big, "game.bin": program(0x401000)},
                    "update": {"data/sound.dat": big[:500] + b"new" + big[500:], "game.bin": program(0x401040),
                               "data/quest.txt": b"quest\n"}}
        for name, files in versions.items():
            for item, data in files.items():
                (self.temp / name / item).parent.mkdir(parents=True, exist_ok=True)
                (self.temp / name / item).write_bytes(data)
        for number, name, flags in ((101, "base", []), (171, "update", ["--append", "--delta"])):
            subprocess.run([*MAKE_PATCH_SET, "--sign", KEY, *flags, str(self.patch_server.normal),
                            "%d=%s;%s" % (number, self.temp / name, name)], check=True, capture_output=True)
        archive = self.patch_server.normal / "update.zip"
        kept = archive.read_bytes()
        # An allocation that fails while the delta rebuilds (injected, as a 32-bit
        # address space runs out): the run ends with status 1 and the folder as it was.
        folder = self.client_folder(150)
        for item, data in versions["base"].items():
            (folder / item).parent.mkdir(parents=True, exist_ok=True)
            (folder / item).write_bytes(data)
        process = self.start("-THIS_FOLDER", program=str(folder / "CWUpdate2.exe"),
                             env=dict(self.env, CORVANA_TEST_THROW_AT="rebuild"))
        self.assertIn("에러코드 : #-1", self.assert_driver("box", "에러메시지", 60))
        self.assertEqual(process.wait(timeout=60), 1)
        for item, data in versions["base"].items():
            self.assertEqual((folder / item).read_bytes(), data, item)
        self.assertFalse((folder / ".corvana-staging").exists())
        shutil.rmtree(folder)
        for case in ("delta", "changed base"):
            with self.subTest(case):
                folder = self.client_folder(150) if case == "delta" else self.temp / "Corvana"
                (folder / "cw-version.txt").write_text("150")
                for item, data in versions["base"].items():
                    (folder / item).parent.mkdir(parents=True, exist_ok=True)
                    (folder / item).write_bytes(data + (b"mine" if case != "delta" and item == "game.bin" else b""))
                # Without the archive on the server, only the delta can end the run right.
                if case == "delta":
                    archive.unlink()
                else:
                    archive.write_bytes(kept)
                process = self.start("-THIS_FOLDER", program=str(folder / "CWUpdate2.exe"))
                self.assertEqual(process.wait(timeout=90), 0)
                for item, data in versions["update"].items():
                    self.assertEqual((folder / item).read_bytes(), data, item)
                self.assertFalse((folder / ".corvana-staging").exists())


    def test_mirrors_stand_in_for_a_host_that_fails(self):
        """The patch server lacks the archive: a mirror that is down, one that
        stalls and one that serves other bytes are left, and the run ends right
        through the last one."""
        (self.temp / "base").mkdir()
        (self.temp / "base" / "readme.txt").write_bytes(b"base\n")
        wrong, good = PatchServer("wrong"), PatchServer("good")
        mirrors = ["127.0.0.1:9", os.environ["CORVANA_TEST_FAULT"] + "/stall-response", wrong.host, good.host]
        subprocess.run([*MAKE_PATCH_SET, "--sign", KEY, *[flag for m in mirrors for flag in ("--mirror", m)],
                        str(self.patch_server.normal), "171=%s;base" % (self.temp / "base")],
                       check=True, capture_output=True)
        live = self.patch_server.normal.parent / "corvana.sets" / (self.patch_server.normal / "set.txt").read_text().strip()
        for server in (wrong, good):
            shutil.copytree(live, server.normal.parent / "corvana.sets" / live.name)
        make_zip(wrong.normal.parent / "corvana.sets" / live.name / "base.zip", {"readme.txt": "forged\n"})
        (live / "base.zip").unlink()
        folder = self.client_folder(150)
        process = self.start("-THIS_FOLDER", program=str(folder / "CWUpdate2.exe"))
        self.assertEqual(process.wait(timeout=120), 0)
        self.assertEqual((folder / "readme.txt").read_bytes(), b"base\n")


class SignedRepair(WindowsUpdaterTest):
    slow = True  # 64 KiB/s: time to see the repair fetch

    def test_repair_fetches_back_only_the_damaged_files(self):
        sets = {"base": {"readme.txt": b"base\n", "data/a.bin": os.urandom(200000)},
                "more": {"more/b.txt": b"b\n", "more/c.txt": b"c\n"}}
        for name, files in sets.items():
            for item, data in files.items():
                (self.temp / name / item).parent.mkdir(parents=True, exist_ok=True)
                (self.temp / name / item).write_bytes(data)
        subprocess.run([*MAKE_PATCH_SET, "--sign", KEY, str(self.patch_server.normal),
                        "101=%s;base" % (self.temp / "base"), "102=%s;more" % (self.temp / "more")],
                       check=True, capture_output=True)
        folder = self.client_folder(150)
        for files in sets.values():
            for item, data in files.items():
                (folder / item).parent.mkdir(parents=True, exist_ok=True)
                (folder / item).write_bytes(data)
        (folder / "data" / "a.bin").write_bytes(b"damaged")
        (folder / "readme.txt").unlink()
        (folder / "save.dat").write_bytes(b"mine")
        untouched = (folder / "more" / "b.txt").stat().st_mtime_ns
        process = self.start("-THIS_FOLDER", "-REPAIR", program=str(folder / "CWUpdate2.exe"))
        # One archive to fetch: the counter says so.
        self.assert_driver("wait-text", IDC_STATUS, "[base]", 60)
        self.assert_driver("wait-text", IDC_STATUS, "(1/1)", 5)
        time.sleep(1)
        self.screenshot("windows-repair.png")
        # The end in the size line, from the string table: "파일 4개 확인, 2개 복구".
        self.assert_driver("wait-text", IDC_SIZE, ", 2", 60)
        self.assertEqual(process.wait(timeout=90), 0)
        for files in sets.values():
            for item, data in files.items():
                self.assertEqual((folder / item).read_bytes(), data, item)
        self.assertEqual((folder / "save.dat").read_bytes(), b"mine")
        self.assertEqual((folder / "more" / "b.txt").stat().st_mtime_ns, untouched)
