"""The Linux updater's desktop window, run for real on an X display of its own
(scripts/with-xvfb) against nginx, driven with xdotool. Screenshots go to
CORVANA_E2E_SCREENSHOTS."""
import ctypes
import os
import pathlib
import shutil
import subprocess
import tempfile
import time
import unittest

from common import PatchServer

UPDATER = os.environ.get("CORVANA_E2E_UPDATER", "")
STANDINS = pathlib.Path(os.environ.get("CORVANA_E2E_STANDINS", "."))
SHOTS = pathlib.Path(os.environ.get("CORVANA_E2E_SCREENSHOTS", "/tmp"))
TITLE = "CW - AutoUpdater"
CHOOSER = "Corvana를 설치할 폴더를 선택해 주세요."
# The panel's controls, in pixels from its top left corner.
BANNER, STATUS = (200, 30), (60, 84)
PROGRESS, BROWSE, INSTALL, EXIT = (200, 113), (345, 115), (250, 154), (345, 154)


def xdotool(*args):
    return subprocess.run(["xdotool", *args], capture_output=True, text=True, timeout=20).stdout


def close_request(window):
    """Sends WM_DELETE_WINDOW, as a window manager's close button does."""
    x11 = ctypes.cdll.LoadLibrary("libX11.so.6")
    x11.XOpenDisplay.restype = ctypes.c_void_p
    x11.XInternAtom.restype = ctypes.c_ulong
    display = x11.XOpenDisplay(None)

    class ClientMessage(ctypes.Structure):
        _fields_ = [("type", ctypes.c_int), ("serial", ctypes.c_ulong), ("send_event", ctypes.c_int),
                    ("display", ctypes.c_void_p), ("window", ctypes.c_ulong), ("message_type", ctypes.c_ulong),
                    ("format", ctypes.c_int), ("data", ctypes.c_long * 5), ("pad", ctypes.c_long * 12)]
    protocols = x11.XInternAtom(ctypes.c_void_p(display), b"WM_PROTOCOLS", 0)
    delete = x11.XInternAtom(ctypes.c_void_p(display), b"WM_DELETE_WINDOW", 0)
    event = ClientMessage(type=33, window=window, message_type=protocols, format=32)
    event.data[0], event.data[1] = delete, 0
    x11.XSendEvent(ctypes.c_void_p(display), ctypes.c_ulong(window), 0, ctypes.c_long(0), ctypes.byref(event))
    x11.XCloseDisplay(ctypes.c_void_p(display))


class DesktopWindowTest(unittest.TestCase):
    slow = False

    def setUp(self):
        if not os.environ.get("DISPLAY"):
            self.skipTest("no X display (run through scripts/with-xvfb)")
        self.temp = pathlib.Path(tempfile.mkdtemp(prefix="corvana-gtk-"))
        self.addCleanup(shutil.rmtree, self.temp, True)
        self.patch_server = PatchServer("gtk", self.slow)
        self.env = dict(os.environ, CORVANA_PATCH_HOST=self.patch_server.host, XDG_DATA_HOME=str(self.temp / "data"),
                        XDG_RUNTIME_DIR=str(self.temp), TMPDIR=str(self.temp), CORVANA_REGISTRY_ROOT=str(self.temp / "registry"),
                        LC_ALL="C.UTF-8", NO_AT_BRIDGE="1", GSETTINGS_BACKEND="memory",
                        LSAN_OPTIONS="suppressions=%s" % (pathlib.Path(__file__).parent.parent / "support" /
                                                          "lsan-desktop.supp"))
        self.env.pop("WAYLAND_DISPLAY", None)
        SHOTS.mkdir(parents=True, exist_ok=True)

    def start(self, args=(), program=None):
        self.process = subprocess.Popen([program or UPDATER, *args], env=self.env, stdin=subprocess.DEVNULL,
                                        stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        self.addCleanup(lambda: self.process.poll() is None and self.process.kill())
        self.window = self.find_window(TITLE)
        return self.window

    def find_window(self, name, timeout=30):  # long: the suites run side by side
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            found = xdotool("search", "--onlyvisible", "--name", "^%s$" % name).split()
            if found:
                time.sleep(0.3)  # drawn
                return int(found[-1])
            if self.process.poll() is not None:
                self.fail("the updater ended (%d) before a window named %r showed: %s" %
                          (self.process.returncode, name, self.process.stderr.read()))
            time.sleep(0.1)
        self.fail("no window named %r" % name)

    def position(self, window=None):
        fields = dict(line.split("=") for line in xdotool("getwindowgeometry", "--shell",
                                                           str(window or self.window)).split())
        return int(fields["X"]), int(fields["Y"])

    def click(self, point, window=None):
        xdotool("mousemove", "--window", str(window or self.window), str(point[0]), str(point[1]), "click", "1")

    def key(self, *keys, window=None):
        """Types into a window as a keyboard would (events sent to a window are ignored)."""
        xdotool("windowfocus", "--sync", str(window or self.window))
        xdotool("key", "--clearmodifiers", *keys)

    def screenshot(self, name):
        subprocess.run(["import", "-window", "root", str(SHOTS / name)], check=False, timeout=20)

    def wait_for(self, predicate, timeout=20):
        deadline = time.monotonic() + timeout
        while not predicate() and time.monotonic() < deadline:
            time.sleep(0.1)
        return predicate()

    def install(self, folder):
        """Clicks Install until the run takes the choice (it makes the folder): a
        click before a slow sanitized start has drawn the panel is lost."""
        for _ in range(3):
            self.click(INSTALL)
            if self.wait_for(folder.exists, timeout=10):
                return
        self.fail("Install was never taken")

    def finish(self, timeout=30):
        out, err = self.process.communicate(timeout=timeout)
        return self.process.returncode, out, err


class FirstInstallation(DesktopWindowTest):
    slow = True  # 64 KiB/s: the download can be seen

    def test_install_through_the_panel(self):
        self.publish_two()
        self.start()
        default = self.temp / "data" / "Corvana"
        self.screenshot("gtk-installation-choice.png")
        self.install(default)
        self.assertTrue(self.wait_for(lambda: (default / "a.txt").exists(), timeout=60))
        time.sleep(0.8)
        self.screenshot("gtk-download.png")
        status, _, err = self.finish()
        self.assertEqual(status, 0, err)
        self.assertTrue((default / "b.bin").exists())
        self.assertTrue((default / "cw.log").exists())  # the client was started

    def test_close_request_during_a_transfer_ends_like_cancel(self):
        self.publish_two(client=None)  # the first archive small: a sanitized client takes long at 64 KiB/s
        self.start()
        default = self.temp / "data" / "Corvana"
        self.install(default)
        self.assertTrue(self.wait_for(lambda: (default / "a.txt").exists(), timeout=60))
        close_request(self.window)
        start = time.monotonic()
        status, _, err = self.finish()
        self.assertLess(time.monotonic() - start, 5)
        self.assertEqual(status, 2, err)
        self.assertFalse((default / "b.bin").exists())

    def publish_two(self, client=STANDINS / "cw.exe"):
        first = {"a.txt": "a", **({"cw.exe": client} if client else {})}
        self.patch_server.publish("1=a.zip;first\n2=b.zip;second\n", {
            "a.zip": first, "b.zip": {"b.bin": os.urandom(192 << 10)}})


class Panel(DesktopWindowTest):
    def test_browse_opens_the_folder_chooser_over_the_panel(self):
        self.patch_server.publish("1=a.zip\n", {"a.zip": {"a.txt": "a"}})
        self.start()
        self.click(BROWSE)
        chooser = self.find_window(CHOOSER)
        close_request(chooser)  # its close button: a cancel
        self.assertTrue(self.wait_for(lambda: not xdotool("search", "--onlyvisible", "--name", "^Corvana를").split()))
        self.key("Escape")  # the panel serves again: Escape ends it like Cancel
        status, _, err = self.finish()
        self.assertEqual(status, 2, err)
        self.assertFalse((self.temp / "data" / "Corvana" / "a.txt").exists())

    def test_browse_starts_above_the_chosen_folder_and_installs_there(self):
        self.patch_server.publish("1=a.zip\n", {"a.zip": {"a.txt": "a", "cw.exe": STANDINS / "cw.exe"}})
        home = self.temp / "home"
        (home / "Games" / "Mine").mkdir(parents=True)
        self.env["HOME"] = str(home)
        self.start()
        # A name typed in the chooser is a folder of the one it starts in: first
        # home, then Games, the folder above the product folder of the field.
        for name in ("Games", "Mine"):
            self.click(BROWSE)
            chooser = self.find_window(CHOOSER)
            if name == "Mine":
                self.screenshot("gtk-browse.png")
            xdotool("windowfocus", "--sync", str(chooser))
            xdotool("type", "--delay", "30", name)
            time.sleep(0.3)
            self.key("Return", window=chooser)  # into the folder
            time.sleep(0.5)
            self.key("Return", window=chooser)  # Open: the folder shown
            self.assertTrue(self.wait_for(lambda: not xdotool("search", "--onlyvisible", "--name", "^" + CHOOSER)))
        self.click(INSTALL)
        status, _, err = self.finish()
        self.assertEqual(status, 0, err)
        self.assertTrue((home / "Games" / "Mine" / "Corvana" / "a.txt").exists())

    def test_exit_asks_and_no_keeps_the_panel(self):
        self.patch_server.publish("1=a.zip\n", {"a.zip": {"a.txt": "a"}})
        self.start()
        self.click(EXIT)
        question = self.find_window("설치를 중단하시겠습니까\\?")
        self.screenshot("gtk-exit-question.png")
        self.key("Escape", window=question)  # Cancel: nothing changes
        time.sleep(0.5)
        self.assertIsNone(self.process.poll())
        self.click(EXIT)
        question = self.find_window("설치를 중단하시겠습니까\\?")
        self.key("Return", window=question)  # OK
        status, _, err = self.finish()
        self.assertEqual(status, 2, err)
        self.assertFalse((self.temp / "data" / "Corvana" / "a.txt").exists())

    def test_banner_drags_the_panel_and_a_button_does_not(self):
        self.patch_server.publish("1=a.zip\n", {"a.zip": {"a.txt": "a"}})
        self.start()
        for point, moves in [(BANNER, True), (STATUS, True), (BROWSE, False)]:
            with self.subTest(point=point):
                before = self.position()
                xdotool("mousemove", "--window", str(self.window), str(point[0]), str(point[1]), "mousedown", "1")
                time.sleep(0.2)
                xdotool("mousemove_relative", "--sync", "60", "40")
                time.sleep(0.2)
                xdotool("mouseup", "1")
                time.sleep(0.4)
                after = self.position()
                self.assertEqual(after != before, moves, (before, after))
        self.assertEqual(xdotool("search", "--onlyvisible", "--name", "^Corvana를").split(), [])  # Browse not pressed
        self.key("Escape")
        status, _, _ = self.finish()
        self.assertEqual(status, 2)

    def test_failure_box_is_modal_and_the_run_ends_after_it(self):
        self.patch_server.publish("160=notes.txt;n\n")
        (self.patch_server.normal / "notes.txt").write_text("n")
        folder = self.temp / "Corvana"
        folder.mkdir()
        shutil.copy(STANDINS / "cw.exe", folder / "cw.exe")
        shutil.copy(UPDATER, folder / "corvana-updater")
        (folder / "cw-version.txt").write_text("150")
        (folder / "notes.txt").mkdir()  # a folder in the way: the file cannot be saved
        # A window manager frames the box: its title whole, only move and close offered.
        manager = subprocess.Popen(["openbox", "--sm-disable"], env=self.env, stdout=subprocess.DEVNULL,
                                   stderr=subprocess.DEVNULL)
        self.addCleanup(manager.kill)
        self.start(["-THIS_FOLDER"], program=str(folder / "corvana-updater"))
        box = self.find_window("에러메시지")
        hints = subprocess.run(["xprop", "-id", str(box), "_MOTIF_WM_HINTS"], capture_output=True,
                               text=True).stdout
        self.assertIn("= 0x3, 0x24, 0xa", hints)  # functions MOVE|CLOSE, decorations BORDER|TITLE
        time.sleep(0.5)  # framed
        self.screenshot("gtk-failure.png")  # the code as the text, the cause under it
        self.assertIsNone(self.process.poll())  # the box holds the run
        self.key("Return", window=box)
        status, _, err = self.finish()
        self.assertEqual(status, 1)
        self.assertIn("notes.txt: could not be saved", err)

    def test_the_version_keeps_its_point_in_a_comma_locale(self):
        folder = self.temp / "Corvana"
        folder.mkdir()
        shutil.copy(STANDINS / "cw.exe", folder / "cw.exe")
        shutil.copy(UPDATER, folder / "corvana-updater")
        (folder / "cw-version.txt").write_text("170")
        self.env.pop("LC_ALL")
        self.env.update(LANG="de_DE.UTF-8", LC_MESSAGES="C.UTF-8")  # numbers German, texts Korean
        log = self.temp / "run.log"
        self.start(["-THIS_FOLDER", "-CHECK_VERSION", "--log", str(log)], program=str(folder / "corvana-updater"))
        box = self.find_window("에러메시지")
        self.key("Return", window=box)
        self.finish()
        self.assertIn("vc : 1.170", log.read_text())

    def test_an_exit_button_ending_shows_its_cause_under_the_status(self):
        self.env["CORVANA_PATCH_HOST"] = "127.0.0.1:9"  # nothing listens there
        folder = self.temp / "Corvana"
        folder.mkdir()
        shutil.copy(UPDATER, folder / "corvana-updater")
        self.start(["-THIS_FOLDER"], program=str(folder / "corvana-updater"))
        time.sleep(2)  # the connection refused, the Exit button shown
        self.screenshot("gtk-unreachable.png")  # the cause where the size line was
        self.click(EXIT)
        status, _, err = self.finish()
        self.assertEqual(status, 1)
        self.assertIn("(host 127.0.0.1, port 9): the URL could not be opened", err)


if __name__ == "__main__":
    unittest.main()
