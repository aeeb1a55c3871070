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
#include <string>

#include "package/package.h"

/// Builds settings from the builder's options (null for those not given):
/// the label checked, the license file read and checked, the signing key's
/// type checked and the signature slot sized for that key. Returns 0, or -1
/// after one message.
int load_settings(const char* label, const char* license_file, const char* sign_key, package_settings* settings);

/// The stub a package is built from: the first image_end bytes of the file
/// open on stream, a bare quarnel program for any machine.
struct stub_source {
  FILE* stream = nullptr;  ///< read-only; owned by whoever opened it
  std::string path;        ///< for messages
  uint64_t image_end = 0;
};

/// Opens path, the --stub FILE, and checks that it is a quarnel program
/// whose packages this builder can write: an ELF file of any class, byte
/// order and machine with this release's stub mark, and no publisher's
/// settings of its own. A package without settings lends the stub it was
/// built from (its image, without header and archive). Returns 0 with
/// *stub filled in (the caller closes stub->stream), or -1 after "Cannot
/// open PATH: ...", a "Damaged ELF headers: ..." line, or "Cannot use PATH
/// as a stub: REASON".
int open_stub(const char* path, stub_source* stub);

/// Writes installer_name: the stub (the first stub.image_end bytes of
/// stub.stream), the package header, and tar_name's bytes, read once ("-"
/// is standard input); then sets mode 0755. The header holds the size and
/// digest of the bytes packed. Refuses, before writing anything, an
/// installer_name that is the tar file (or standard input) or the stub
/// itself, a tar file that is a directory, and an existing installer_name
/// that is not a regular file. An existing installer_name is not executable
/// until the build succeeds. Returns 0, or -1 after one message. With
/// settings (null for none) the stub image gets a settings section; a
/// settings->is_signed package is then signed with sign_key.
int create_package(const stub_source& stub, const char* installer_name, const char* tar_name,
                   const package_settings* settings = nullptr, const char* sign_key = nullptr);
