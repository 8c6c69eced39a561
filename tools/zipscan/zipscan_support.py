"""What the end-to-end tests of the zipscan binary share: running it, writing
archives, the module's capabilities, the base test case, and the runner.

Each zipscan_*_test.py file holds one or two groups (TestCase classes) and
runs as

    zipscan_GROUP_test.py --zipscan BIN --module LIB --fake FAKELIB [GROUP...]

Parts of the module may still be missing while it is being built; tests that
need a capability the module does not show yet (recognising an archive,
walking it, reading a method, cleaning) are skipped with the reason, and run
by themselves once the module has it.
"""
import argparse
import io
import json
import os
import shutil
import subprocess
import sys
import tempfile
import unittest
import zipfile

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "..", "examples"))
import make_example  # noqa: E402  (the example generator doubles as our ZIP writer)

ZIPSCAN = None
MODULE = None
FAKE = None
CAPS = {}
TEST_FILE = make_example.test_file()


def run(*args, cwd=None, stdin=subprocess.DEVNULL, stderr=subprocess.PIPE, module=True, env=None):
    """env: variables to set, or with None to remove, for this run."""
    cmd = [ZIPSCAN] + ([ "--module", MODULE] if module else []) + [str(a) for a in args]
    environment = dict(os.environ)
    for k, v in (env or {}).items():
        environment.pop(k, None)
        if v is not None:
            environment[k] = v
    return subprocess.run(cmd, cwd=cwd, stdin=stdin, stdout=subprocess.PIPE, stderr=stderr, timeout=120,
                          env=environment)


def json_docs(out):
    """The documents of the files; the summary object at the end of a scan is
    left out (json_summary answers it)."""
    docs = [json.loads(line) for line in out.decode("utf-8").splitlines() if line.strip()]
    return [d for d in docs if "summary" not in d]


def json_summary(out):
    docs = [json.loads(line) for line in out.decode("utf-8").splitlines() if line.strip()]
    return [d["summary"] for d in docs if "summary" in d]


def write_zip(path, entries):
    """entries: (name, data) pairs, deflated, written with Python's zipfile."""
    with zipfile.ZipFile(path, "w", zipfile.ZIP_DEFLATED) as z:
        for name, data in entries:
            z.writestr(name, data)


def write_custom(path, entries):
    """entries: (name, data, method, password) for the example's writer."""
    w = make_example.ZipWriter()
    for name, data, method, password in entries:
        w.add(name, data, method=method, password=password)
    with open(path, "wb") as f:
        f.write(w.bytes())


def nested_zip(depth, payload):
    """An archive holding an archive, depth levels down, whose innermost one holds
    ok.txt and payload as bad.com; answers its bytes and the path of bad.com."""
    data, path = None, "bad.com"
    for level in range(depth + 1):
        buf = io.BytesIO()
        with zipfile.ZipFile(buf, "w", zipfile.ZIP_DEFLATED) as z:
            if data is None:
                z.writestr("ok.txt", b"fine")
                z.writestr("bad.com", payload)
            else:
                z.writestr("keep%d.txt" % level, b"keep")
                z.writestr("in%d.zip" % level, data)
                path = "in%d.zip/" % level + path
        data = buf.getvalue()
    return data, path


def find_corpus():
    """The shared corpus, found as the module's tests find it: named by
    ZIPEXT_CORPUS_DIR, or a shared/corpus folder beside the checkout or one
    of its parents."""
    named = os.environ.get("ZIPEXT_CORPUS_DIR")
    if named:
        return named
    folder = os.path.abspath(os.path.join(HERE, "..", ".."))
    while True:
        candidate = os.path.join(folder, "shared", "corpus")
        if os.path.isdir(candidate) or os.path.dirname(folder) == folder:
            return candidate
        folder = os.path.dirname(folder)


def read_bytes(path):
    with open(path, "rb") as f:
        return f.read()


def probe_capabilities():
    d = tempfile.mkdtemp(prefix="zipscan-probe-")
    try:
        plain = os.path.join(d, "plain.zip")
        write_zip(plain, [("a.txt", b"hello"), ("b.txt", TEST_FILE)])
        CAPS["recognise"] = run("check", plain).returncode == 0
        r = run("scan", "--json", plain)
        doc = json_docs(r.stdout)[0] if r.stdout.strip() else {}
        entries = doc.get("entries", [])
        CAPS["walk"] = len(entries) == 2
        CAPS["inflate"] = any(e["findings"] for e in entries)
        for method, name in ((0, "stored"), (1, "shrink")):
            p = os.path.join(d, "m%d.zip" % method)
            write_custom(p, [("x", TEST_FILE, method, None)])
            CAPS[name] = run("scan", p).returncode == 1
        p = os.path.join(d, "enc.zip")
        write_custom(p, [("x", TEST_FILE, 8, "pw")])
        CAPS["password"] = run("scan", "--password", "pw", p).returncode == 1
        CAPS["clean"] = CAPS["inflate"] and run("scan", "--clean", plain).returncode == 1 and \
            run("scan", plain).returncode == 0
        p = os.path.join(d, "cure.zip")
        write_zip(p, [("a.txt", b"keep BAD keep"), ("b.txt", b"x")])
        CAPS["cure"] = CAPS["clean"] and run("scan", "--clean", "--signature", "cure:BAD", p).returncode == 1 \
            and run("scan", "--signature", "cure:BAD", p).returncode == 0
        sd = os.path.join(d, "st")
        run("selftest", plain, "--dir", sd)
        CAPS["selftest"] = os.path.exists(os.path.join(sd, "Test", "a.txt"))
        # What this build of zipscan and the module read: hash signatures
        # and YARA rules need libcrypto and libyara, WinZip AES libcrypto.
        version = run("--version", module=False).stdout
        CAPS["hashes"] = b"hash signatures: with" in version
        CAPS["yara"] = b"YARA rules: libyara" in version
        aes, inside = os.path.join(d, "aes.zip"), os.path.join(d, "t.bin")
        with open(inside, "wb") as f:
            f.write(TEST_FILE)
        if shutil.which("7zz") and subprocess.run(["7zz", "a", "-tzip", "-mem=AES256", "-ppw", aes, inside],
                                                 stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL).returncode == 0:
            CAPS["aes"] = run("scan", "--password", "pw", aes).returncode == 1
    finally:
        shutil.rmtree(d, ignore_errors=True)


def needs(*caps):
    def wrap(fn):
        def inner(self, *a, **k):
            missing = [c for c in caps if not CAPS.get(c)]
            if missing:
                self.skipTest("the module cannot do this yet: " + ", ".join(missing))
            return fn(self, *a, **k)
        inner.__name__ = fn.__name__
        return inner
    return wrap


class Base(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="zipscan-test-")

    def tearDown(self):
        shutil.rmtree(self.dir, ignore_errors=True)

    def path(self, name):
        return os.path.join(self.dir, name)

    def make_file(self, name, data):
        p = self.path(name)
        with open(p, "wb") as f:
            f.write(data)
        return p

    def assertOneLineError(self, r, mentions, status=2):
        self.assertEqual(r.returncode, status, r.stderr)
        lines = r.stderr.decode().splitlines()
        self.assertEqual(len(lines), 1, r.stderr)
        self.assertIn(mentions, lines[0])

    def assertNoWorkingCopies(self):
        left = [n for n in os.listdir(self.dir) if ".zipscan-" in n]
        self.assertEqual(left, [])



def unzip_test(archive, password=None):
    cmd = ["unzip", "-tq"] + (["-P", password] if password else []) + [archive]
    return subprocess.run(cmd, capture_output=True).returncode



def peak_memory_kib(*args):
    """Runs zipscan and answers its peak resident memory and its exit status.
    A small interpreter starts it: a child forked from this one would count
    this process's memory as its own."""
    measure = ("import resource, subprocess, sys\n"
               "r = subprocess.run(sys.argv[1:], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)\n"
               "print(resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss, r.returncode)\n")
    out = subprocess.run([sys.executable, "-c", measure, ZIPSCAN, "--module", MODULE] + [str(a) for a in args],
                         capture_output=True, timeout=120).stdout.split()
    return int(out[0]), int(out[1])


def built_with_asan():
    return b"__asan_init" in read_bytes(ZIPSCAN)


def main(groups):
    """Runs the groups (TestCase classes) named on the command line, or every
    one in groups, the calling file's globals."""
    global ZIPSCAN, MODULE, FAKE
    parser = argparse.ArgumentParser()
    parser.add_argument("--zipscan", required=True)
    parser.add_argument("--module", required=True)
    parser.add_argument("--fake", required=True, help="the fault-injecting test module")
    parser.add_argument("groups", nargs="*")
    args = parser.parse_args()
    ZIPSCAN, MODULE, FAKE = (os.path.abspath(p) for p in (args.zipscan, args.module, args.fake))
    # Big signature sets are compiled for a cache of the tests' own.
    os.environ["ZIPSCAN_CACHE_DIR"] = tempfile.mkdtemp(prefix="zipscan-cache-")
    probe_capabilities()
    sys.stderr.write("module capabilities: %s\n" % ", ".join(k for k, v in sorted(CAPS.items()) if v))
    loader = unittest.TestLoader()
    names = args.groups or [n for n, v in groups.items()
                            if isinstance(v, type) and issubclass(v, Base) and v is not Base]
    suite = unittest.TestSuite(loader.loadTestsFromTestCase(groups[n]) for n in names)
    result = unittest.TextTestRunner(verbosity=2).run(suite)
    shutil.rmtree(os.environ["ZIPSCAN_CACHE_DIR"], ignore_errors=True)
    return 0 if result.wasSuccessful() else 1
