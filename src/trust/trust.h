// Trust in a package: OpenSSH signatures (ssh-keygen -Y sign) over the
// whole package file, signing through ssh-keygen, and the check every run
// of a package makes before anything else.
//
// A vendor signs with an OpenSSH key; the signature is ssh-keygen's
// armored text ("-----BEGIN SSH SIGNATURE-----" ...), kept in the package's
// signature slot (padded with NUL bytes, sized for the key). The
// signed message is the whole package file with the slot's bytes set to
// zero, under the namespace SIGNATURE_NAMESPACE, hashed with the algorithm
// the signature names: SHA-256 for what this program signs, SHA-512 for
// what earlier releases signed. Keys are "ssh-ed25519",
// "ecdsa-sha2-nistp256", "-nistp384", "-nistp521", RSA ("ssh-rsa") of
// 2048 bits or more, its exponent odd and of 3 to 64 bits, with
// "rsa-sha2-256" or "rsa-sha2-512" signatures, or the security keys
// "sk-ssh-ed25519@openssh.com" and
// "sk-ecdsa-sha2-nistp256@openssh.com" (whose user-presence flag must be
// set); nothing else is accepted: no SHA-1 ("ssh-rsa") signatures, no DSA.
//
// Every function that detects a failure prints exactly one message.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>

#include "package/package.h"

constexpr const char* SIGNATURE_NAMESPACE = "quarnel";

/// The hash a signature names for its message.
enum signature_hash { SIGNATURE_SHA256, SIGNATURE_SHA512 };
/// The largest digest of a message (SHA-512's).
constexpr std::size_t MESSAGE_DIGEST_MAX = 64;
/// The digest size of hash: 32 or 64 bytes.
constexpr std::size_t message_digest_size(signature_hash hash) { return hash == SIGNATURE_SHA256 ? 32 : 64; }

/// One signature as parsed from its armored text; checked by
/// verify_ssh_signature, not by the parser.
struct ssh_signature {
  std::string key_type;         ///< "ssh-ed25519", "ecdsa-sha2-nistp256", "ssh-rsa", ...
  std::string public_key_blob;  ///< the key as OpenSSH encodes it (key_fingerprint's input)
  std::string public_key;       ///< Ed25519: its 32 bytes; ECDSA: the point 04 || X || Y; RSA: n
  std::string exponent;         ///< RSA only: e
  std::string application;      ///< security keys only, e.g. "ssh:"
  signature_hash hash = SIGNATURE_SHA512;
  std::string signature_type;  ///< the key type, or for RSA "rsa-sha2-256" or "rsa-sha2-512"
  /// The signature's own bytes: Ed25519: 64; ECDSA: r then s, each as
  /// wide as the curve's field; RSA: at most as long as n.
  std::string signature;
  unsigned char flags = 0;  ///< security keys only
  uint32_t counter = 0;     ///< security keys only
};

/// Why armored is not a signature this program accepts ("no signature",
/// "bad armor or base64", ...), or null with *out filled in; prints nothing.
const char* read_ssh_signature(std::string_view armored, ssh_signature* out);

/// Parses armored, the signature slot's text: one armored block, optionally
/// a newline, then only NUL bytes. Returns 0, or -1 after one message
/// "Bad signature: <detail>" (wrong armor, base64, layout, version,
/// namespace, hash or key type, a length past the end, trailing bytes, an
/// RSA exponent out of bounds, a key's number not minimally encoded).
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

/// Whether public_key_blob writes its numbers as OpenSSH does, a key of
/// another type being taken as it is: an RSA key's e and n positive and
/// without needless leading zero bytes, an ECDSA key's point uncompressed.
/// A key written otherwise has a fingerprint other than the one
/// `ssh-keygen -l` shows for it, and no signature accepted carries it.
bool key_blob_minimal(std::string_view public_key_blob);

/// The slot's size for a signature by the key public_key_blob: the
/// armored length of the largest signature such a key makes, in whole
/// KiB, at least SIGNATURE_SLOT_MIN and at most SIGNATURE_SLOT_MAX. That is
/// 1024 bytes for Ed25519 and ECDSA keys and 2048 for RSA keys of 2048 to
/// 4096 bits.
uint32_t signature_slot_size(std::string_view public_key_blob);

/// Checks sig over the message whose digest under sig.hash is digest.
/// Returns 0, or -1 after "Bad signature: verification failed" (or, for a
/// security key, "Bad signature: user presence not confirmed").
int verify_ssh_signature(const ssh_signature& sig, const unsigned char* digest);

/// parse_ssh_signature, then verify_ssh_signature over message, then the
/// key's fingerprint into *fingerprint. Returns 0, or -1 after one message.
int check_package_signature(std::string_view slot, std::string_view message, std::string* fingerprint);

/// Reads the public key of the OpenSSH key file at path: a public key file
/// ("ssh-ed25519 AAAA... comment") or a private key file ("-----BEGIN
/// OPENSSH PRIVATE KEY-----", whose public key needs no passphrase). Returns
/// 0 with the key blob in *public_key_blob, or -1 after "Cannot read PATH:
/// <reason>", "Cannot sign with PATH: TYPE keys are not supported",
/// "Cannot sign with PATH: RSA keys of N bits are too short (2048 at
/// least)", "Cannot sign with PATH: RSA keys with an exponent longer than 64
/// bits are not supported" (or "below 3"), "Cannot sign with PATH: its
/// public key is not minimally encoded", "Cannot sign with PATH: PEM keys
/// are not supported (OpenSSH key files only)" or "Cannot sign with PATH:
/// not an OpenSSH key file".
int read_signing_key(const char* path, std::string* public_key_blob);

/// read_signing_key, and ssh-keygen found along PATH. Returns 0, or -1
/// after one message.
int check_signing_key(const char* key_path, std::string* public_key_blob);

/// Signs the file open on fd (read from offset 0 to its end with pread; its
/// signature slot already zero) by running `ssh-keygen -Y sign -n quarnel
/// -O hashalg=sha256 -f key_path` from PATH, with the file on its standard
/// input. The passphrase of a key is asked on the terminal, never read from
/// standard input: without a terminal only SSH_ASKPASS (if set) or
/// ssh-agent can unlock it. ssh-keygen's messages are shown only when it
/// fails. The signature is then verified as an installer will, against the
/// key read from key_path. Returns 0 with ssh-keygen's armored text (at most
/// slot_size bytes) in *armored, or -1 after one message: those of
/// read_signing_key, "Cannot sign with PATH: ssh-keygen not found",
/// "Cannot sign with PATH: ssh-keygen: <its last message>", "... ssh-keygen
/// exited with status N", "Read file error", or a "Bad signature: ..." one.
int sign_package_file(const char* key_path, int fd, std::size_t slot_size, std::string* armored);

/// The running hash of a signed message, in the algorithm its signature
/// names. The state is the library's, kept here as plain bytes.
struct message_hash {
  signature_hash algorithm = SIGNATURE_SHA256;
  alignas(16) unsigned char state[224] = {};
};
void message_hash_start(message_hash* hash, signature_hash algorithm);
void message_hash_update(message_hash* hash, const unsigned char* data, std::size_t size);
/// Writes message_digest_size(hash->algorithm) bytes to digest.
void message_hash_finish(message_hash* hash, unsigned char* digest);

/// Feeds hash the package's bytes before archive_offset, with the
/// slot_size bytes at slot_offset read as zeros: the signed message up to
/// the archive. Returns 0, or -1 after "Read file error".
int hash_signed_prefix(FILE* package, uint64_t archive_offset, uint64_t slot_offset, uint64_t slot_size,
                       message_hash* hash);

/// verify_archive for a signed package: the archive is read once, and each
/// block goes to MD5 (compared with stored) and to message. With threads of
/// 2 or more, message is hashed on a thread of its own, joined before this
/// returns; with 1, or when no thread can be started, in the same pass.
/// Returns as verify_archive does.
int verify_signed_archive(FILE* package, uint64_t archive_offset, const unsigned char stored[DIGEST_BYTES],
                          message_hash* message, progress_meter* meter, int threads);

/// Hashing threads worth starting: 2 when this process may run on two or
/// more cores, else 1.
int hashing_threads();

/// Checks the archive's digest and, for a signed package, the signature over
/// the whole file, reading the archive once for both. Prints the
/// verification line (and the signer's) when talk is set. Returns 0 with the
/// signer's fingerprint in *signer (empty when unsigned), or -1 after one
/// message.
int verify_package(FILE* package, const package_header& header, uint64_t archive_offset,
                   const package_settings& settings, bool talk, std::string* signer);
