"""The chart of the ratio tables: every task of the blocks that bench/run
wrote into docs/PERFORMANCE.md, one line per task and input, the median
ratio to the shell with the smallest and largest pair, and the target.
Drawn by gnuplot (Debian's gnuplot-nox) as a PNG image."""

import os
import re
import shutil
import subprocess
import sys
import tempfile

from report import markers

KINDS = ["tmpfs", "disk"]


def ratio_rows(text, kind):
    """(label, median, low, high, target) for each table row of kind's block."""
    begin, end = markers(kind)
    if begin not in text or end not in text:
        return []
    block = text.split(begin, 1)[1].split(end, 1)[0]
    rows = []
    for line in block.splitlines():
        cells = [c.strip() for c in line.strip().strip("|").split("|")]
        target = [c for c in cells if c.startswith("<= ")]
        ratio = [i for i, c in enumerate(cells) if re.fullmatch(r"\d+\.\d{3}-\d+\.\d{3}", c)]
        if not target or len(ratio) < 3:
            continue
        # The ratio's median stands right before its min-max, the last such pair of the row.
        i = ratio[-1]
        low, high = (float(x) for x in cells[i].split("-"))
        if cells[0] in ("build", "check", "install", "signed check", "signed install"):
            label = "%s, %s" % (cells[0], cells[1])
        else:
            label = "install, %s" % cells[0]
        rows.append((label, float(cells[i - 1]), low, high, float(target[0].split()[1])))
    return rows


def gnuplot():
    if shutil.which("gnuplot") is None:
        # The benchmark's own dependency: Debian's gnuplot without X.
        deps = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "scripts", "deps")
        subprocess.run([deps, "gnuplot-nox"], check=False)
    return shutil.which("gnuplot")


def draw(report, out):
    """Draws the chart of report's blocks into out. Returns an error text or None."""
    with open(report) as f:
        text = f.read()
    data = {kind: ratio_rows(text, kind) for kind in KINDS}
    labels = []
    for kind in KINDS:
        for row in data[kind]:
            if row[0] not in labels:
                labels.append(row[0])
    if not labels:
        return "no ratio tables in %s" % report
    program = gnuplot()
    if program is None:
        return "gnuplot is not installed (apt-get install gnuplot-nox)"
    with tempfile.TemporaryDirectory(prefix="quarnel-chart-") as tmp:
        files = []
        for k, kind in enumerate(KINDS):
            path = os.path.join(tmp, kind + ".dat")
            with open(path, "w") as f:
                for label, median, low, high, target in data[kind]:
                    # Each file system a little above or below its line.
                    y = len(labels) - labels.index(label) + (0.15 if k == 0 else -0.15)
                    f.write("%.2f %.3f %.3f %.3f %.3f\n" % (y, median, low, high, target))
            files.append(path)
        tics = ", ".join('"%s" %d' % (label.replace('"', "'"), len(labels) - i) for i, label in enumerate(labels))
        script = "\n".join([
            "set terminal pngcairo size 860,%d font 'sans,10' background '#ffffff'" % (90 + 26 * len(labels)),
            "set output '%s'" % out,
            "set title 'quarnel / shell, median of alternating pairs (bars: smallest to largest pair)'",
            "set xlabel 'ratio of wall time (lower is faster)'",
            "set ytics (%s)" % tics,
            "set yrange [0.4:%f]" % (len(labels) + 0.6),
            "set xrange [0.4:*]",
            "set grid xtics",
            "set key bottom right",
            "set arrow from 1, graph 0 to 1, graph 1 nohead dashtype 2 lc rgb '#888888'",
            "plot '%s' using 2:1:3:4 with xerrorbars pt 7 ps 0.7 lc rgb '#1f77b4' title 'tmpfs', \\" % files[0],
            "     '%s' using 2:1:3:4 with xerrorbars pt 5 ps 0.7 lc rgb '#d62728' title 'disk', \\" % files[1],
            "     '%s' using 5:1 with points pt 2 ps 0.8 lc rgb '#000000' title 'target', \\" % files[0],
            "     '%s' using 5:1 with points pt 2 ps 0.8 lc rgb '#000000' notitle" % files[1],
        ])
        proc = subprocess.run([program], input=script.encode(), stderr=subprocess.PIPE)
        if proc.returncode != 0:
            return "gnuplot failed: %s" % proc.stderr.decode(errors="replace")
    return None


def main(argv):
    repo = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    report = argv[0] if argv else os.path.join(repo, "docs", "PERFORMANCE.md")
    out = argv[1] if len(argv) > 1 else os.path.join(repo, "docs", "performance-ratios.png")
    error = draw(report, out)
    if error:
        print("bench/chart: %s" % error, file=sys.stderr)
        return 1
    print("chart written to %s" % os.path.relpath(out), file=sys.stderr)
    return 0
