"""zipscan and the peers on one file, each in a private folder with time,
memory and file-size bounds. A peer surfaces the marker when a file it
wrote holds it."""
import atexit
import json
import os
import resource
import shutil
import signal
import subprocess
import tempfile
import time
import zipfile

from seeds import MARKER, PASSWORD

PEER_TOOLS = {"7zz": "7zz", "unzip": "unzip", "bsdtar": "bsdtar", "bsdtar-pipe": "bsdtar",
              "zipfile": None}
PEER_ORDER = ["unzip", "bsdtar", "bsdtar-pipe", "7zz", "zipfile"]
# ClamAV is a peer where it is installed: it surfaces the marker when a body
# signature of it matches the file or anything ClamAV extracts from it.
OPTIONAL_PEERS = {"clamscan": "clamscan"}
for _peer, _tool in OPTIONAL_PEERS.items():
    if shutil.which(_tool):
        PEER_TOOLS[_peer] = _tool
        PEER_ORDER.append(_peer)
_clam_database = []
MEMORY = 1 << 30          # address space of every peer and of zipscan (not under ASan)
FILE_SIZE = 64 << 20      # largest file a peer may write


def _limits(memory):
    def apply():
        os.nice(0)
        if memory:
            resource.setrlimit(resource.RLIMIT_AS, (memory, memory))
        resource.setrlimit(resource.RLIMIT_FSIZE, (FILE_SIZE, FILE_SIZE))
        resource.setrlimit(resource.RLIMIT_CORE, (0, 0))
    return apply


def run_bounded(args, timeout, memory=MEMORY, stdin=None, cwd=None, env=None):
    """(exit status or -signal, stdout, stderr, timed out)."""
    proc = subprocess.Popen(args, stdin=stdin if stdin is not None else subprocess.DEVNULL,
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, cwd=cwd, env=env,
                            preexec_fn=_limits(memory), start_new_session=True)
    try:
        out, err = proc.communicate(timeout=timeout)
        return proc.returncode, out, err, False
    except subprocess.TimeoutExpired:
        os.killpg(proc.pid, signal.SIGKILL)
        out, err = proc.communicate()
        return proc.returncode, out, err, True


class Zipscan:
    def __init__(self, build, timeout=20, asan=False):
        self.exe = os.path.join(build, "zipscan")
        self.module = os.path.join(build, "libzipext.so")
        self.timeout = timeout
        self.asan = asan

    def scan(self, path, clean=False):
        """{'exit', 'found', 'crash', 'hang', 'detail', 'claims_deleted'}; with
        `clean`, the file is cleaned in place with a delete signature and
        'claims_deleted' says whether zipscan says every finding was deleted."""
        action = "delete:" if clean else "report:"
        # A limit reached is a finding (exit 1, "limits" below), as this
        # oracle reads it: zipscan's default now calls it not fully scanned.
        args = [self.exe, "scan", "--json", "--no-builtin", "--no-cache", "--alert-exceeds-max",
                "--signature", action + MARKER.decode(), "--password", PASSWORD,
                "--module", self.module] + (["--clean"] if clean else []) + [path]
        code, out, err, hung = run_bounded(args, self.timeout, None if self.asan else MEMORY)
        result = {"exit": code, "found": False, "crash": False, "hang": hung, "detail": "",
                  "claims_deleted": False}
        text = err.decode(errors="replace")
        if hung:
            result["detail"] = "timed out after %d s" % self.timeout
            return result
        if code < 0 or code > 2 or "Sanitizer" in text or "runtime error:" in text:
            result["crash"] = True
            result["detail"] = ("signal %d" % -code if code < 0 else "exit %d" % code) + \
                ("; " + text.strip().splitlines()[0] if text.strip() else "")
            return result
        for line in out.decode(errors="replace").splitlines():
            try:
                doc = json.loads(line)
            except ValueError:
                continue
            flagged = [e for e in doc.get("entries") or [] if e.get("findings")]
            if flagged:
                result["found"] = True
                result["claims_deleted"] = (code in (0, 1) and not doc.get("error") and
                                            all(e.get("action") == "deleted" for e in flagged))
            if doc.get("limits"):
                result["found"] = True
            if doc.get("error"):
                result["detail"] = str(doc["error"])
        return result


def _holds_marker(folder):
    for root, dirs, files in os.walk(folder):
        for name in dirs:   # a mutated mode must not hide what was written
            path = os.path.join(root, name)
            if not os.path.islink(path):
                os.chmod(path, 0o700)
        for name in files:
            path = os.path.join(root, name)
            if os.path.islink(path) or not os.path.isfile(path):
                continue
            try:
                os.chmod(path, 0o600)
                with open(path, "rb") as f:
                    if MARKER in f.read(FILE_SIZE):
                        return True
            except OSError:
                pass
    return False


def _zipfile_extract(path, folder):
    """What Python's zipfile gives: every member it lists, read as far as
    it goes (a member that fails part-way keeps what was read)."""
    with zipfile.ZipFile(path) as z:
        z.setpassword(PASSWORD.encode())
        for i, info in enumerate(z.infolist()):
            if info.is_dir():
                continue
            with open(os.path.join(folder, "member%05d" % i), "wb") as out:
                try:
                    with z.open(info) as f:
                        while True:
                            block = f.read(65536)
                            if not block:
                                break
                            out.write(block)
                except Exception:
                    pass


def _run_zipfile(path, folder, timeout):
    """zipfile in a forked child, so that its bounds are its own."""
    pid = os.fork()
    if pid == 0:
        try:
            _limits(MEMORY)()
            signal.alarm(int(timeout))
            _zipfile_extract(path, folder)
        except BaseException:
            pass
        os._exit(0)
    deadline = time.monotonic() + timeout + 1
    while True:
        done, _ = os.waitpid(pid, os.WNOHANG)
        if done:
            return
        if time.monotonic() > deadline:
            os.kill(pid, signal.SIGKILL)
            os.waitpid(pid, 0)
            return
        time.sleep(0.002)


def run_peer(peer, path, timeout=10):
    """Whether `peer` writes the marker to disk when extracting `path`."""
    folder = tempfile.mkdtemp(prefix="dfz-" + peer + "-")
    try:
        if peer == "7zz":
            run_bounded(["7zz", "x", "-y", "-bso0", "-bsp0", "-bse0", "-p" + PASSWORD,
                         "-o" + folder, path], timeout)
        elif peer == "unzip":
            run_bounded(["unzip", "-o", "-qq", "-P", PASSWORD, path, "-d", folder], timeout)
        elif peer == "bsdtar":
            run_bounded(["bsdtar", "-xf", path, "--passphrase", PASSWORD, "-C", folder], timeout)
        elif peer == "bsdtar-pipe":
            with open(path, "rb") as f:
                run_bounded(["bsdtar", "-xf", "-", "--passphrase", PASSWORD, "-C", folder],
                            timeout, stdin=f)
        elif peer == "zipfile":
            _run_zipfile(path, folder, timeout)
        elif peer == "clamscan":
            status = run_bounded(["clamscan", "--no-summary", "--quiet", "-d", _clam_marker_database(),
                                  path], timeout, memory=0)[0]
            return status == 1
        return _holds_marker(folder)
    finally:
        shutil.rmtree(folder, ignore_errors=True)


def _clam_marker_database():
    """A body signature of the marker, written once a process."""
    if not _clam_database:
        folder = tempfile.mkdtemp(prefix="dfz-clam-")
        atexit.register(shutil.rmtree, folder, True)
        path = os.path.join(folder, "marker.ndb")
        with open(path, "w") as f:
            f.write("DFZ.Marker:0:*:%s\n" % MARKER.hex())
        _clam_database.append(path)
    return _clam_database[0]


def missing_tools():
    return sorted({t for t in list(PEER_TOOLS.values()) + ["zip"] if t and shutil.which(t) is None})
