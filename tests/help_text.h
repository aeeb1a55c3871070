// The installer's help text for a program named setup.run, shared by the
// parser's unit tests and the end-to-end tests of a package.
#pragma once

inline constexpr const char* SETUP_RUN_HELP =
    "1. Get help or info about setup.run:\n"
    " --help     show this help on switches\n"
    " --info     show extended information on the package:\n"
    "            title, default target directory, embedded script, etc.\n"
    " --list     show the list of files in the installation package\n"
    " --check    check integrity of the installation package\n"
    "\n"
    "2. Run setup.run:\n"
    " setup.run [options] [--] [additional arguments to embedded script]\n"
    " with the following options (in this order)\n"
    " --confirm    ask before running embedded script\n"
    " --keep       do not remove temporary directory\n"
    " --noexec     do not run embedded script\n"
    " --target <directory>    extract the installation package to the <directory>\n"
    " --tar <arg1> [<arg2> ...]    access the package content via the tar command\n"
    " --    the following arguments will be passed to the embedded script\n";
