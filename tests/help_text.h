// The installer's help text for a program named setup.run, shared by the
// parser's unit tests and the end-to-end tests of a package, and the
// README's commands that check a package's signature with stock ssh-keygen.
#pragma once

#include <string>

inline constexpr const char* SETUP_RUN_HELP =
    "1. Get help or info about setup.run:\n"
    " --help     show this help on switches\n"
    " --info     show extended information on the package:\n"
    "            title, default target directory, embedded script, etc.\n"
    " --list     show the list of files in the installation package\n"
    " --check    check integrity of the installation package\n"
    " --show-license    show the package's license\n"
    "\n"
    "2. Run setup.run:\n"
    " setup.run [options] [--] [additional arguments to embedded script]\n"
    " with the following options (in this order)\n"
    " --confirm    ask before running embedded script\n"
    " --keep       do not remove temporary directory\n"
    " --noexec     do not run embedded script\n"
    " --target <directory>    extract the installation package to the <directory>\n"
    " --tar <arg1> [<arg2> ...]    access the package content via the tar command\n"
    " --accept     accept the package's license without showing it\n"
    " --quiet      print nothing but questions, the script's output and errors\n"
    " --signer <fingerprint>    refuse a package not signed by that key\n"
    " --signer <key list>    refuse a package not signed by a key in that file\n"
    " --skip-space-check    extract even when the free space looks too small\n"
    " --    the following arguments will be passed to the embedded script\n";

// The builder's usage, for a program called name.
inline std::string builder_usage(const std::string& name) {
  return "Usage: " + name + " --create <INSTALLER_NAME> <TAR_FILE>\n" + std::string(8 + name.size(), ' ') +
         "[--label <TEXT>] [--license <FILE>] [--sign <KEY>]\n" + std::string(8 + name.size(), ' ') +
         "[--stub <FILE>]\n" + std::string(7, ' ') + name +
         " --inspect <PACKAGE> [--signer <FINGERPRINT | KEY_LIST>]\n";
}

// Run in the directory of setup.run: reads the signature slot's place and
// length from the settings section and checks the signature over the
// package with the slot zeroed.
inline constexpr const char* SIGNATURE_RECIPE =
    "sec=$(( 0x$(readelf -SW setup.run | sed -n 's/.* \\.quarnel *PROGBITS *[0-9a-f]* \\([0-9a-f]*\\) .*/\\1/p') ))\n"
    "set -- $(od -An -tu1 -j $((sec + 12)) -N4 setup.run)\n"
    "off=$((sec + 16)) len=$(($1 + $2 * 256 + $3 * 65536 + $4 * 16777216))\n"
    "dd if=setup.run bs=1 skip=$off count=$len 2>/dev/null | tr -d '\\000' > setup.sig\n"
    "{ head -c $off setup.run; head -c $len /dev/zero; tail -c +$((off + len + 1)) setup.run; } |\n"
    "  ssh-keygen -Y check-novalidate -n quarnel -s setup.sig\n";
