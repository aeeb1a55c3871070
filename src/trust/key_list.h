// Key lists: the public keys a user trusts to sign a package, one per line
// as OpenSSH writes them ("TYPE BASE64 [COMMENT]"): a .pub file, an
// authorized_keys line without options, or the list of a user's keys that
// a code host serves as one text file.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

/// A key list is read whole; a longer file is refused.
constexpr std::size_t KEY_LIST_MAX = 1 << 20;

/// One key of a list.
struct listed_key {
  std::string type;         ///< the line's TYPE, which the blob's own type matches
  std::string blob;         ///< the key as OpenSSH encodes it
  std::string fingerprint;  ///< "SHA256:...", as `ssh-keygen -l` prints it
};

/// Parses text, the key list at path (named in messages). Blank lines and
/// lines whose first non-blank character is '#' are skipped; a line may
/// end in "\r\n". Returns 0 with at least one key in *keys (left alone
/// otherwise), or -1 after one
/// message: "Bad key list PATH: line N: <reason>" for a line that is not a
/// key (not TYPE BASE64 [COMMENT], bad base64, a key whose own type is
/// not TYPE, or one whose numbers are not written as OpenSSH writes them),
/// "Bad key list PATH: no public key in it".
int parse_key_list(std::string_view text, const char* path, std::vector<listed_key>* keys);

/// Reads the key list at path (a file or a pipe, at most KEY_LIST_MAX
/// bytes) and parses it. Returns 0, or -1 after one message: "Cannot read
/// key list PATH: <reason>" or one of parse_key_list's.
int read_key_list(const char* path, std::vector<listed_key>* keys);

/// The fingerprints that --signer values name: a value starting with
/// "SHA256:" is one itself, any other is the path of a key list, whose
/// keys' fingerprints are added in order. Returns 0, or -1 after one
/// message of read_key_list's.
int signer_fingerprints(const std::vector<std::string>& values, std::vector<std::string>* fingerprints);
