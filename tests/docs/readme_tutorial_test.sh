#!/bin/sh
# Runs the README's tutorial as written and compares the transcript.
#
# Every ```console block of the README is part of the tutorial. A line
# starting with "$ " is a command, following lines starting with "> " (or a
# lone ">") continue it, and the other lines are its expected output (standard
# output and error together). All blocks run in order, in one /bin/sh, in an
# empty directory, with the stub under test on PATH as "quarnel". Trailing
# blanks are ignored; "..." inside a line stands for any text, and a line
# that is only "..." for any number of lines.
# Usage: readme_tutorial_test.sh README STUB
set -eu
export LC_ALL=C
readme=$1 stub=$2
fail() { echo "FAIL: $*" >&2; exit 1; }
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
mkdir "$tmp/bin" "$tmp/work" "$tmp/home"
cp "$stub" "$tmp/bin/quarnel"

awk -v script="$tmp/tutorial.sh" -v expected="$tmp/expected" '
  function quote(s) { gsub(/\047/, "\047\\\047\047", s); return "\047" s "\047" }
  function flush() {
    if (pending) { print echo > script; print command > script }
    pending = 0
  }
  /^```console[ \t]*$/ { inside = 1; next }
  inside && /^```/ { flush(); inside = 0; next }
  !inside { next }
  { print > expected }
  /^\$ / { flush(); pending = 1; command = substr($0, 3); echo = "printf \"%s\\n\" " quote($0); next }
  pending && /^>( |$)/ { command = command "\n" substr($0, 3); echo = echo "\nprintf \"%s\\n\" " quote($0); next }
  { flush() }
  END { flush() }
' "$readme"

# The tutorial must keep covering the whole cycle.
for step in 'tar ' 'quarnel --create' '--info' '--list' '--check' '--confirm' '--noexec' '--tar' ' -- '; do
  grep -q -- "$step" "$tmp/tutorial.sh" || fail "the tutorial no longer shows '$step'"
done

(cd "$tmp/work" && HOME="$tmp/home" PATH="$tmp/bin:/usr/sbin:/usr/bin:/sbin:/bin" sh "$tmp/tutorial.sh") \
  >"$tmp/actual" 2>&1 </dev/null || true

awk '
  function rtrim(s) { sub(/[ \t]+$/, "", s); return s }
  function glob(e, a,   n, part, i, at, last) {
    n = split(e, part, /\.\.\./)
    if (n == 1) return e == a
    if (substr(a, 1, length(part[1])) != part[1]) return 0
    a = substr(a, length(part[1]) + 1)
    for (i = 2; i < n; i++) {
      at = index(a, part[i])
      if (!at) return 0
      a = substr(a, at + length(part[i]))
    }
    last = part[n]
    return length(a) >= length(last) && substr(a, length(a) - length(last) + 1) == last
  }
  function match_from(i, j) {
    if (i > ne) return j > na
    if (E[i] == "...") return match_from(i + 1, j) || (j <= na && match_from(i, j + 1))
    return j <= na && glob(E[i], A[j]) && match_from(i + 1, j + 1)
  }
  FNR == NR { E[++ne] = rtrim($0); next }
  { A[++na] = rtrim($0) }
  END { exit match_from(1, 1) ? 0 : 1 }
' "$tmp/expected" "$tmp/actual" || {
  diff -u "$tmp/expected" "$tmp/actual" >&2 || true
  fail "the tutorial's output differs from the README (- README, + actual)"
}
echo "README tutorial OK: $(grep -c '^\$ ' "$tmp/expected") commands"
