// The builder: a package written from a stub, a tar file and the
// publisher's settings. It sits above trust/, whose keys size the
// signature slot and sign the package; the package format below it knows
// nothing of keys.
//
// Every function that detects a failure prints exactly one message; callers
// pass the failure up without printing again.
#pragma once

#include <cstdint>
#include <cstdio>

#include "package/package.h"

/// Builds settings from the builder's options (null for those not given):
/// the label checked, the license file read and checked, the signing key's
/// type checked and the signature slot sized for that key. Returns 0, or -1
/// after one message.
int load_settings(const char* label, const char* license_file, const char* sign_key, package_settings* settings);

/// Writes installer_name: the stub (read from the start of stub, the open
/// program file found at stub_path), the package header, and tar_name's bytes, read once ("-"
/// is standard input); then sets mode 0755. The header holds the size and
/// digest of the bytes packed. Refuses, before writing anything, an
/// installer_name that is the tar file (or standard input) or the stub
/// itself, a tar file that is a directory, and an existing installer_name
/// that is not a regular file. An existing installer_name is not executable
/// until the build succeeds. Returns 0, or -1 after one message. With
/// settings (null for none) the stub image gets a settings section; a
/// settings->is_signed package is then signed with sign_key.
int create_package(FILE* stub, const char* stub_path, const char* installer_name, const char* tar_name,
                   const package_settings* settings = nullptr, const char* sign_key = nullptr);
