"""The README's recipe for publishing, run as a publisher pastes it: every ```sh
block of "## Publishing a patch set", in order, from the repository's root, with
HOME in a temporary folder and the key's password typed on standard input. It
runs in a private mount and network namespace (root only), where /etc/nginx is a
folder of the test's own and nginx listens on a loopback of its own; then the
updater the recipe built installs the set it published."""
import os
import pathlib
import re
import shutil
import subprocess
import sys
import tempfile
import unittest

ROOT = pathlib.Path(__file__).resolve().parents[2]
PASSWORD = "recipe password\n"


def recipe_blocks():
    text = (ROOT / "README.md").read_text(encoding="utf-8")
    section = text.split("\n## Publishing a patch set\n", 1)[1].split("\n## ", 1)[0]
    return re.findall(r"^```sh\n(.*?)^```$", section, re.S | re.M)


def run_inside(home):
    """In the namespaces: a private /etc/nginx and loopback, the blocks, the updater."""
    home = pathlib.Path(home)
    os.chmod(home, 0o700)  # a home as Debian makes it: the recipe opens the way for nginx
    etc = home / "etc-nginx"
    (etc / "conf.d").mkdir(parents=True)
    # Debian's: workers as www-data; nginx is not running yet (the recipe starts it).
    (etc / "nginx.conf").write_text(
        "user www-data;\npid %s/nginx.pid;\nerror_log %s/nginx-error.log;\nevents {}\n"
        "http { access_log off; include conf.d/*.conf; }\n" % (home, home))
    subprocess.run(["mount", "--bind", str(etc), "/etc/nginx"], check=True)
    subprocess.run(["ip", "link", "set", "lo", "up"], check=True)
    env = dict(os.environ, HOME=str(home), PATH="/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin")
    env.pop("CORVANA_PUBLISH", None)  # as a publisher has it: tools/make-patch-set builds its own
    state = home / "recipe-state.sh"
    state.write_text("")
    for number, block in enumerate(recipe_blocks(), 1):
        script = "set -euo pipefail\nsource %s\n%s\nexport -p > %s\n" % (state, block, state)
        # A session of its own: no terminal to ask on, so the password comes from stdin.
        done = subprocess.run(["bash", "-c", script], cwd=ROOT, env=env, input=PASSWORD * 2, text=True,
                              capture_output=True, start_new_session=True)
        print("== block %d\n%s%s" % (number, done.stdout[-2000:], done.stderr[-2000:]))
        if done.returncode != 0:
            sys.exit("block %d failed (%d):\n%s" % (number, done.returncode, block))
    # A player: the updater the recipe built, its host pointed at the loopback.
    runtime = home / "runtime"
    runtime.mkdir(mode=0o700)
    player = dict(env, CORVANA_PATCH_HOST="127.0.0.1:80", XDG_DATA_HOME=str(home / "player"),
                  XDG_RUNTIME_DIR=str(runtime), DISPLAY="", WAYLAND_DISPLAY="", LC_ALL="C.UTF-8")
    run = subprocess.run([str(ROOT / "build/publish/src/corvana-updater"), "--yes"], env=player,
                         stdin=subprocess.DEVNULL, capture_output=True, text=True, timeout=120)
    print(run.stdout[-3000:], run.stderr[-3000:])
    folder = home / "player" / "Corvana"
    if run.returncode != 0 or (folder / "notes.txt").read_text() != "patch notes\n":
        sys.exit("the player's run failed (%d)" % run.returncode)
    subprocess.run(["nginx", "-s", "quit"], check=False)


class Recipe(unittest.TestCase):
    def test_the_readme_recipe_publishes_a_signed_set_that_installs(self):
        if os.geteuid() != 0 or shutil.which("unshare") is None:
            self.skipTest("needs root for a private mount and network namespace")
        blocks = recipe_blocks()
        self.assertGreaterEqual(len(blocks), 5)
        home = tempfile.mkdtemp(prefix="corvana-recipe-")
        self.addCleanup(shutil.rmtree, home, True)
        done = subprocess.run(["unshare", "--mount", "--net", "--fork", sys.executable, __file__, "--inside", home],
                              capture_output=True, text=True, timeout=1800)
        self.assertEqual(done.returncode, 0, done.stdout[-6000:] + done.stderr[-6000:])
        self.assertIn("published", done.stdout)


if __name__ == "__main__" and sys.argv[1:2] == ["--inside"]:
    run_inside(sys.argv[2])
