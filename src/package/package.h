// The package format and the archive digest. The builder that writes
// packages lives in build/build.h.
//
// A package is one file:
//
//   offset            length  content
//   0                 E       the stub: the builder's own file, whose ELF
//                             image ends at E (see get_image_end)
//   E                 8       archive size, unsigned, little-endian: the
//                             number of bytes packed from the tar file
//   E + 8             16      raw MD5 digest of the archive region
//   E + 24            rest    the archive, the tar file byte for byte, up to
//                             the end of the file
//
// There is no magic, version or trailer. The size is shown to the user only;
// the digest check and the extraction read the archive to the end of file.
//
// Every function that detects a failure prints exactly one message; callers
// pass the failure up without printing again.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>

#include "self/self.h"

constexpr std::size_t ARCHIVE_SIZE_BYTES = 8;
constexpr std::size_t DIGEST_BYTES = 16;
constexpr std::size_t PACKAGE_HEADER_SIZE = ARCHIVE_SIZE_BYTES + DIGEST_BYTES;
static_assert(PACKAGE_HEADER_SIZE == 24);

/// Every copy and digest loop moves this many bytes per call.
constexpr std::size_t COPY_BLOCK_SIZE = 4096;

/// Bytes per read of the integrity pass. 64 KiB to 1 MiB measured alike,
/// as did posix_fadvise(SEQUENTIAL); mapping the file was slower (a page
/// fault per 4 KiB costs more than a read per block).
constexpr std::size_t VERIFY_BLOCK_SIZE = 128 * 1024;

struct package_header {
  uint64_t archive_size;
  unsigned char digest[DIGEST_BYTES];
};

/// A byte count rounded up to whole KiB: 0 -> 0, 1 and 1024 -> 1, 1025 -> 2.
constexpr uint64_t size_in_kb(uint64_t bytes) { return (bytes + 1023) >> 10; }

/// Stores value as ARCHIVE_SIZE_BYTES little-endian bytes, and back.
void encode_archive_size(uint64_t value, unsigned char* out);
uint64_t decode_archive_size(const unsigned char* in);

/// Positions package at offset from the start of the file. Returns 0, or -1
/// with errno set; prints nothing.
int seek_package(FILE* package, uint64_t offset);

/// Bytes from archive_offset to the end of the file open on package (0 when
/// the file is shorter or cannot be looked at): what a progress meter counts.
uint64_t archive_length(FILE* package, uint64_t archive_offset);

/// Reads the package header at image_end. Returns 0, or -1 after
/// "Archive size read error" or "Archive checksum read error".
int read_package_header(FILE* package, uint64_t image_end, package_header* header);

/// Digest of the stream from its position to its end. Returns 0, or -1
/// after "Read file error" (the digest is then not written).
int md5_stream(FILE* stream, unsigned char digest[DIGEST_BYTES]);

/// A percentage drawn after a line's "..." while that output is a terminal:
/// drawn at once, redrawn in place at most PROGRESS_PER_SECOND times a
/// second, and erased at the end so the line reads as it would without it.
/// Off a terminal it prints nothing.
struct progress_meter {
  FILE* out = nullptr;  ///< where it draws; null when it stays silent
  uint64_t total = 0;   ///< bytes that make 100%
  uint64_t done = 0;
  int shown = -1;            ///< the percentage on the screen, -1 for none
  int64_t drawn_at_ms = 0;   ///< monotonic time of the last drawing
};
constexpr int PROGRESS_PER_SECOND = 10;

/// Starts a meter of total bytes on out when out is a terminal, drawing 0%.
void progress_start(progress_meter* meter, FILE* out, uint64_t total);
/// Counts bytes processed and redraws when due.
void progress_advance(progress_meter* meter, uint64_t bytes);
/// Erases what the meter drew.
void progress_end(progress_meter* meter);

/// Compares the digest of everything from archive_offset to the end of the
/// package with stored, counting the bytes read on meter (which may be
/// null). Returns 0 when they match, -1 after a message when positioning or
/// reading fails, another nonzero value when they differ.
int verify_archive(FILE* package, uint64_t archive_offset, const unsigned char stored[DIGEST_BYTES],
                   progress_meter* meter = nullptr);

// Settings: what a package says for its publisher. A package built with
// settings carries them in one more section of its stub's ELF image, so the
// layout above is unchanged and the image end covers them:
//
//   offset  length  content
//   0       8       SETTINGS_MAGIC
//   8       ...     records, each: tag (4 bytes), length (4 bytes), both
//                   little-endian, then length bytes of value
//
// Each tag appears at most once. SETTING_SIGNATURE, when present, is the
// first record, so its value lies at SIGNATURE_SLOT_AT from the section's
// start, and its length, a little-endian u32 SIGNATURE_SLOT_AT - 4 bytes
// into the section, is the slot's size. Any other tag, a length past the
// end, a repeated record or a value that breaks its rule is damage: the
// package is refused, never guessed at.
constexpr const char* SETTINGS_SECTION = ".quarnel";
constexpr char SETTINGS_MAGIC[] = "QRNLSET\x01";
constexpr std::size_t SETTINGS_MAGIC_SIZE = 8;
static_assert(sizeof SETTINGS_MAGIC == SETTINGS_MAGIC_SIZE + 1);
constexpr std::size_t SETTING_RECORD_HEADER = 8;
enum setting_tag : uint32_t {
  SETTING_SIGNATURE = 1,  ///< SIGNATURE_SLOT_MIN to SIGNATURE_SLOT_MAX bytes: armored SSH signature, then NUL bytes
  SETTING_LABEL = 2,      ///< 1 to LABEL_MAX bytes of UTF-8, no control characters
  SETTING_LICENSE = 3,    ///< 1 to LICENSE_MAX bytes of UTF-8 text (tabs and line ends allowed)
};
constexpr std::size_t LABEL_MAX = 200;
constexpr std::size_t LICENSE_MAX = 1 << 20;
constexpr std::size_t SIGNATURE_SLOT_AT = SETTINGS_MAGIC_SIZE + SETTING_RECORD_HEADER;

struct package_settings {
  bool present = false;  ///< the file has a settings section
  std::string label;     ///< empty for none
  std::string license;   ///< empty for none
  bool is_signed = false;
  std::string signature;          ///< armored text, without the padding
  uint64_t signature_offset = 0;  ///< file offset of the slot (section offset when parsed alone)
  uint32_t signature_slot_size = 0;  ///< the slot's length, its record's
};

/// What a text may hold: 0 when it is UTF-8 without control characters
/// (in multi_line text: tab, line feed, and carriage return before a line
/// feed are allowed), 1 when it is not UTF-8, 2 for a control character.
int check_text(std::string_view text, bool multi_line);

/// The section's bytes for settings; a signed one gets a slot of
/// settings.signature_slot_size zeros.
std::string encode_settings(const package_settings& settings);

/// Reads a section's bytes into settings (signature_offset relative to the
/// section). Returns 0, or -1 after "Damaged package settings: DETAIL".
int parse_settings(const unsigned char* data, std::size_t size, package_settings* settings);

/// The settings of the ELF file open on stream, of file_size bytes, whose
/// headers are image: settings->present stays false when it has none.
/// Returns 0, or -1 after one message.
int read_package_settings(FILE* stream, uint64_t file_size, const elf_image& image, package_settings* settings);

/// What is wrong with a label (multi_line false, at most limit bytes) or a
/// license text (multi_line true), or null when it may be used.
const char* text_problem(std::string_view text, std::size_t limit, bool multi_line);

// Every quarnel program carries a mark, a section of its own image, by
// which a builder handed another program's file (--stub) knows it for a
// quarnel stub of any machine, and learns which settings it reads:
//
//   offset  length  content
//   0       8       STUB_MARK_MAGIC
//   8       8       the SETTINGS_MAGIC of the settings sections it reads
//
// A later release may make the section longer; these 16 bytes stay.
constexpr const char* STUB_MARK_SECTION = ".quarnel.stub";
constexpr char STUB_MARK_MAGIC[] = "QRNLSTUB";
constexpr std::size_t STUB_MARK_SIZE = 16;
static_assert(sizeof STUB_MARK_MAGIC - 1 + SETTINGS_MAGIC_SIZE == STUB_MARK_SIZE);
enum stub_mark {
  STUB_MARK_NONE = 0,   ///< not a quarnel program (or one older than the mark)
  STUB_MARK_OURS = 1,   ///< a quarnel program that reads this release's settings
  STUB_MARK_OTHER = 2,  ///< a quarnel program that reads settings of another format
};

/// The mark of the ELF file open on stream, of file_size bytes, whose
/// headers are image. Prints nothing.
stub_mark read_stub_mark(FILE* stream, uint64_t file_size, const elf_image& image);

// A signed package keeps its signature (see trust/trust.h) in a slot of
// armored text padded with NUL bytes, sized for the key when the package is
// built: every slot is at least SIGNATURE_SLOT_MIN bytes (all an Ed25519 or
// ECDSA signature needs), and a reader refuses one larger than
// SIGNATURE_SLOT_MAX as damage.
constexpr std::size_t SIGNATURE_SLOT_MIN = 1024;
constexpr std::size_t SIGNATURE_SLOT_MAX = 16 * 1024;
