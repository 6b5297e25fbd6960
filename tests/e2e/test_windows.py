"""The Windows program under Wine with an X display (Xvfb), against nginx: a small
Win32 driver (tests/support/win_driver.cpp) finds the window by its title, presses
its buttons and reads its texts and message boxes. Screenshots go to
CORVANA_E2E_SCREENSHOTS."""
import os
import pathlib
import shutil
import subprocess
import tempfile
import time
import unittest

from common import PatchServer

ROOT = pathlib.Path(__file__).resolve().parents[2]
WINE_RUN = str(ROOT / "scripts" / "wine-run")
UPDATER = os.environ.get("CORVANA_E2E_WIN_UPDATER", "")
DRIVER = os.environ.get("CORVANA_E2E_WIN_DRIVER", "")
STANDINS = pathlib.Path(os.environ.get("CORVANA_E2E_WIN_STANDINS", "."))
SHOTS = pathlib.Path(os.environ.get("CORVANA_E2E_SCREENSHOTS", "/tmp"))
PREFIX = pathlib.Path(os.environ.get("WINEPREFIX", "."))

IDC_STATUS, IDC_SIZE, IDC_BROWSE, IDC_INSTALL, IDC_EXIT, IDC_INSTALL_PATH = 1001, 1002, 1005, 1006, 1007, 1008
IDOK, IDCANCEL = 1, 2


class WindowsUpdaterTest(unittest.TestCase):
    slow = False

    def setUp(self):
        self.temp = pathlib.Path(tempfile.mkdtemp(prefix="corvana-win-e2e-"))
        self.addCleanup(shutil.rmtree, self.temp, True)
        self.patch_server = PatchServer("win", self.slow)
        self.env = dict(os.environ, CORVANA_PATCH_HOST=self.patch_server.host)
        self.default_folder = PREFIX / "drive_c" / "Program Files" / "Corvana"
        shutil.rmtree(self.default_folder, ignore_errors=True)
        self.processes = []
        self.addCleanup(self.end_processes)

    def end_processes(self):
        for process in self.processes:
            if process.poll() is None:
                process.kill()
                process.wait()

    def publish(self, manifest, archives=None):
        self.patch_server.publish(manifest, archives)

    def start(self, *args, program=UPDATER, env=None):
        process = subprocess.Popen([WINE_RUN, program, *args], env=env or self.env,
                                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self.processes.append(process)
        return process

    def driver(self, *args, timeout=60):
        result = subprocess.run([WINE_RUN, DRIVER, *map(str, args)], env=self.env, capture_output=True,
                                timeout=timeout)
        return result.returncode, result.stdout.decode("cp949", "replace")

    def assert_driver(self, *args):
        code, out = self.driver(*args)
        self.assertEqual(code, 0, "driver %s" % (args,))
        return out

    def screenshot(self, name):
        SHOTS.mkdir(parents=True, exist_ok=True)
        subprocess.run(["import", "-window", "root", str(SHOTS / name)], check=False,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

    def client_folder(self, version):
        folder = self.temp / "Corvana"
        folder.mkdir()
        shutil.copy(UPDATER, folder / "CWUpdate2.exe")
        shutil.copy(STANDINS / "cw.exe", folder / "cw.exe")
        (folder / "cw-version.txt").write_text(str(version))
        return folder


class FirstInstallation(WindowsUpdaterTest):
    slow = True  # 64 KiB/s: time to see the download

    def test_install_button_installs_into_the_default_folder(self):
        self.publish("101=base.zip;base files\n150=media.zip\n",
                     {"base.zip": {"cw.exe": STANDINS / "cw.exe", "data/readme.txt": "base\n"},
                      "media.zip": {"data/media.bin": os.urandom(300000)}})
        process = self.start()
        self.assert_driver("wait-visible", IDC_INSTALL, 30)
        self.assertIn("Corvana", self.assert_driver("text", IDC_INSTALL_PATH))
        self.screenshot("windows-installation-choice.png")
        self.assert_driver("click", IDC_INSTALL)
        self.assert_driver("wait-text", IDC_STATUS, "다운로드중 (2/3)", 60)
        time.sleep(1.5)
        self.screenshot("windows-download.png")
        self.assertEqual(process.wait(timeout=90), 0)
        self.assertEqual((self.default_folder / "data" / "readme.txt").read_text(), "base\n")
        self.assertEqual((self.default_folder / "data" / "media.bin").stat().st_size, 300000)
        self.assertFalse((self.default_folder / "base.zip").exists())
        time.sleep(1)
        self.assertTrue((self.default_folder / "cw.log").exists())  # the client was started

    def test_closing_during_a_transfer_keeps_earlier_entries(self):
        self.publish("1=a.zip;first\n2=b.zip;second\n",
                     {"a.zip": {"a.txt": "a"}, "b.zip": {"b.bin": os.urandom(600000)}})
        process = self.start()
        self.assert_driver("wait-visible", IDC_INSTALL, 30)
        self.assert_driver("click", IDC_INSTALL)
        self.assert_driver("wait-text", IDC_STATUS, "[second]", 60)
        time.sleep(1)
        self.assert_driver("close")
        self.assertEqual(process.wait(timeout=30), 2)
        self.assertTrue((self.default_folder / "a.txt").exists())
        self.assertFalse((self.default_folder / "b.zip").exists())
        self.assertFalse((self.default_folder / "b.bin").exists())


class Choice(WindowsUpdaterTest):
    def test_exit_asks_first_and_cancel_keeps_the_window(self):
        self.publish("1=a.zip\n", {"a.zip": {"a.txt": "a"}})
        process = self.start()
        self.assert_driver("wait-visible", IDC_EXIT, 30)
        program = "Z:" + str(pathlib.Path(UPDATER).resolve()).replace("/", "\\")
        self.assertTrue(self.assert_driver("dialog-font", program).startswith("1 "))  # the default set
        self.assert_driver("click", IDC_EXIT)
        self.assertIn("정말로 종료하시겠습니까?", self.assert_driver("box", "Abort Installation?", 10, IDCANCEL))
        time.sleep(0.5)
        self.assertIsNone(process.poll())
        self.assert_driver("click", IDC_EXIT)
        self.assert_driver("box", "Abort Installation?", 10, IDOK)
        self.assertEqual(process.wait(timeout=20), 2)
        self.assertFalse(self.default_folder.exists())

    def test_panel_drags_by_any_point_but_the_controls_keep_their_own(self):
        self.publish("1=a.zip\n", {"a.zip": {"a.txt": "a"}})
        process = self.start()
        self.assert_driver("wait-visible", IDC_EXIT, 30)
        HTCAPTION, HTTRANSPARENT, HTCLIENT = 2, -1, 1
        self.assertEqual(self.assert_driver("hittest", 0), str(HTCAPTION))
        self.assertEqual(self.assert_driver("hittest", IDC_STATUS), str(HTTRANSPARENT))  # to the panel
        self.assertEqual(self.assert_driver("hittest", IDC_EXIT), str(HTCLIENT))  # a button stays one
        self.assert_driver("key", 27)  # Escape: the window ends like Cancel, without a question
        self.assertEqual(process.wait(timeout=20), 2)

    def test_browse_appends_the_product_folder_and_starts_above_it(self):
        self.publish("1=a.zip\n", {"a.zip": {"a.txt": "a"}})
        process = self.start()
        self.assert_driver("wait-visible", IDC_BROWSE, 30)
        default = self.assert_driver("text", IDC_INSTALL_PATH)
        self.assert_driver("click", IDC_BROWSE)
        self.assert_driver("owned-ok", 30)  # nothing preselected: the browser's own start
        time.sleep(1)
        first = self.assert_driver("text", IDC_INSTALL_PATH)
        self.assertTrue(first.endswith("\\Corvana"), first)
        self.assertNotEqual(first, default)
        self.assert_driver("click", IDC_BROWSE)
        self.assert_driver("owned-ok", 30)  # opens on the folder above the product folder
        time.sleep(1)
        second = self.assert_driver("text", IDC_INSTALL_PATH)
        self.assertEqual(second, first, "choosing the start folder again gives the same path")
        self.assert_driver("click", IDC_INSTALL)
        # Installed, but the archive has no client: the run ends with its box.
        self.assertIn("메인 프로그램을 실행할 수 없습니다.", self.assert_driver("box", "에러메시지", 60))
        self.assertEqual(process.wait(timeout=30), 1)
        parent = first[: -len("\\Corvana")]
        self.assertTrue(parent.startswith("C:\\"), parent)
        installed = PREFIX / "drive_c" / parent[3:].replace("\\", "/") / "Corvana" / "a.txt"
        self.assertTrue(installed.exists(), installed)
        shutil.rmtree(installed.parent)

    def test_second_updater_raises_the_first_and_ends(self):
        self.publish("1=a.zip\n", {"a.zip": {"a.txt": "a"}})
        first = self.start()
        self.assert_driver("wait-visible", IDC_EXIT, 30)
        second = self.start()
        self.assertEqual(second.wait(timeout=20), 3)  # another updater runs
        self.assertIsNone(first.poll())
        self.assert_driver("click", IDC_EXIT)
        self.assert_driver("box", "Abort Installation?", 10, IDOK)
        first.wait(timeout=20)


class InstalledClient(WindowsUpdaterTest):
    def test_this_folder_fetches_what_is_newer_than_the_clients_answer(self):
        folder = self.client_folder(150)
        self.publish("101=old.zip\n150=old2.zip\n171=new.zip;new\n", {"new.zip": {"new.txt": "new"}})
        process = self.start("-THIS_FOLDER", program=str(folder / "CWUpdate2.exe"))
        self.assertEqual(process.wait(timeout=60), 0)
        self.assertTrue((folder / "new.txt").exists())
        time.sleep(1)
        self.assertEqual(len((folder / "cw.log").read_text().splitlines()), 1)

    def test_check_version_box_shows_the_clients_version(self):
        folder = self.client_folder(171)
        process = self.start("-THIS_FOLDER", "-CHECK_VERSION", program=str(folder / "CWUpdate2.exe"))
        self.assertIn("vc : 1.171", self.assert_driver("box", "에러메시지", 30))
        self.assertEqual(process.wait(timeout=20), 0)

    def test_running_client_is_waited_for_then_warned_about(self):
        folder = self.client_folder(150)
        client = self.start(program=str(folder / "cw.exe"), env=dict(self.env, CORVANA_STANDIN_HOLD_MS="12000"))
        time.sleep(1.5)
        process = self.start("-CHECK_VERSION")
        self.assertIn("Corvana가 이미 실행중입니다.", self.assert_driver("box", "경고", 30))
        self.assertEqual(process.wait(timeout=20), 1)
        client.wait(timeout=30)


class AuthenticodeSigned(WindowsUpdaterTest):
    def test_the_program_signed_with_a_test_certificate_verifies_and_still_updates(self):
        """Signed as the README says (osslsigncode, here with a certificate made
        now): the signature verifies, a changed byte breaks it, and the signed
        program still runs an update."""
        key, certificate = self.temp / "key.pem", self.temp / "certificate.pem"
        subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2",
                        "-subj", "/CN=Corvana test publisher", "-keyout", str(key), "-out", str(certificate)],
                       check=True, capture_output=True)
        folder = self.client_folder(150)
        program = folder / "CWUpdate2.exe"
        program.unlink()
        subprocess.run(["osslsigncode", "sign", "-certs", str(certificate), "-key", str(key), "-n", "Corvana",
                        "-h", "sha256", "-in", UPDATER, "-out", str(program)], check=True, capture_output=True)
        verify = ["osslsigncode", "verify", "-CAfile", str(certificate), "-in"]
        result = subprocess.run([*verify, str(program)], capture_output=True, text=True)
        self.assertEqual(result.returncode, 0, result.stdout + result.stderr)
        tampered = self.temp / "tampered.exe"
        data = bytearray(program.read_bytes())
        data[len(data) // 3] ^= 0xFF
        tampered.write_bytes(bytes(data))
        self.assertNotEqual(subprocess.run([*verify, str(tampered)], capture_output=True).returncode, 0)
        self.publish("101=old.zip\n171=new.zip;new\n", {"new.zip": {"new.txt": "new"}})
        process = self.start("-THIS_FOLDER", program=str(program))
        self.assertEqual(process.wait(timeout=60), 0)
        self.assertTrue((folder / "new.txt").exists())


class HostileFolder(WindowsUpdaterTest):
    slow = True  # 64 KiB/s: the run is still at work when other programs interfere

    def test_links_and_records_planted_in_the_folder_touch_nothing_outside(self):
        canaries = self.temp / "canaries"
        (canaries / "sub").mkdir(parents=True)
        (canaries / "c1.txt").write_text("one")
        (canaries / "sub" / "c2.txt").write_text("two")
        outside = "Z:" + str(canaries / "c1.txt").replace("/", "\\")

        def journal(staging):
            staging.mkdir()
            (staging / "part1").write_text("planted")
            (staging / "journal").write_bytes(b"part1\0" + outside.encode() + b"\0")

        plants = [lambda staging: staging.symlink_to(canaries, target_is_directory=True), journal]
        folder = self.client_folder(150)
        for number, plant in enumerate(plants):
            with self.subTest(plant=number):
                if os.path.lexists(folder / ".corvana-staging"):
                    os.unlink(folder / ".corvana-staging")
                plant(folder / ".corvana-staging")
                self.publish("171=new.zip;new\n", {"new.zip": {"new%d.txt" % number: "new"}})
                process = self.start("-THIS_FOLDER", program=str(folder / "CWUpdate2.exe"))
                box = None
                deadline = time.monotonic() + 60
                while process.poll() is None and box is None and time.monotonic() < deadline:
                    code, text = self.driver("box", "에러메시지", 2)
                    box = text if code == 0 else None
                if box is not None:
                    # Wine cannot remove a link to a folder: the run ends before it
                    # writes anything, and says so.
                    self.assertEqual(number, 0)
                    self.assertIn("#-5", box)
                    self.assertEqual(process.wait(timeout=30), 1)
                else:
                    self.assertEqual(process.wait(timeout=30), 0)
                    self.assertTrue((folder / ("new%d.txt" % number)).exists())
                    self.assertFalse(os.path.lexists(folder / ".corvana-staging"))
                self.assertEqual((canaries / "c1.txt").read_text(), "one")
                self.assertEqual((canaries / "sub" / "c2.txt").read_text(), "two")

    def test_a_foreign_request_message_is_ignored(self):
        folder = self.client_folder(150)
        self.publish("171=big.zip;big\n", {"big.zip": {"big.bin": os.urandom(400000)}})
        process = self.start("-THIS_FOLDER", program=str(folder / "CWUpdate2.exe"))
        self.assert_driver("wait-text", IDC_STATUS, "[big]", 60)
        self.assert_driver("foreign-request")
        self.assertEqual(process.wait(timeout=60), 0)
        self.assertEqual((folder / "big.bin").stat().st_size, 400000)

    def test_a_byte_every_eight_seconds_ends_the_run(self):
        folder = self.client_folder(150)
        env = dict(self.env, CORVANA_PATCH_HOST=os.environ["CORVANA_TEST_FAULT"] + "/trickle/4000/8000")
        started = time.monotonic()
        process = self.start("-THIS_FOLDER", program=str(folder / "CWUpdate2.exe"), env=env)
        self.assertEqual(process.wait(timeout=150), 1)  # the lowest speed, then the 10 s ending
        self.assertLess(time.monotonic() - started, 110)
        self.assertFalse((folder / "cw.log").exists())


if __name__ == "__main__":
    unittest.main()
