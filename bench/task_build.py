"""Build: quarnel --create against the shell copying and digesting the tar.

    quarnel --create built.run payload.tar
    vs  { cat stub payload.tar > out; md5sum payload.tar; }

The stub reads the tar once, digesting and writing each block; the shell
reads it twice. MD5 is the floor: md5sum alone is timed as its own ratio.
"""

from measure import Task

TARGET = 0.95


def task(stub_copy, label, work, sync):
    return Task("build", label, [stub_copy, "--create", "built.run", "payload.tar"],
                "{ cat stub payload.tar > out; md5sum payload.tar; }", work, ["built.run", "out"], sync, TARGET,
                floors=[("`md5sum payload.tar` alone", "md5sum payload.tar")])
