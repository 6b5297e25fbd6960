"""What the end-to-end tests share: a patch server of each test's own on nginx,
and archives made at test time."""
import itertools
import os
import pathlib
import zipfile

# The publisher: the program the test runner names (run.py --publisher), else the
# repository's starter, which builds it.
MAKE_PATCH_SET = [os.environ.get("CORVANA_PUBLISH") or
                  str(pathlib.Path(__file__).resolve().parents[2] / "tools" / "make-patch-set")]
DOCROOT = pathlib.Path(os.environ.get("CORVANA_TEST_DOCROOT", "."))
NGINX = os.environ.get("CORVANA_TEST_NGINX", "")
_numbers = itertools.count()


class PatchServer:
    """Base paths below nginx's document root, reached through a host with a path
    prefix. Below "slow/" nginx sends at 64 KiB/s (tests/support/with_servers.py)."""

    def __init__(self, tag, slow=False):
        prefix = ("slow/" if slow else "") + "%s-%d-%d" % (tag, os.getpid(), next(_numbers))
        self.host = NGINX + "/" + prefix
        self.normal = DOCROOT / prefix / "web_patch" / "corvana"
        self.beta = DOCROOT / prefix / "web_patch" / "beta_corvana"
        self.normal.mkdir(parents=True)
        self.beta.mkdir(parents=True)

    def publish(self, manifest, archives=None, beta=False):
        """Writes the manifest and the archives, given as {name: {item: data or path}}."""
        where = self.beta if beta else self.normal
        (where / "patch_info.txt").write_text(manifest, encoding="utf-8")
        for name, files in (archives or {}).items():
            make_zip(where / name, files)


def make_zip(path, files):
    with zipfile.ZipFile(path, "w", zipfile.ZIP_DEFLATED) as archive:
        for name, data in files.items():
            if isinstance(data, pathlib.Path):
                archive.write(data, name)
            else:
                archive.writestr(name, data)
