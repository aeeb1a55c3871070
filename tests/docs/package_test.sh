#!/bin/sh
# CPack writes the two release files for the build's architecture: a .tar.gz
# and a .deb holding the stub and its manual page, with the Debian control
# fields a packager expects. The unpacked stub runs and builds a package
# that verifies and installs.
# Usage: package_test.sh CPACK BUILD_DIR ARCH VERSION PAGE STUB_KIND
# STUB_KIND is "stripped" when the build makes a static stripped stub, "any"
# for Debug and sanitizer builds.
set -eu
export LC_ALL=C
cpack=$1 build=$2 arch=$3 version=$4 page=$5 kind=$6
fail() { echo "FAIL: $*" >&2; exit 1; }
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

"$cpack" --config "$build/CPackConfig.cmake" -B "$tmp/out" >"$tmp/log" 2>&1 || { cat "$tmp/log"; fail "cpack"; }
tgz=$tmp/out/quarnel-$version-Linux-$arch.tar.gz
deb=$tmp/out/quarnel_${version}_$arch.deb
[ -f "$tgz" ] || fail "no $(basename "$tgz") among: $(ls "$tmp/out")"
[ -f "$deb" ] || fail "no $(basename "$deb") among: $(ls "$tmp/out")"

top=quarnel-$version-Linux-$arch
files=$(tar -tzf "$tgz" | grep -v '/$' | sort | tr '\n' ' ')
[ "$files" = "$top/bin/quarnel $top/share/man/man1/quarnel.1 " ] || fail "the .tar.gz holds: $files"
files=$(dpkg-deb --fsys-tarfile "$deb" | tar -tf - | grep -v '/$' | sort | tr '\n' ' ')
[ "$files" = "./usr/bin/quarnel ./usr/share/man/man1/quarnel.1 " ] || fail "the .deb holds: $files"
dpkg-deb -c "$deb" | grep '^-rwxr-xr-x root/root .* \./usr/bin/quarnel$' >/dev/null || fail "the .deb's stub: $(dpkg-deb -c "$deb")"

field() { dpkg-deb -f "$deb" "$1"; }
[ "$(field Package)" = quarnel ] || fail "Package: $(field Package)"
[ "$(field Version)" = "$version" ] || fail "Version: $(field Version)"
[ "$(field Architecture)" = "$arch" ] || fail "Architecture: $(field Architecture)"
[ "$(field Section)" = utils ] || fail "Section: $(field Section)"
[ "$(field Priority)" = optional ] || fail "Priority: $(field Priority)"
case $(field Maintainer) in *'<'*@*'>') ;; *) fail "Maintainer: $(field Maintainer)" ;; esac
[ "$(field Description | wc -l)" -ge 2 ] || fail "Description without a long text: $(field Description)"
[ -z "$(field Depends)" ] || fail "a static stub depends on: $(field Depends)"

mkdir "$tmp/deb" "$tmp/tgz"
dpkg-deb -x "$deb" "$tmp/deb"
tar -C "$tmp/tgz" -xzf "$tgz"
stub=$tmp/deb/usr/bin/quarnel
cmp "$stub" "$tmp/tgz/$top/bin/quarnel" || fail "the two files carry different stubs"
cmp "$page" "$tmp/deb/usr/share/man/man1/quarnel.1" || fail "the .deb's manual page differs from $page"
if [ "$kind" = stripped ]; then
  case $(file -b "$stub") in
  *"not stripped"* | *"with debug_info"*) fail "the stub is not stripped: $(file -b "$stub")" ;;
  *statically*) ;;
  *) fail "not a static executable: $(file -b "$stub")" ;;
  esac
fi

[ "$("$stub" --version)" = "Quarnel Installer $version" ] || fail "--version: $("$stub" --version)"
cd "$tmp"
mkdir payload
printf 'echo "installed $1"\n' >payload/install.sh
tar -C payload -cf payload.tar install.sh
"$stub" --create setup.run payload.tar || fail "the packaged stub did not build a package"
[ "$(stat -c %s setup.run)" = $(($(stat -c %s "$stub") + 24 + $(stat -c %s payload.tar))) ] ||
  fail "the package is not stub + header + archive"
[ "$(./setup.run --check)" = "Verifying archive integrity... Succeed." ] || fail "--check"
[ "$(./setup.run -- here | tail -n 1)" = "installed here" ] || fail "installing the package"
echo "package OK: $(basename "$tgz") and $(basename "$deb"), stub $(stat -c %s "$stub") bytes"
