#!/usr/bin/env python3
"""The example host lists every entry of the example archive, with the size
Python's zipfile gives, and leaves the archive as it was. With a build
folder, the module and its header are installed into a temporary prefix,
and the example built against the installed header lists the same with the
installed module.

    example_host_test.py EXAMPLE_HOST MODULE [BUILD CMAKE CC]
"""
import glob
import hashlib
import os
import subprocess
import sys
import tempfile
import zipfile

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
import make_example  # noqa: E402


def run(host, module, archive, *password):
    out = subprocess.run([host, module, archive, *password], capture_output=True, text=True, timeout=60)
    assert out.returncode == 0, (out.returncode, out.stdout, out.stderr)
    lines = out.stdout.splitlines()
    listed = [tuple(line.split(None, 1)) for line in lines[:-1]]
    return [(name, int(size)) for size, name in listed], lines[-1]


def main():
    host, module = sys.argv[1:3]
    with tempfile.TemporaryDirectory() as folder:
        archive = os.path.join(folder, "example.zip")
        subprocess.run([sys.executable, os.path.join(HERE, "make_example.py"), archive], check=True)
        with open(archive, "rb") as f:
            before = hashlib.sha256(f.read()).hexdigest()
        # Names reach the engine in their local form: backslashes. Empty
        # folders hold nothing to scan.
        with zipfile.ZipFile(archive) as z:
            files = [(i.filename.replace("/", "\\"), i.file_size, i.flag_bits & 1)
                     for i in z.infolist() if not i.is_dir()]
        want = [(name, size) for name, size, _ in files]
        got, summary = run(host, module, archive, make_example.PASSWORD)
        assert got == want, (got, want)
        assert summary == "%d contents handed over; the archive was left as it was" % len(want), summary
        # Without the password the encrypted entry is skipped, the rest read.
        got, _ = run(host, module, archive)
        assert got == [(name, size) for name, size, encrypted in files if not encrypted], got
        with open(archive, "rb") as f:
            assert hashlib.sha256(f.read()).hexdigest() == before, "the archive changed"
        # Something that is no ZIP archive is turned away (exit 1).
        other = os.path.join(folder, "other.txt")
        with open(other, "w") as f:
            f.write("PK, but no archive")
        out = subprocess.run([host, module, other], capture_output=True, text=True, timeout=60)
        assert out.returncode == 1 and "not a ZIP archive" in out.stdout, out
        if len(sys.argv) > 5:
            build, cmake, cc = sys.argv[3:6]
            prefix = os.path.join(folder, "prefix")
            subprocess.run([cmake, "--install", build, "--prefix", prefix], check=True, capture_output=True)
            installed = glob.glob(os.path.join(prefix, "lib*", "**", "libzipext.so"), recursive=True)
            assert len(installed) == 1, installed
            built = os.path.join(folder, "example_host")
            subprocess.run([cc, "-std=c99", "-pedantic", "-Wall", "-Wextra", "-Werror",
                            "-I", os.path.join(prefix, "include"), os.path.join(HERE, "example_host.c"),
                            "-o", built, "-ldl"], check=True)
            assert run(built, installed[0], archive, make_example.PASSWORD)[0] == want
            # The versioned library, and an installed zipscan that finds it
            # without being told where.
            assert glob.glob(os.path.join(os.path.dirname(installed[0]), "libzipext.so.1")), installed
            zipscan = os.path.join(prefix, "bin", "zipscan")
            if os.path.exists(os.path.join(build, "zipscan")):
                out = subprocess.run([zipscan, "check", archive], capture_output=True, text=True, timeout=60)
                assert out.returncode == 0, out
            pc = glob.glob(os.path.join(prefix, "lib*", "**", "pkgconfig", "zipext.pc"), recursive=True)
            assert len(pc) == 1, pc
            with open(pc[0]) as f:
                fields = dict(line.strip().split("=", 1) for line in f if "=" in line and ":" not in line)
            top = os.path.normpath(fields["prefix"].replace("${pcfiledir}", os.path.dirname(pc[0])))
            assert top == os.path.normpath(prefix), (top, prefix)
    print("the example host lists %d entries as zipfile does" % len(want))


if __name__ == "__main__":
    main()
