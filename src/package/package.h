// The package format, its builder and the archive digest.
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

struct crypto_hash_sha512_state;

/// Compares the digest of everything from archive_offset to the end of the
/// package with stored, counting the bytes read on meter (which may be
/// null) and feeding the same bytes to also (which may be null). Returns 0
/// when they match, -1 after a message when positioning or reading fails,
/// another nonzero value when they differ.
int verify_archive(FILE* package, uint64_t archive_offset, const unsigned char stored[DIGEST_BYTES],
                   progress_meter* meter = nullptr, crypto_hash_sha512_state* also = nullptr);

/// Starts state and feeds it the package's bytes before archive_offset,
/// with the slot_size bytes at slot_offset read as zeros: the signed
/// message up to the archive. Returns 0, or -1 after "Read file error".
int hash_signed_prefix(FILE* package, uint64_t archive_offset, uint64_t slot_offset, uint64_t slot_size,
                       crypto_hash_sha512_state* state);

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

/// Builds settings from the builder's options (null for those not given):
/// the label checked, the license file read and checked, the signing key's
/// type checked and the signature slot sized for that key. Returns 0, or -1
/// after one message.
int load_settings(const char* label, const char* license_file, const char* sign_key, package_settings* settings);

/// Writes installer_name: the stub (read from the start of stub, the open
/// program file found at stub_path), the package header, and tar_name's
/// bytes, read once ("-" is standard input); then sets mode 0755. The header
/// holds the size and digest of the bytes packed. Refuses, before writing
/// anything, an installer_name that is the tar file (or standard input) or
/// the stub itself, a tar file that is a directory, and an existing
/// installer_name that is not a regular file. An existing installer_name is
/// not executable until the build succeeds. Returns 0, or -1 after one
/// message. With settings (null for none) the stub image gets a settings
/// section; a settings->is_signed package is then signed with sign_key.
int create_package(FILE* stub, const char* stub_path, const char* installer_name, const char* tar_name,
                   const package_settings* settings = nullptr, const char* sign_key = nullptr);

// Signed packages
//
// A vendor signs with an OpenSSH Ed25519 key through `ssh-keygen -Y sign`;
// the signature is ssh-keygen's armored text ("-----BEGIN SSH SIGNATURE-----"
// ...), kept in a slot padded with NUL bytes, sized for the key when the
// package is built (signature_slot_size).
// The signed message is the whole package file with the slot's bytes set to
// zero, hashed with SHA-512 under the namespace SIGNATURE_NAMESPACE. Keys
// are "ssh-ed25519" or "sk-ssh-ed25519@openssh.com" (a security key, whose
// user-presence flag must be set); nothing else is accepted.

/// Bounds of a slot's size: every slot is at least SIGNATURE_SLOT_MIN bytes
/// (all an Ed25519 or ECDSA signature needs), and a reader refuses one
/// larger than SIGNATURE_SLOT_MAX as damage.
constexpr std::size_t SIGNATURE_SLOT_MIN = 1024;
constexpr std::size_t SIGNATURE_SLOT_MAX = 16 * 1024;
constexpr const char* SIGNATURE_NAMESPACE = "quarnel";
/// SHA-512 of the signed message, as libsodium's crypto_hash_sha512 makes it.
constexpr std::size_t MESSAGE_DIGEST_BYTES = 64;

/// One signature as parsed from its armored text; checked by
/// verify_ssh_signature, not by the parser.
struct ssh_signature {
  std::string key_type;         ///< "ssh-ed25519" or "sk-ssh-ed25519@openssh.com"
  std::string public_key_blob;  ///< the key as OpenSSH encodes it (key_fingerprint's input)
  unsigned char public_key[32] = {};
  std::string application;  ///< security keys only, e.g. "ssh:"
  unsigned char signature[64] = {};
  unsigned char flags = 0;  ///< security keys only
  uint32_t counter = 0;     ///< security keys only
};

/// Parses armored, the signature slot's text: one armored block, optionally
/// a newline, then only NUL bytes. Returns 0, or -1 after one message
/// "Bad signature: <detail>" (wrong armor, base64, layout, version,
/// namespace, hash or key type, a length past the end, trailing bytes).
int parse_ssh_signature(std::string_view armored, ssh_signature* out);

/// The key's fingerprint as `ssh-keygen -l` prints it: "SHA256:" and the
/// unpadded base64 of the SHA-256 of public_key_blob.
std::string key_fingerprint(std::string_view public_key_blob);

/// Decodes text, standard base64 with its padding and nothing else, into
/// *out. Returns false when it is not that.
bool decode_base64(std::string_view text, std::string* out);

/// The type a public key blob names in its first field, or an empty view
/// when the blob is not that name followed by one or more whole strings
/// (a key cut short, or no key at all).
std::string_view key_blob_type(std::string_view public_key_blob);

/// The slot's size for a signature by the key public_key_blob: the
/// armored length of the largest signature such a key makes, in whole
/// KiB, at least SIGNATURE_SLOT_MIN and at most SIGNATURE_SLOT_MAX. That is
/// 1024 bytes for Ed25519 and ECDSA keys and 2048 for RSA keys of 2048 to
/// 4096 bits.
uint32_t signature_slot_size(std::string_view public_key_blob);

/// Checks sig over the message whose SHA-512 is message_sha512. Returns 0,
/// or -1 after "Bad signature: verification failed" (or, for a security
/// key, "Bad signature: user presence not confirmed").
int verify_ssh_signature(const ssh_signature& sig, const unsigned char message_sha512[MESSAGE_DIGEST_BYTES]);

/// parse_ssh_signature, then verify_ssh_signature, then the key's
/// fingerprint into *fingerprint. Returns 0, or -1 after one message.
int check_package_signature(std::string_view slot, const unsigned char message_sha512[MESSAGE_DIGEST_BYTES],
                            std::string* fingerprint);

/// Reads the public key of the OpenSSH key file at path: a public key file
/// ("ssh-ed25519 AAAA... comment") or a private key file ("-----BEGIN
/// OPENSSH PRIVATE KEY-----", whose public key needs no passphrase). Returns
/// 0 with the key blob in *public_key_blob, or -1 after "Cannot read PATH:
/// <reason>", "Cannot sign with PATH: TYPE keys are not supported (Ed25519
/// only)" or "Cannot sign with PATH: not an OpenSSH key file".
int read_signing_key(const char* path, std::string* public_key_blob);

/// read_signing_key, and ssh-keygen found along PATH. Returns 0, or -1
/// after one message.
int check_signing_key(const char* key_path, std::string* public_key_blob);

/// Signs the file open on fd (read from offset 0 to its end with pread; its
/// signature slot already zero) by running `ssh-keygen -Y sign -n quarnel
/// -f key_path` from PATH, with the file on its standard input. The
/// passphrase of a key is asked on the terminal, never read from standard
/// input: without a terminal only SSH_ASKPASS (if set) or ssh-agent can
/// unlock it. ssh-keygen's messages are shown only when it fails. The
/// signature is then verified as an installer will, against the key read
/// from key_path. Returns 0 with ssh-keygen's armored text (at most
/// slot_size bytes) in *armored, or -1 after one message: those of
/// read_signing_key, "Cannot sign with PATH: ssh-keygen not found",
/// "Cannot sign with PATH: ssh-keygen: <its last message>", "... ssh-keygen
/// exited with status N", "Read file error", or a "Bad signature: ..." one.
int sign_package_file(const char* key_path, int fd, std::size_t slot_size, std::string* armored);
