"""Peak RSS of the stub process alone, building, checking and installing
archives from 1 MiB to the largest random one measured: it must stay below
LIMIT_KB and flat (within 10%) whatever the size.

Build and check have no children, so /usr/bin/time (wait4) gives the
stub's own peak; install starts tar and the script, so the stub's VmHWM is
sampled from /proc instead.
"""

import os

from measure import own_peak_rss, remove, tree_peak_rss

LIMIT_KB = 1536


def stub_rss(stub, work, tars):
    """Own peak RSS of the stub building, checking and installing each tar."""
    rows = []
    for label, tar in tars:
        package = os.path.join(work, "rss.run")
        remove(package)
        build = tree_peak_rss([stub, "--create", package, tar], work) or own_peak_rss(
            [stub, "--create", package, tar], work)
        check = tree_peak_rss([package, "--check"], work) or own_peak_rss([package, "--check"], work)
        install = own_peak_rss([package, "--", "a"], work)
        remove(os.path.join(work, "rss.run.dir"))
        remove(package)
        rows.append((label, os.path.getsize(tar), build, check, install))
    return rows
