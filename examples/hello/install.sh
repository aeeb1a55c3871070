#!/bin/sh
# Example installer script: copies share/ into the prefix given as the first
# argument and greets the second. Runs inside the extraction directory, which
# is removed afterwards, so a relative prefix is taken from the directory the
# installer was started from.
set -eu
prefix=${1:?usage: install.sh PREFIX [NAME]}
name=${2:-world}
case $prefix in
/*) ;;
*) prefix=${QUARNEL_START_DIR:-$PWD}/$prefix ;;
esac
echo "Installing hello into $prefix"
mkdir -p "$prefix/share/hello"
cp share/greeting.txt "$prefix/share/hello/"
printf '%s, %s!\n' "$(cat share/greeting.txt)" "$name"
