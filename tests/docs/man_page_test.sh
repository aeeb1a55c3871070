#!/bin/sh
# The manual page lints clean at warning level, renders with man(1) without
# a complaint, has its sections, and documents exactly the options that the
# program's own help texts name.
# Usage: man_page_test.sh PAGE STUB
set -eu
export LC_ALL=C
page=$1 stub=$(cd "$(dirname "$2")" && pwd)/$(basename "$2")
fail() { echo "FAIL: $*" >&2; exit 1; }
for tool in mandoc man; do
  command -v "$tool" >/dev/null || fail "$tool is missing; run scripts/deps mandoc man-db"
done
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

mandoc -Tlint -Wwarning "$page" >"$tmp/lint" 2>&1 || { cat "$tmp/lint"; fail "mandoc -Tlint -Wwarning"; }
[ -s "$tmp/lint" ] && { cat "$tmp/lint"; fail "mandoc -Tlint reported warnings"; }

MANPAGER=cat MANWIDTH=80 man -l "$page" >"$tmp/raw" 2>"$tmp/err" || { cat "$tmp/err"; fail "man -l"; }
[ -s "$tmp/err" ] && { cat "$tmp/err"; fail "man -l complained"; }
sed 's/.\x08//g' "$tmp/raw" >"$tmp/page"
for heading in NAME SYNOPSIS DESCRIPTION OPTIONS 'THE INSTALL SCRIPT' 'PACKAGE FORMAT' ENVIRONMENT \
  'EXIT STATUS' EXAMPLES CAVEATS; do
  grep -qx "$heading" "$tmp/page" || fail "no section $heading"
done
grep -q 'quarnel -- build and run self-extracting installer packages' "$tmp/page" || fail "NAME line"

# The help texts, from the stub and from a package it builds.
cd "$tmp"
printf 'exit 0\n' >install.sh
tar -cf payload.tar install.sh
"$stub" --create setup.run payload.tar
{ "$stub" --help; ./setup.run --help; } >help
version=$("$stub" --version)
grep -qF "\"$version\"" page || fail "the page does not show the banner \"$version\""

options() { grep -oE -- '--[a-z][a-z-]*' "$1" | sort -u; }
sed -n '/^SYNOPSIS$/,/^DESCRIPTION$/p' page >synopsis
options help >from_help
options synopsis >from_synopsis
for option in $(cat from_help); do
  grep -qx -- "$option" from_synopsis || fail "SYNOPSIS lacks $option, which --help shows"
  grep -qE -- "^ +(-h, )?$option( |,|$)" page || fail "OPTIONS lacks an entry for $option"
done
for option in $(cat from_synopsis); do
  case $option in --version) continue ;; esac
  grep -qx -- "$option" from_help || fail "SYNOPSIS shows $option, which no --help names"
done
# Each usage line whole, so that words added to one of them show.
"$stub" --help | sed "s,$stub,quarnel," >usage
sed 's/^ *//; s/ *$//' page >page_lines
while IFS= read -r line; do
  grep -qxF -- "$(echo "$line" | sed 's/^ *//')" page_lines || fail "the page does not quote the usage line: $line"
done <usage
echo "manual page OK"
