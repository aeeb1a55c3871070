#!/bin/sh
# Example installer script: copies share/ into the prefix given as the first
# argument and greets the second. Runs inside the extraction directory.
set -eu
prefix=${1:?usage: install.sh PREFIX [NAME]}
name=${2:-world}
echo "Installing hello into $prefix"
mkdir -p "$prefix/share/hello"
cp share/greeting.txt "$prefix/share/hello/"
printf '%s, %s!\n' "$(cat share/greeting.txt)" "$name"
