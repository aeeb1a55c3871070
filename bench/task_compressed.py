"""Install of a compressed package: the stub decodes the archive into a
pipe to tar, against the shell doing the same with the format's own tool.

    ./out.run -- a b
    vs  md5sum payload.tar.X && mkdir d && X -dc payload.tar.X
        | tar -xf - -C d && sh d/install.sh a b && rm -rf d

The rows are skipped, with a note, when the stub cannot install a small
gzip package (a stub without the decoders).

Multi-block xz (threaded_xz_tasks): a tar of the compiler's directory
(/usr/lib/gcc) packed by `xz -T2 -6`, so in blocks that record their sizes,
which the stub decodes on every core; against the shell decoding it on one
thread (`xz -dc -T1`, target THREADED_XZ_TARGETS) and on every core
(`xz -dc -T0`).
"""

import os
import shutil
import subprocess
import tarfile

from inputs import add_script, compress
from measure import CommandFailed, Task, remove, run_timed

TARGET = 1.05

# The tool, its options, the file suffix, and the window (or bzip2's block)
# the decoder needs, to which the stub may add DECODER_ALLOWANCE_KB.
FORMATS = [
    ("gzip", ["gzip", "-6"], "gz", 32 << 10),
    ("bzip2", ["bzip2", "-9"], "bz2", 900000),
    ("xz", ["xz", "-6", "-T2"], "xz", 8 * (1 << 20)),
    ("zstd", ["zstd", "-19", "-T2", "-q"], "zst", 8 * (1 << 20)),
]
DECODER_ALLOWANCE_KB = 4096



def rss_limit_kb(label, window):
    """The peak RSS a format's install may reach: the window plus
    DECODER_ALLOWANCE_KB; for xz, packed in blocks by -T2 and so decoded on
    threads, the quarter of physical memory that bounds them, as it bounds
    xz -T0."""
    if label == "xz":
        return os.sysconf("SC_PHYS_PAGES") * os.sysconf("SC_PAGE_SIZE") // 4 // 1024
    return window // 1024 + DECODER_ALLOWANCE_KB


THREADED_XZ_ARGV = ["xz", "-6", "-T2"]
THREADED_XZ_TARGETS = [("xz -dc -T1", 0.75), ("xz -dc -T0", 1.05)]


def compressed_task(stub, label, tool, package_input, work, sync, decode=None, target=TARGET):
    """Install of a package holding a compressed tar, against the shell decoding it
    (with `tool -dc`, or the decode command given)."""
    os.makedirs(work, exist_ok=True)
    name = "payload.tar." + package_input.rsplit(".", 1)[1]
    link = os.path.join(work, name)
    remove(link)
    # A hard link: zstd refuses to read through a symbolic link.
    try:
        os.link(package_input, link)
    except OSError:
        shutil.copyfile(package_input, link)
    package = os.path.join(work, "out.run")
    remove(package)
    run_timed([stub, "--create", package, name], work)
    base = ("md5sum %s && mkdir d && %s %s | tar -xf - -C d && sh d/install.sh a b && rm -rf d"
            % (name, decode or tool + " -dc", name))
    return Task("install", label, [package, "--", "a", "b"], base, work, ["out.run.dir", "d"], sync, target), package


def threaded_xz_tasks(stub, package_input, work, sync):
    """The multi-block xz install against each of THREADED_XZ_TARGETS' shell decoders."""
    return [compressed_task(stub, "/usr/lib/gcc, `xz -T2 -6`, shell `%s`" % decode, "xz", package_input, work,
                            sync, decode=decode, target=target)[0] for decode, target in THREADED_XZ_TARGETS]


def stub_decodes(stub, work):
    """Whether the stub installs a package holding a gzip-compressed tar."""
    os.makedirs(work, exist_ok=True)
    tar = os.path.join(work, "probe.tar")
    with tarfile.open(tar, "w", format=tarfile.GNU_FORMAT) as t:
        add_script(t)
    try:
        compress(tar, ["gzip", "-6"], tar + ".gz")
        package = os.path.join(work, "probe.run")
        run_timed([stub, "--create", package, tar + ".gz"], work)
        return subprocess.run([package, "--noexec", "--target", os.path.join(work, "probe.dir")], cwd=work,
                              stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                              stderr=subprocess.DEVNULL).returncode == 0
    except (CommandFailed, subprocess.CalledProcessError, OSError):
        return False
    finally:
        remove(work)
