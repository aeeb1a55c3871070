"""The report: the ratio tables, the machine they were taken on, and the
block of docs/PERFORMANCE.md that a run rewrites."""

import os
import platform
import statistics

from inputs import GIB, MIB
from task_compressed import TARGET as COMPRESSED_TARGET, rss_limit_kb
from task_rss import LIMIT_KB

# The stripped amd64 stub, decoders and the checks of every key type included.
STUB_SIZE_TARGET = 1400000


def markers(kind):
    return "<!-- bench/run %s: begin -->" % kind, "<!-- bench/run %s: end -->" % kind


def machine():
    model = "unknown"
    try:
        with open("/proc/cpuinfo") as cpuinfo:
            for line in cpuinfo:
                if line.startswith("model name"):
                    model = line.split(":", 1)[1].strip()
                    break
    except OSError:
        pass
    mem = ""
    try:
        with open("/proc/meminfo") as meminfo:
            kb = int(meminfo.readline().split()[1])
            mem = ", %.0f GiB RAM" % (kb / (1 << 20))
    except (OSError, ValueError, IndexError):
        pass
    load = os.getloadavg()
    return ("%s, %d cores%s; %s %s %s; load average at start %.2f %.2f %.2f"
            % (model, os.cpu_count() or 0, mem, platform.system(), platform.release(), platform.machine(), *load))


def size_text(n):
    if n >= GIB:
        return "%.1f GiB" % (n / GIB)
    return "%.0f MiB" % (n / MIB) if n >= MIB else "%d KiB" % (n // 1024)


def table(results):
    lines = [
        "| task | input | ours median (s) | ours min-max | baseline median (s) | baseline min-max "
        "| ratio (median of pairs) | ratio min-max | target | peak RSS ours |",
        "|---|---|---:|---:|---:|---:|---:|---:|---|---:|",
    ]
    for task, r in results:
        ratio = statistics.median(r["ratios"])
        target = task.target
        rss = "%d KiB" % r["rss"]
        if r["rss_tree"] is not None and task.name == "install":
            rss += " (%d KiB with tar)" % r["rss_tree"]
        lines.append("| %s | %s | %.3f | %.3f-%.3f | %.3f | %.3f-%.3f | %.3f | %.3f-%.3f | <= %.2f %s | %s |" % (
            task.name, task.label, statistics.median(r["ours"]), min(r["ours"]), max(r["ours"]),
            statistics.median(r["base"]), min(r["base"]), max(r["base"]), ratio, min(r["ratios"]),
            max(r["ratios"]), target, "met" if ratio <= target else "MISSED", rss))
    return "\n".join(lines)


def rss_table(rows):
    lines = ["| archive | size | build | check | install (stub alone) |", "|---|---:|---:|---:|---:|"]
    for label, size, build, check, install in rows:
        lines.append("| %s | %s | %d KiB | %d KiB | %d KiB |" % (label, size_text(size), build, check, install))
    peaks = [max(r[2:]) for r in rows]
    spread = (max(peaks) - min(peaks)) / min(peaks) if peaks and min(peaks) else 0.0
    ok = max(peaks) < LIMIT_KB and spread <= 0.10
    lines.append("")
    lines.append("Largest stub peak: %d KiB (limit %d KiB); spread between archive sizes %.1f%% (limit 10%%): %s."
                 % (max(peaks), LIMIT_KB, 100 * spread, "met" if ok else "MISSED"))
    return "\n".join(lines), ok


def compressed_table(rows, plain_size):
    lines = [
        "| format | package | of the plain tar | ours median (s) | ours min-max | baseline median (s) "
        "| baseline min-max | ratio (median of pairs) | ratio min-max | target | peak RSS ours | RSS limit |",
        "|---|---:|---:|---:|---:|---:|---:|---:|---:|---|---:|---:|",
    ]
    for label, size, window, r in rows:
        ratio = statistics.median(r["ratios"])
        limit = rss_limit_kb(label, window)
        lines.append("| %s | %s | %.1f%% | %.3f | %.3f-%.3f | %.3f | %.3f-%.3f | %.3f | %.3f-%.3f | <= %.2f %s "
                     "| %d KiB | %d KiB %s |" % (
                         label, size_text(size), 100.0 * size / plain_size, statistics.median(r["ours"]),
                         min(r["ours"]), max(r["ours"]), statistics.median(r["base"]), min(r["base"]),
                         max(r["base"]), ratio, min(r["ratios"]), max(r["ratios"]), COMPRESSED_TARGET,
                         "met" if ratio <= COMPRESSED_TARGET else "MISSED", r["rss"], limit,
                         "met" if r["rss"] <= limit else "MISSED"))
    return "\n".join(lines)


def file_system(path):
    """The type of the file system holding path, from /proc/mounts (None if unknown)."""
    path = os.path.realpath(path)
    best, kind = "", None
    try:
        with open("/proc/mounts") as mounts:
            for line in mounts:
                fields = line.split()
                point = fields[1].replace("\\040", " ")
                if (path == point or path.startswith(point.rstrip("/") + "/")) and len(point) >= len(best):
                    best, kind = point, fields[2]
    except OSError:
        pass
    return kind


def write_report(path, body, kind):
    begin, end = markers(kind)
    text = ""
    if os.path.exists(path):
        with open(path) as f:
            text = f.read()
    block = begin + "\n" + body.rstrip() + "\n" + end
    if begin in text and end in text:
        head, rest = text.split(begin, 1)
        text = head + block + rest.split(end, 1)[1]
    elif text:
        text = text.rstrip("\n") + "\n\n### %s\n\n" % kind + block + "\n"
    else:
        text = ("# Performance\n\nNumbers below are written by `bench/run`; the rest of this file is kept as it is.\n\n"
                + "### %s\n\n" % kind + block + "\n")
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "w") as f:
        f.write(text)


def floors_table(results):
    """What bounds each ratio: further shell commands timed in the same rounds,
    each as a ratio to the baseline (median of pairs, min-max)."""
    lines = ["| task | input | command | of the baseline (median of pairs) | min-max |", "|---|---|---|---:|---:|"]
    for task, r in results:
        lines.append("| %s | %s | quarnel | %.3f | %.3f-%.3f |" % (
            task.name, task.label, statistics.median(r["ratios"]), min(r["ratios"]), max(r["ratios"])))
        for label, ratios in r["floors"]:
            lines.append("| %s | %s | %s | %.3f | %.3f-%.3f |" % (
                task.name, task.label, label, statistics.median(ratios), min(ratios), max(ratios)))
    return "\n".join(lines)


def stub_size_line(stub):
    size = os.path.getsize(stub)
    return "Stub size: %d bytes (target for the stripped amd64 stub: at most %d bytes, %s)." % (
        size, STUB_SIZE_TARGET, "met" if size <= STUB_SIZE_TARGET else "MISSED")
