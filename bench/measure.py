"""Running commands: wall time, peak RSS, and the alternating pairs that
every task is measured with."""

import os
import shutil
import subprocess
import tempfile
import time


class CommandFailed(Exception):
    pass


def run_timed(argv, cwd, shell=False):
    """Runs argv and returns its wall time in seconds."""
    start = time.perf_counter()
    proc = subprocess.run(argv, cwd=cwd, shell=shell, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                          stderr=subprocess.PIPE)
    wall = time.perf_counter() - start
    if proc.returncode != 0:
        raise CommandFailed("%s exited with %d in %s\n%s" % (argv, proc.returncode, cwd,
                                                             proc.stderr.decode(errors="replace")))
    return wall


def tree_peak_rss(argv, cwd):
    """Peak RSS (KiB) of argv and its children, as /usr/bin/time reports it.

    Not taken from this script's own wait4(): a child forked from Python
    carries Python's high-water mark into its exec, so a small program
    would look as large as the interpreter. /usr/bin/time is much smaller
    than the stub, so its own share does not show."""
    if not os.access("/usr/bin/time", os.X_OK):
        return None
    with tempfile.NamedTemporaryFile("r") as out:
        proc = subprocess.run(["/usr/bin/time", "-o", out.name, "-f", "%M"] + argv, cwd=cwd,
                              stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
        if proc.returncode != 0:
            raise CommandFailed("%s exited with %d\n%s" % (argv, proc.returncode, proc.stderr.decode(errors="replace")))
        return int(out.read().split()[-1])


def own_peak_rss(argv, cwd):
    """Runs argv and samples its own VmHWM (KiB) until it exits: children excluded."""
    proc = subprocess.Popen(argv, cwd=cwd, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                            stderr=subprocess.DEVNULL)
    peak = 0
    while proc.poll() is None:
        try:
            with open("/proc/%d/status" % proc.pid) as status:
                for line in status:
                    if line.startswith("VmHWM:"):
                        peak = max(peak, int(line.split()[1]))
        except OSError:
            pass
        time.sleep(0.001)
    if proc.returncode != 0:
        raise CommandFailed("%s exited with %d" % (argv, proc.returncode))
    return peak


def remove(path):
    if os.path.isdir(path) and not os.path.islink(path):
        shutil.rmtree(path)
    elif os.path.lexists(path):
        os.unlink(path)


class Task:
    """One measured task: quarnel's command (A, an argument vector), the
    shell's baseline (B, a shell command line) and the ratio A/B must stay
    within (target). floors are further shell command lines, (label, command),
    timed in the same rounds to show what bounds the ratio: each is reported
    as its own ratio to B."""

    def __init__(self, name, label, ours, base, cwd, outputs, sync, target, floors=()):
        self.name, self.label = name, label
        self.ours, self.base = ours, base
        self.cwd, self.outputs = cwd, outputs
        self.sync = sync
        self.target = target
        self.floors = list(floors)

    def run(self, which):
        for path in self.outputs:
            remove(os.path.join(self.cwd, path))
        # Writeback of the previous run's output must not land in this one.
        if self.sync:
            os.sync()
        if which == "A":
            return run_timed(self.ours, self.cwd)
        if which == "B":
            return run_timed(self.base, self.cwd, shell=True)
        return run_timed(self.floors[which][1], self.cwd, shell=True)


def measure(task, runs, with_floors=False):
    """Times A and B (and the floors) in rounds whose order alternates (AB, BA,
    ...) after one uncounted warm-up round."""
    kinds = ["A", "B"] + (list(range(len(task.floors))) if with_floors else [])
    for which in kinds:
        task.run(which)
    ours, base, ratios = [], [], []
    floors = {i: [] for i in kinds[2:]}
    for i in range(runs):
        order = kinds if i % 2 == 0 else kinds[::-1]
        got = {}
        for which in order:
            got[which] = task.run(which)
        ours.append(got["A"])
        base.append(got["B"])
        ratios.append(got["A"] / got["B"])
        for f in floors:
            floors[f].append(got[f] / got["B"])
    # Peak memory in separate, untimed runs: sampling would disturb the timing.
    for path in task.outputs:
        remove(os.path.join(task.cwd, path))
    tree = tree_peak_rss(task.ours, task.cwd)
    for path in task.outputs:
        remove(os.path.join(task.cwd, path))
    own = own_peak_rss(task.ours, task.cwd)
    for path in task.outputs:
        remove(os.path.join(task.cwd, path))
    # Without children the exact figure from wait4 is the stub's own.
    rss = tree if tree is not None and task.name != "install" else own
    return {"ours": ours, "base": base, "ratios": ratios, "rss": rss, "rss_tree": tree,
            "floors": [(task.floors[f][0], floors[f]) for f in floors]}


def signed_package(stub_copy, key, work):
    """work/signed.run, the package of payload.tar signed with key."""
    package = os.path.join(work, "signed.run")
    remove(package)
    run_timed([stub_copy, "--create", package, "payload.tar", "--sign", key], work)
    return package


def signing_key(data):
    """An Ed25519 key without a passphrase in data/, made once; None
    without ssh-keygen."""
    key = os.path.join(data, "signing-key")
    if not os.path.exists(key):
        if shutil.which("ssh-keygen") is None:
            return None
        subprocess.run(["ssh-keygen", "-q", "-t", "ed25519", "-N", "", "-C", "bench", "-f", key], check=True,
                       stdin=subprocess.DEVNULL)
    return key


def workspace(stub, payload, work):
    """work/ with payload.tar (a link to payload), a copy of the stub and
    out.run, the package the stub makes of it. Returns the stub copy and the
    package."""
    os.makedirs(work, exist_ok=True)
    tar = os.path.join(work, "payload.tar")
    remove(tar)
    os.symlink(payload, tar)
    stub_copy = os.path.join(work, "stub")
    shutil.copyfile(stub, stub_copy)
    os.chmod(stub_copy, 0o755)
    package = os.path.join(work, "out.run")
    remove(package)
    run_timed([stub_copy, "--create", package, tar], work)
    return stub_copy, package
