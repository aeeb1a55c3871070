"""The benchmark's inputs: tar files of random bytes, of many small files and
of a source tree, and compressed copies. Each is generated once into the
--dir directory and reused by later runs."""

import io
import os
import random
import shutil
import subprocess
import sys
import tarfile
import tempfile

MIB = 1 << 20
GIB = 1 << 30


class RandomReader:
    """A file-like object yielding size random bytes."""

    def __init__(self, size):
        self.left = size

    def read(self, n=-1):
        if n < 0 or n > self.left:
            n = self.left
        n = min(n, 4 * MIB)
        self.left -= n
        return os.urandom(n)


SCRIPT = b"#!/bin/sh\n# Installs nothing; the benchmark only needs it to succeed.\nexit 0\n"


def tar_info(name, size=0, directory=False):
    info = tarfile.TarInfo(name)
    info.size = size
    info.mtime = 1700000000
    info.uid = info.gid = 0
    info.uname = info.gname = "root"
    if directory:
        info.type = tarfile.DIRTYPE
        info.mode = 0o755
    else:
        info.mode = 0o644
    return info


def add_script(tar):
    tar.addfile(tar_info("install.sh", len(SCRIPT)), io.BytesIO(SCRIPT))


def make_one_file_tar(path, size):
    tmp = path + ".part"
    with tarfile.open(tmp, "w", format=tarfile.GNU_FORMAT) as tar:
        add_script(tar)
        tar.addfile(tar_info("random.bin", size), RandomReader(size))
    os.rename(tmp, path)


def make_many_files_tar(path, count, mean_size):
    rng = random.Random(6)
    tmp = path + ".part"
    per_dir = 200
    with tarfile.open(tmp, "w", format=tarfile.GNU_FORMAT) as tar:
        add_script(tar)
        tar.addfile(tar_info("files", directory=True))
        for i in range(count):
            if i % per_dir == 0:
                tar.addfile(tar_info("files/d%03d" % (i // per_dir), directory=True))
            size = rng.randint(1, 2 * mean_size - 1)
            tar.addfile(tar_info("files/d%03d/f%05d" % (i // per_dir, i), size), io.BytesIO(os.urandom(size)))
    os.rename(tmp, path)


def compiler_library_dir():
    """The directory of the C compiler's own libraries, or None."""
    for cc in ("gcc", "cc"):
        if shutil.which(cc):
            out = subprocess.run([cc, "-print-libgcc-file-name"], stdout=subprocess.PIPE,
                                 stderr=subprocess.DEVNULL).stdout.decode().strip()
            if os.path.isabs(out) and os.path.exists(out):
                return os.path.dirname(out)
    return None


def make_tree_tar(path, members):
    """A tar of install.sh and the given absolute directories (stored relative to /)."""
    stage = tempfile.mkdtemp(prefix="quarnel-bench-stage-")
    try:
        with open(os.path.join(stage, "install.sh"), "wb") as f:
            f.write(SCRIPT)
        tmp = path + ".part"
        subprocess.run(["tar", "-cf", tmp, "-C", stage, "install.sh", "-C", "/"]
                       + [m.lstrip("/") for m in members], check=True)
        os.rename(tmp, path)
    finally:
        shutil.rmtree(stage, ignore_errors=True)


def make_small_tree_tar(path):
    """The --quick stand-in for the tree: a small tar of install.sh and some files."""
    make_many_files_tar(path, 100, 5000)


def compress(plain, argv, out):
    tmp = out + ".part"
    with open(plain, "rb") as src, open(tmp, "wb") as dst:
        subprocess.run(argv + ["-c"], stdin=src, stdout=dst, check=True)
    os.rename(tmp, out)


def ensure(path, label, make):
    if not os.path.exists(path):
        print("generating %s ..." % label, file=sys.stderr, flush=True)
        make(path)
    return path
