"""Install: ./out.run -- a b (and ./signed.run -- a b, a signed package)
against the shell checking, unpacking, running the script and removing the
directory.

    ./out.run -- a b
    vs  md5sum payload.tar && mkdir d && tar -xf payload.tar -C d
        && sh d/install.sh a b && rm -rf d

The stub hands tar the package itself as its standard input, positioned at
the archive. The floors time what the stub does beyond the baseline: as
root, `chown -R 0:0` over the unpacked tree; and tar reading the tar file
as its standard input instead of by name.
"""

import os

from measure import Task

TARGET = 1.05

BASELINE = "md5sum payload.tar && mkdir d && tar -xf payload.tar -C d && sh d/install.sh a b && rm -rf d"


def signed_task(signed, label, work, sync):
    """The same install from a signed package: the signature is checked too."""
    return Task("signed install", label, [signed, "--", "a", "b"], BASELINE, work, ["signed.run.dir", "d"], sync,
                TARGET)


def task(package, label, work, sync):
    floors = [("shell, `tar -xf - < payload.tar`",
               "md5sum payload.tar && mkdir d && (cd d && tar -xf -) < payload.tar && sh d/install.sh a b "
               "&& rm -rf d")]
    if os.getuid() == 0:
        floors.append(("shell + `chown -R 0:0 d`",
                       "md5sum payload.tar && mkdir d && tar -xf payload.tar -C d && chown -R 0:0 d "
                       "&& sh d/install.sh a b && rm -rf d"))
    return Task("install", label, [package, "--", "a", "b"], BASELINE, work, ["out.run.dir", "d"], sync, TARGET,
                floors=floors)
