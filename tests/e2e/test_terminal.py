"""The Linux updater, run for real in its terminal front end against nginx
(through tests/support/with_servers.py), with real archives and the stand-in
client and setup program."""
import fcntl
import os
import pathlib
import pty
import re
import select
import shutil
import signal
import socket
import struct
import subprocess
import sys
import tempfile
import termios
import threading
import time
import unittest

from common import MAKE_PATCH_SET, PatchServer

UPDATER = os.environ.get("CORVANA_E2E_UPDATER", "")
STANDINS = pathlib.Path(os.environ.get("CORVANA_E2E_STANDINS", "."))

STATUS_SERVER_UNREACHABLE = "패치서버에 접속할 수 없습니다."
STATUS_PATCH_DONE = "패치 완료!!  클라이언트를 실행합니다."
STATUS_UNKNOWN_CLIENT = "알 수 없는 클라이언트 파일입니다."
CLIENT_RUNNING = "Corvana가 이미 실행중입니다."
# The Linux program's own texts, in Korean as every text in a Korean or C locale.
INSTALLING_INTO = "%s에 설치합니다"
CANNOT_INSTALL_THERE = "그곳에는 설치할 수 없습니다: "
EXIT_NOW_HINT = "(Ctrl-C: 지금 종료)"


class UpdaterTest(unittest.TestCase):
    slow = False

    def setUp(self):
        self.temp = pathlib.Path(tempfile.mkdtemp(prefix="corvana-e2e-"))
        self.addCleanup(shutil.rmtree, self.temp, True)
        self.patch_server = PatchServer("e2e", self.slow)
        self.folder = self.temp / "Games" / "Corvana"
        self.env = dict(os.environ, CORVANA_PATCH_HOST=self.patch_server.host, XDG_DATA_HOME=str(self.temp / "programs"),
                        XDG_RUNTIME_DIR=str(self.temp), TMPDIR=str(self.temp),
                        CORVANA_REGISTRY_ROOT=str(self.temp / "registry"), LC_ALL="C.UTF-8")

    # -- the patch server
    def publish(self, manifest, archives=None, beta=False):
        self.patch_server.publish(manifest, archives, beta)

    # -- the installed client
    def install_client(self, version=150):
        self.folder.mkdir(parents=True, exist_ok=True)
        shutil.copy(STANDINS / "cw.exe", self.folder / "cw.exe")
        shutil.copy(UPDATER, self.folder / "corvana-updater")
        (self.folder / "cw-version.txt").write_text(str(version))

    def client_log(self, wait=5.0):
        log = self.folder / "cw.log"
        deadline = time.monotonic() + wait
        while not log.exists() and time.monotonic() < deadline:
            time.sleep(0.05)
        time.sleep(0.1)
        return log.read_text().splitlines() if log.exists() else []

    # -- the updater
    def run_updater(self, args=(), stdin="", program=None, timeout=60):
        return subprocess.run([program or UPDATER, *args], input=stdin, env=self.env, capture_output=True,
                              text=True, timeout=timeout)

    def install_fresh(self, args=()):
        (self.temp / "Games").mkdir(exist_ok=True)
        return self.run_updater(args, stdin=str(self.temp / "Games") + "\n")


class FirstInstallation(UpdaterTest):
    def test_chosen_folder_gets_every_entry_and_the_client_starts(self):
        # The client arrives with the first archive, as in a real installation.
        self.publish("101=base.zip;base\n150=sound.zip\n",
                     {"base.zip": {"data/readme.txt": "base\n", "cw.exe": STANDINS / "cw.exe"},
                      "sound.zip": {"data/theme.ogg": "ogg"}})
        result = self.install_fresh(["/AutoLoginRID:player7", "more"])
        self.assertEqual(result.returncode, 0, result.stdout + result.stderr)
        self.assertIn(STATUS_PATCH_DONE, result.stdout)
        self.assertEqual((self.folder / "data" / "readme.txt").read_text(), "base\n")
        self.assertTrue((self.folder / "data" / "theme.ogg").exists())
        self.assertFalse((self.folder / "base.zip").exists())
        # argv[0] is the client's own path, the login id its first argument.
        self.assertEqual(self.client_log(), ["%s /AutoLoginRID:player7 more" % (self.folder / "cw.exe")])
        self.assertFalse((self.temp / "programs" / "applications").exists())  # no launcher shipped

    def test_default_folder_on_an_empty_answer(self):
        self.publish("1=a.zip\n", {"a.zip": {"a.txt": "a"}})
        (self.temp / "programs").mkdir()
        result = self.run_updater(stdin="\n")
        self.assertTrue((self.temp / "programs" / "Corvana" / "a.txt").exists(), result.stdout)
        self.assertEqual(result.returncode, 1)  # no client in a fresh folder

    def test_exit_or_end_of_input_at_the_choice_fetches_nothing(self):
        self.publish("1=a.zip\n", {"a.zip": {"a.txt": "a"}})
        for answer in ("q\n", ""):
            result = self.run_updater(stdin=answer)
            self.assertEqual(result.returncode, 2, result.stdout)
            self.assertNotIn("[", result.stdout)  # no entry status
            self.assertFalse(self.folder.exists())


class DesktopLauncher(UpdaterTest):
    def test_the_shipped_launcher_is_registered_and_starts_the_installed_updater(self):
        source = self.temp / "source" / "base"
        source.mkdir(parents=True)
        shutil.copy(UPDATER, source / "corvana-updater")
        shutil.copy(STANDINS / "cw.exe", source / "cw.exe")
        (source / "cw-version.txt").write_text("101")
        subprocess.run([*MAKE_PATCH_SET, "--desktop", str(self.patch_server.normal),
                        "101=%s;base" % source], check=True, capture_output=True)
        # A folder whose name needs each of the entry's escapes.
        games = self.temp / 'Games "$HOME" `id` 100% \\ x'
        games.mkdir()
        result = self.run_updater(stdin=str(games) + "\n")
        self.assertEqual(result.returncode, 0, result.stdout + result.stderr)
        folder = self.folder = games / "Corvana"
        data = self.temp / "programs"
        entry = data / "applications" / "corvana-updater.desktop"
        for path in (folder / "corvana-updater.desktop", entry):
            check = subprocess.run(["desktop-file-validate", str(path)], capture_output=True, text=True)
            self.assertEqual((check.returncode, check.stdout), (0, ""), path)
        self.assertEqual(sorted(p.relative_to(data).as_posix() for p in (data / "icons").rglob("*.png")),
                         sorted("icons/hicolor/%dx%d/apps/corvana-updater.png" % (n, n)
                                for n in (16, 24, 32, 48, 64, 128, 256)))

        # GLib's launcher reads the entry: the installed updater starts in its
        # folder with -THIS_FOLDER and starts the client.
        (folder / "cw.log").unlink()
        env = {k: v for k, v in self.env.items() if k not in ("DISPLAY", "WAYLAND_DISPLAY")}
        launched = subprocess.run(["gio", "launch", str(entry)], env=env, capture_output=True, text=True,
                                  timeout=60)
        self.assertEqual(launched.returncode, 0, launched.stderr)
        self.assertIn("패치할 파일이 없습니다.", launched.stdout)  # it read this folder's version
        self.assertEqual(self.client_log(), [str(folder / "cw.exe")])

        # A version query from the folder installs nothing: the entry stays as it is.
        registered = entry.read_bytes()
        queried = subprocess.run([str(folder / "corvana-updater"), "-CHECK_VERSION"], cwd=folder, env=self.env,
                                 stdin=subprocess.DEVNULL, capture_output=True, text=True, timeout=60)
        self.assertIn("vc : 1.000", queried.stdout)  # without -THIS_FOLDER no client is asked
        self.assertEqual(entry.read_bytes(), registered)


class InstallationPackage(UpdaterTest):
    def test_setup_program_is_started_then_deleted(self):
        self.publish("1=install.zip;full install\n",
                     {"install.zip": {"data/a.txt": "a", "setup.exe": STANDINS / "setup.exe"}})
        result = self.install_fresh()
        self.assertEqual(result.returncode, 0, result.stdout)
        self.assertIn("설치 작업 완료!! 클라이언트를 실행합니다.", result.stdout)
        log = (self.folder / "setup.log").read_text().splitlines()
        self.assertEqual(log, [str(self.folder / "setup.exe") + " -install"])
        self.assertFalse((self.folder / "setup.exe").exists())


class ThisFolder(UpdaterTest):
    def test_only_entries_newer_than_the_clients_answer_are_fetched(self):
        self.install_client(version=150)
        self.publish("101=old.zip\n150=old2.zip\n171=new.zip;new\n", {"new.zip": {"new.txt": "new"}})
        result = self.run_updater(["-THIS_FOLDER"], program=str(self.folder / "corvana-updater"))
        self.assertEqual(result.returncode, 0, result.stdout + result.stderr)
        self.assertIn("[new]", result.stdout)
        self.assertNotIn("old", result.stdout)
        self.assertTrue((self.folder / "new.txt").exists())
        self.assertEqual(self.client_log(), [str(self.folder / "cw.exe")])

    def test_check_version_reports_the_clients_answer(self):
        self.install_client(version=171)
        result = self.run_updater(["-THIS_FOLDER", "-CHECK_VERSION"], program=str(self.folder / "corvana-updater"))
        self.assertIn("vc : 1.171", result.stdout)
        self.assertEqual(result.returncode, 0)

    def test_client_newer_than_the_manifest_is_unknown(self):
        self.install_client(version=200)
        self.publish("101=a.zip\n171=b.zip\n")
        result = self.run_updater(["-THIS_FOLDER"], program=str(self.folder / "corvana-updater"))
        self.assertIn(STATUS_UNKNOWN_CLIENT, result.stdout)
        self.assertEqual(result.returncode, 1)
        self.assertEqual(self.client_log(wait=0.3), [])


class ServerPaths(UpdaterTest):
    def test_update_with_beta_fetches_from_the_beta_path(self):
        self.publish("1=b.zip;beta\n", {"b.zip": {"beta.txt": "b"}}, beta=True)
        result = self.install_fresh(["-UPDATE", "abcdefghij", "1.170", "-U_BETA"])
        self.assertIn("[beta]", result.stdout)
        self.assertTrue((self.folder / "beta.txt").exists())

    def test_html_page_as_manifest_means_the_server_is_unreachable(self):
        self.publish("<!DOCTYPE html><html>error</html>")
        start = time.monotonic()
        result = self.install_fresh()
        self.assertIn(STATUS_SERVER_UNREACHABLE, result.stdout)
        self.assertEqual(result.returncode, 1)
        self.assertGreater(time.monotonic() - start, 9)  # the ending waits 10 s, then closes


class Failures(UpdaterTest):
    slow = True  # this server sends at 64 KiB/s

    def test_ctrl_c_at_an_error_ending_exits_at_once_with_status_1(self):
        self.env["CORVANA_PATCH_HOST"] = "127.0.0.1:9"  # nothing listens there
        process = subprocess.Popen([UPDATER, "-THIS_FOLDER"], stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                   stderr=subprocess.PIPE, env=self.env, text=True)
        line = ""
        while EXIT_NOW_HINT not in line:
            line = process.stdout.readline()
            self.assertNotEqual(line, "", "no error ending")
        start = time.monotonic()
        process.send_signal(signal.SIGINT)
        _, err = process.communicate(timeout=20)
        self.assertLess(time.monotonic() - start, 2.0)  # not the ending's 10 s
        self.assertEqual(process.returncode, 1, err)
        self.assertIn("patch_info.txt (host 127.0.0.1, port 9): the URL could not be opened", err)

    def test_ctrl_c_during_a_transfer_keeps_earlier_entries(self):
        self.publish("1=a.zip;first\n2=b.zip;second\n",
                     {"a.zip": {"a.txt": "a"}, "b.zip": {"b.bin": os.urandom(1 << 20).hex()}})
        (self.temp / "Games").mkdir()
        process = subprocess.Popen([UPDATER], stdin=subprocess.PIPE, stdout=subprocess.PIPE, env=self.env,
                                   text=True)
        process.stdin.write(str(self.temp / "Games") + "\n")
        process.stdin.flush()
        deadline = time.monotonic() + 20
        while not (self.folder / "a.txt").exists() and time.monotonic() < deadline:
            time.sleep(0.05)
        time.sleep(0.5)  # well into the second file
        process.send_signal(signal.SIGINT)  # the Exit button; no terminal to confirm on
        out, _ = process.communicate(timeout=20)
        self.assertEqual(process.returncode, 2, out)
        self.assertIn("[second]", out)
        self.assertTrue((self.folder / "a.txt").exists())
        self.assertFalse((self.folder / "b.zip").exists())  # the current file is not saved
        self.assertFalse((self.folder / "b.bin").exists())

    def test_file_the_server_does_not_have_ends_as_unreachable(self):
        self.publish("160=a.zip;first\n161=missing.zip;second\n", {"a.zip": {"a.txt": "a"}})
        self.install_client(version=150)
        result = self.run_updater(["-THIS_FOLDER"], program=str(self.folder / "corvana-updater"))
        self.assertIn(STATUS_SERVER_UNREACHABLE, result.stdout)
        self.assertEqual(result.returncode, 1)
        self.assertTrue((self.folder / "a.txt").exists())
        self.assertEqual(self.client_log(wait=0.3), [])


class CauseLines(UpdaterTest):
    """Each failure keeps its ending and adds one English line on stderr that says
    what failed: the URL, host and port, status or kind, path and the system's words."""

    def test_each_failure_names_its_cause(self):
        broken = self.temp / "broken.zip"
        broken.write_bytes(b"PK\x03\x04" + b"\0" * 200)
        cases = [  # (host, manifest, archives, a folder in the way, status line, cause)
            ("127.0.0.1:9", None, {}, None, STATUS_SERVER_UNREACHABLE,
             "(host 127.0.0.1, port 9): the URL could not be opened: Failed to connect"),
            ("nohost.invalid:8080", None, {}, None, STATUS_SERVER_UNREACHABLE,
             "(host nohost.invalid, port 8080): the URL could not be opened: Could not resolve host"),
            (None, None, {}, None, STATUS_SERVER_UNREACHABLE,
             "patch_info.txt (host 127.0.0.1, port %s): the server answered with an error status (HTTP 404)"),
            (None, "160=missing.zip;m\n", {}, None, STATUS_SERVER_UNREACHABLE,
             "missing.zip (host 127.0.0.1, port %s): the server answered with an error status (HTTP 404)"),
            (None, "160=notes.txt;n\n", {}, "notes.txt", "에러코드 : #-5",
             "notes.txt: could not be saved (%(folder)s/notes.txt: a folder is in the way)"),
            (None, "160=a.zip;a\n", {"a.zip": {"x" * 300: "a"}}, None, "에러코드 : #-5",
             "a.zip: could not be unpacked whole (%(folder)s/" + "x" * 300 + ": File name too long)"),
            (None, "160=broken.zip;b\n", {}, None, "에러코드 : #-5",
             "broken.zip: could not be unpacked whole (a damaged archive)"),
        ]
        port = self.patch_server.host.split(":")[-1].split("/")[0]
        runs = []  # the cases run side by side: each waits out its error ending
        for number, (host, manifest, archives, in_the_way, status, cause) in enumerate(cases):
            self.patch_server = PatchServer("cause")
            if manifest:
                self.publish(manifest, archives)
                shutil.copy(broken, self.patch_server.normal / "broken.zip")
                (self.patch_server.normal / "notes.txt").write_text("n")
            self.folder = self.temp / str(number) / "Corvana"
            self.install_client(version=150)
            if in_the_way:
                (self.folder / in_the_way).mkdir()
            (self.temp / str(number)).chmod(0o700)  # a runtime folder of its own
            env = dict(self.env, CORVANA_PATCH_HOST=host or self.patch_server.host,
                       XDG_RUNTIME_DIR=str(self.temp / str(number)))
            process = subprocess.Popen([str(self.folder / "corvana-updater"), "-THIS_FOLDER"], env=env,
                                       stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                       text=True)
            runs.append((process, status, cause % {"folder": self.folder} if "%(" in cause else cause.replace("%s", port)))
        for process, status, cause in runs:
            with self.subTest(cause=cause):
                out, err = process.communicate(timeout=60)
                self.assertEqual(process.returncode, 1, err)
                self.assertIn(status, out)
                self.assertIn("corvana-updater: " , err)
                self.assertIn(cause, err)


class ProgressLine(UpdaterTest):
    """A slow two-archive run (64 KiB/s), shown on a 40-column terminal, a dumb one
    and a pipe."""
    slow = True
    PROGRESS = re.compile(r"(\d+)%  [\d.]+(?: B| KiB| MiB)?/[\d.]+ (?:B|KiB|MiB)")

    def setUp(self):
        super().setUp()
        self.publish("1=a.zip;first\n2=b.zip;second\n",
                     {"a.zip": {"a.bin": os.urandom(128 << 10), "cw.exe": STANDINS / "cw.exe"},
                      "b.zip": {"b.bin": os.urandom(128 << 10)}})
        (self.temp / "Games").mkdir()

    def run_in_terminal(self, columns, act=lambda process, screen: None):
        """Runs a fresh installation on a pseudo-terminal; act(process, screen) is
        called as output arrives. Returns the bytes written and the exit status."""
        master, slave = pty.openpty()
        fcntl.ioctl(slave, termios.TIOCSWINSZ, struct.pack("HHHH", 24, columns, 0, 0))
        process = subprocess.Popen([UPDATER], stdin=slave, stdout=slave, stderr=slave, env=self.env)
        os.close(slave)
        os.write(master, (str(self.temp / "Games") + "\n").encode())
        screen = bytearray()
        deadline = time.monotonic() + 60
        while time.monotonic() < deadline:
            if select.select([master], [], [], 0.1)[0]:
                try:
                    screen += os.read(master, 65536)
                except OSError:  # the program has ended and closed the terminal
                    break
            act(process, screen)
            if process.poll() is not None and not select.select([master], [], [], 0.1)[0]:
                break
        os.close(master)
        return bytes(screen), process.wait(timeout=10)

    def redraws(self, screen):
        return [piece for piece in re.split(rb"[\r\n]", screen.replace(b"\x1b[K", b"")) if self.PROGRESS.search(piece.decode())]

    def test_on_a_narrow_terminal_each_redraw_stays_on_its_line(self):
        def shrink(process, screen):  # half way through, the terminal gets narrower
            if b"[second]" in screen and not shrink.done:
                shrink.done = True
                fcntl.ioctl(process_fd(process), termios.TIOCSWINSZ, struct.pack("HHHH", 24, 30, 0, 0))
                process.send_signal(signal.SIGWINCH)
        shrink.done = False
        process_fd = lambda process: os.open("/proc/%d/fd/1" % process.pid, os.O_RDWR)
        screen, status = self.run_in_terminal(40, shrink)
        self.assertEqual(status, 0, screen)
        lines = self.redraws(screen)
        self.assertGreater(len(lines), 5)
        self.assertTrue(all(len(line) <= 39 for line in lines), lines)
        self.assertTrue(any(len(line) > 29 for line in lines[:len(lines) // 3]), lines)
        self.assertLessEqual(len(lines[-1]), 29, lines)
        self.assertIn(b"\r\x1b[K[", screen)
        percents = [int(self.PROGRESS.search(line.decode()).group(1)) for line in lines]
        self.assertEqual(percents, sorted(percents))  # the run's percent, never the file's
        self.assertTrue(any(b"left" in line for line in lines), lines)

    def test_a_dumb_terminal_gets_no_escape_sequences(self):
        self.env["TERM"] = "dumb"
        screen, status = self.run_in_terminal(80)
        self.assertNotIn(b"\x1b", screen)
        self.assertGreater(len(self.redraws(screen)), 5)

    def test_a_pipe_gets_a_plain_line_at_each_tenth(self):
        result = self.install_fresh()
        self.assertNotIn("\r", result.stdout)
        self.assertNotIn("\x1b", result.stdout)
        lines = [line for line in result.stdout.splitlines() if self.PROGRESS.match(line)]
        tenths = [int(self.PROGRESS.match(line).group(1)) // 10 for line in lines]
        self.assertEqual(tenths, sorted(tenths))
        self.assertGreaterEqual(len(set(tenths)), 5, result.stdout)
        self.assertLessEqual(len(lines), 11 + 3, result.stdout)  # and one every 5 s at most
        self.assertIn(INSTALLING_INTO % self.folder, result.stdout)

    def test_nothing_is_drawn_over_the_exit_question_and_a_second_ctrl_c_exits(self):
        def interrupt(process, screen):
            if b"[second]" in screen and interrupt.asked is None:
                interrupt.asked = len(screen)
                process.send_signal(signal.SIGINT)
            elif interrupt.asked and b"[y/N] " in screen and interrupt.when is None:
                interrupt.when = time.monotonic()
            elif interrupt.when and time.monotonic() - interrupt.when > 1.5 and not interrupt.again:
                interrupt.again = len(screen)
                process.send_signal(signal.SIGINT)
        interrupt.asked = interrupt.when = interrupt.again = None
        screen, status = self.run_in_terminal(80, interrupt)
        self.assertEqual(status, 2, screen)
        question = screen.index(b"[y/N] ")
        self.assertEqual(screen[question + 6:interrupt.again], b"")  # 1.5 s of a transfer, nothing drawn
        self.assertFalse((self.folder / "b.bin").exists())


class CommandLine(UpdaterTest):
    def test_own_options_answer_and_unknown_ones_are_refused(self):
        for args, status, out, err in [(["--help"], 0, "사용법: corvana-updater", ""),
                                       (["-h"], 0, "3 이 사용자의 다른 업데이터가 이미 실행 중", ""),
                                       (["--version"], 0, "corvana-updater 2.0.0", ""),
                                       (["--bogus"], 64, "", "알 수 없는 옵션입니다: --bogus"),
                                       (["-THIS_FOLDER", "--yes-please"], 64, "", "사용법: corvana-updater")]:
            with self.subTest(args=args):
                result = self.run_updater(args)
                self.assertEqual(result.returncode, status, result.stdout + result.stderr)
                self.assertIn(out, result.stdout)
                self.assertIn(err, result.stderr)
                self.assertNotIn("현재 버전", result.stdout)  # nothing was started

    def test_a_folder_longer_than_a_windows_path_is_used_whole(self):
        deep = self.temp / ("d" * 120) / ("e" * 120) / "games"
        deep.mkdir(parents=True)
        self.publish("1=a.zip\n", {"a.zip": {"data/a.txt": "a"}})
        result = self.run_updater(stdin=str(deep) + "\n")
        self.assertGreater(len(str(deep / "Corvana" / "data" / "a.txt")), 262)
        self.assertEqual((deep / "Corvana" / "data" / "a.txt").read_text(), "a", result.stdout + result.stderr)
        self.assertEqual(sorted(p.name for p in (self.temp / ("d" * 120) / ("e" * 120)).iterdir()), ["games"])

    def test_yes_and_folder_answer_the_choice_without_a_question(self):
        self.publish("1=a.zip\n", {"a.zip": {"a.txt": "a"}})
        (self.temp / "Games").mkdir()
        for args, installed in [(["--yes", "--quiet"], self.temp / "programs" / "Corvana"),
                                (["--folder", str(self.temp / "Games")], self.folder)]:
            with self.subTest(args=args):
                result = self.run_updater(args)  # no input at all
                self.assertEqual((installed / "a.txt").read_text(), "a", result.stdout + result.stderr)
                self.assertNotIn("Enter: 이 폴더에 설치", result.stdout)
                self.assertNotIn("프로그램을 설치할 경로를 선택해주세요.", result.stdout)
                self.assertEqual(result.stdout.count(INSTALLING_INTO % installed), 1, result.stdout)
        result = self.run_updater(["--folder", str(self.temp / "programs" / "Corvana" / "a.txt")])
        self.assertIn("cannot install there", result.stderr)
        self.assertEqual(result.returncode, 2)

    def test_another_language_shows_the_english_texts(self):
        self.publish("1=a.zip\n", {"a.zip": {"a.txt": "a"}})
        del self.env["LC_ALL"]
        self.env.update(LANG="en_US.UTF-8", LC_MESSAGES="")
        result = self.install_fresh()
        self.assertIn("Checking the current version...", result.stdout)
        self.assertIn("[Patch file #1] downloading (1/2)", result.stdout)
        self.assertIn("Error message: Cannot start the main program.", result.stdout)
        self.assertIn("Install into %s\n  Enter: install there" % (self.temp / "programs" / "Corvana"), result.stdout)
        self.assertIn("Installing into %s" % self.folder, result.stdout)
        self.assertIn("usage: corvana-updater", self.run_updater(["--help"]).stdout)
        self.assertIn("unknown option --bogus", self.run_updater(["--bogus"]).stderr)

    def test_log_keeps_the_texts_urls_failure_and_ending_with_times(self):
        self.publish("1=a.zip;first\n2=missing.zip;second\n", {"a.zip": {"a.txt": "a"}})
        log = self.temp / "run.log"
        result = self.install_fresh(["--log", str(log), "/AutoLoginRID:secret", "x"])
        self.assertEqual(result.returncode, 1, result.stderr)
        lines = log.read_text().splitlines()
        self.assertTrue(all(re.match(r"\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3}  \w+ ", line) for line in lines), lines)
        text = "\n".join(lines)
        for expected in ["start   corvana-updater 2.0.0, arguments: /AutoLoginRID:*** x",
                         "folder  " + str(self.folder),
                         "get     http://" + self.patch_server.host + "/web_patch/corvana/patch_info.txt",
                         "status  [second] 다운로드중 (2/3)",
                         "failure http://%s/web_patch/corvana/missing.zip (host" % self.patch_server.host,
                         "status  " + STATUS_SERVER_UNREACHABLE, "end     exit status 1"]:
            self.assertIn(expected, text)
        self.assertNotIn("secret", text)
        self.assertEqual(oct(log.stat().st_mode & 0o777), "0o600")
        refused = self.run_updater(["--log", str(self.temp / "no" / "such" / "log")])
        self.assertEqual(refused.returncode, 1)
        self.assertIn("cannot write the log", refused.stderr)

    def test_an_option_after_the_login_id_is_the_clients(self):
        self.publish("1=a.zip\n", {"a.zip": {"a.txt": "a", "cw.exe": STANDINS / "cw.exe"}})
        result = self.install_fresh(["/AutoLoginRID:p", "--client-option"])
        self.assertEqual(result.returncode, 0, result.stdout + result.stderr)
        self.assertEqual(self.client_log(), ["%s /AutoLoginRID:p --client-option" % (self.folder / "cw.exe")])


class FolderChoice(UpdaterTest):
    def test_typed_folders_are_checked_before_anything_is_fetched(self):
        home = self.temp / "home"
        home.mkdir()
        (self.temp / "a-file").write_text("x")
        self.env["HOME"] = str(home)
        del self.env["XDG_DATA_HOME"]  # a fresh account: no ~/.local/share yet
        self.publish("1=a.zip\n", {"a.zip": {"a.txt": "a"}})
        for answer, installed in [("", home / ".local" / "share" / "Corvana"),
                                  ("~/games", home / "games" / "Corvana"),
                                  ('"%s"' % (self.temp / "quoted dir"), self.temp / "quoted dir" / "Corvana"),
                                  (str(self.temp / "new" / "deeper"), self.temp / "new" / "deeper" / "Corvana")]:
            with self.subTest(answer=answer):
                result = self.run_updater(stdin=answer + "\n")
                self.assertEqual((installed / "a.txt").read_text(), "a", result.stdout + result.stderr)
                self.assertIn(INSTALLING_INTO % installed, result.stdout)
                self.assertIn("Enter: 이 폴더에 설치", result.stdout)
        self.assertEqual((home / ".local" / "share").stat().st_mode & 0o777, 0o700)
        # A file is refused at the prompt, which asks again.
        result = self.run_updater(stdin=str(self.temp / "a-file") + "\nq\n")
        self.assertIn(CANNOT_INSTALL_THERE + "%s: not a folder" % (self.temp / "a-file"), result.stdout)
        self.assertEqual(result.returncode, 2)


class StartUp(UpdaterTest):
    def hold_client(self, milliseconds):
        """Starts the stand-in client, which holds the mutex "CW" for a while."""
        folder = self.temp / "running"
        folder.mkdir(exist_ok=True)
        shutil.copy(STANDINS / "cw.exe", folder / "cw.exe")
        env = dict(self.env, CORVANA_STANDIN_HOLD_MS=str(milliseconds))
        return subprocess.Popen([str(folder / "cw.exe")], env=env)

    def test_running_client_is_waited_for_then_warned_about(self):
        client = self.hold_client(9000)
        time.sleep(0.3)
        start = time.monotonic()
        result = self.run_updater(["-CHECK_VERSION"])
        self.assertIn("경고: " + CLIENT_RUNNING, result.stdout)
        self.assertEqual(result.returncode, 1)
        self.assertGreater(time.monotonic() - start, 4.5)
        client.wait()

    def test_client_that_ends_during_the_wait_lets_the_updater_go_on(self):
        client = self.hold_client(1000)
        time.sleep(0.3)
        result = self.run_updater(["-CHECK_VERSION"])
        self.assertIn("vc : 1.000", result.stdout)
        self.assertNotIn(CLIENT_RUNNING, result.stdout)
        client.wait()

    def test_the_handshake_stays_in_its_session(self):
        """Another session's clients never reach this updater, and a socket that
        another process holds is reported, not silently shared."""
        other = self.temp / "other-session"
        other.mkdir(mode=0o700)
        shutil.copytree(STANDINS, other / "client", dirs_exist_ok=True)
        (other / "client" / "cw-version.txt").write_text("99999")
        stop = time.monotonic() + 3
        def other_session_answers():  # the other session's client, answering all the while
            while time.monotonic() < stop:
                subprocess.run([str(other / "client" / "cw.exe"), "checkversion"], env=dict(self.env, XDG_RUNTIME_DIR=str(other)))
        sender = threading.Thread(target=other_session_answers)
        sender.start()
        self.install_client(version=171)
        result = self.run_updater(["-THIS_FOLDER", "-CHECK_VERSION"], program=str(self.folder / "corvana-updater"))
        sender.join()
        self.assertIn("vc : 1.171", result.stdout)

        held = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
        held.bind(str(self.temp / "corvana-window-CW - AutoUpdater"))
        self.addCleanup(held.close)
        result = self.run_updater(["-THIS_FOLDER", "-CHECK_VERSION"], program=str(self.folder / "corvana-updater"))
        self.assertIn("the client's version cannot be received", result.stderr)
        self.assertNotIn("vc : 1.171", result.stdout)

    def test_second_updater_says_so_and_ends_at_once(self):
        self.publish("1=a.zip\n", {"a.zip": {"a.txt": "a"}})
        first = subprocess.Popen([UPDATER], stdin=subprocess.PIPE, stdout=subprocess.PIPE, env=self.env, text=True)
        time.sleep(0.5)  # the first waits at the installation choice
        for args in ([], ["--repair"]):
            with self.subTest(args=args):
                start = time.monotonic()
                second = self.run_updater(args, timeout=10)
                self.assertEqual(second.returncode, 3)
                self.assertEqual(second.stdout, "")
                self.assertIn("corvana-updater: another updater of this user is already running", second.stderr)
                self.assertLess(time.monotonic() - start, 3)
        first.communicate("q\n", timeout=10)


if __name__ == "__main__":
    unittest.main()
