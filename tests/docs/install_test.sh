#!/bin/sh
# cmake --install puts the stub and its manual page under a prefix, and the
# installed stub, found along PATH as a user would run it, still builds
# packages that verify and install.
# Usage: install_test.sh CMAKE BUILD_DIR PAGE
set -eu
export LC_ALL=C
cmake=$1 build=$2 page=$3
fail() { echo "FAIL: $*" >&2; exit 1; }
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
prefix=$tmp/prefix

"$cmake" --install "$build" --prefix "$prefix" >"$tmp/log" 2>&1 || { cat "$tmp/log"; fail "cmake --install"; }
[ -x "$prefix/bin/quarnel" ] || fail "no executable $prefix/bin/quarnel"
cmp "$page" "$prefix/share/man/man1/quarnel.1" || fail "installed manual page differs from $page"
if command -v man >/dev/null; then
  [ "$(MANPATH="$prefix/share/man" man -w quarnel)" = "$prefix/share/man/man1/quarnel.1" ] ||
    fail "man does not find quarnel under $prefix/share/man"
fi

cd "$tmp"
mkdir payload
printf 'printf "%%s|" "$@" >../args\n' >payload/install.sh
tar -C payload -cf payload.tar install.sh
PATH="$prefix/bin:/usr/sbin:/usr/bin:/sbin:/bin" quarnel --create setup.run payload.tar ||
  fail "the installed stub did not build a package"
[ "$(./setup.run --check)" = "Verifying archive integrity... Succeed." ] || fail "--check"
./setup.run -- one 'two words' >/dev/null || fail "installing the package"
[ "$(cat args)" = "one|two words|" ] || fail "script arguments: $(cat args)"
[ ! -e setup.run.dir ] || fail "setup.run.dir was not removed"
echo "install OK"
