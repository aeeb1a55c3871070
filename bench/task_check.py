"""Check: ./out.run --check against md5sum of the tar, and a signed
package's --check against the unsigned one's.

    ./out.run --check          vs  md5sum payload.tar
    ./signed.run --check       vs  ./out.run --check

The first pair is one pass of MD5 over the archive each, libtomcrypt's
against coreutils'; the ratio is the cost of the two MD5 implementations
and the stub's start. The second adds the signed message's hash (SHA-256)
on a second thread beside MD5; md5sum is timed as a floor beside it.
"""

from measure import Task

TARGET = 1.05
SIGNED_TARGET = 1.10


def task(package, label, work, sync):
    return Task("check", label, [package, "--check"], "md5sum payload.tar", work, [], sync, TARGET)


def signed_task(signed, package, label, work, sync):
    return Task("signed check", label, [signed, "--check"], "%s --check" % package, work, [], sync,
                SIGNED_TARGET, floors=[("`md5sum payload.tar`", "md5sum payload.tar")])
