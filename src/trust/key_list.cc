#include "trust/key_list.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "trust/trust.h"

namespace {

constexpr std::string_view BLANKS = " \t";
constexpr std::string_view FINGERPRINT_PREFIX = "SHA256:";

int bad_line(const char* path, std::size_t number, const char* reason) {
  fprintf(stderr, "Bad key list %s: line %zu: %s\n", path, number, reason);
  return -1;
}

}  // namespace

int parse_key_list(std::string_view text, const char* path, std::vector<listed_key>* keys) {
  std::vector<listed_key> found;
  for (std::size_t number = 1; !text.empty(); ++number) {
    const std::size_t end = text.find('\n');
    std::string_view line = text.substr(0, end);
    text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
    if (line.ends_with('\r')) line.remove_suffix(1);
    const std::size_t start = line.find_first_not_of(BLANKS);
    if (start == std::string_view::npos || line[start] == '#') continue;
    line.remove_prefix(start);
    // TYPE, blanks, BASE64, and after more blanks a comment, which may
    // hold anything.
    const std::size_t type_end = line.find_first_of(BLANKS);
    const std::size_t data_start = line.find_first_not_of(BLANKS, type_end);
    if (data_start == std::string_view::npos) return bad_line(path, number, "not TYPE BASE64 [COMMENT]");
    const std::size_t data_end = line.find_first_of(BLANKS, data_start);
    listed_key key;
    key.type = line.substr(0, type_end);
    if (!decode_base64(line.substr(data_start, data_end - data_start), &key.blob))
      return bad_line(path, number, "bad base64");
    const std::string_view blob_type = key_blob_type(key.blob);
    if (blob_type.empty()) return bad_line(path, number, "not a public key");
    if (blob_type != key.type) return bad_line(path, number, "the key's own type is not the line's");
    if (!key_blob_minimal(key.blob)) return bad_line(path, number, "the key is not written as OpenSSH writes it");
    key.fingerprint = key_fingerprint(key.blob);
    found.push_back(std::move(key));
  }
  // A list that names nobody would let no package pass: a wrong file, or
  // one fetched as an error page, more likely than a wish.
  if (found.empty()) {
    fprintf(stderr, "Bad key list %s: no public key in it\n", path);
    return -1;
  }
  *keys = std::move(found);
  return 0;
}

int read_key_list(const char* path, std::vector<listed_key>* keys) {
  FILE* file = fopen(path, "r");
  if (file == nullptr) {
    fprintf(stderr, "Cannot read key list %s: %s\n", path, strerror(errno));
    return -1;
  }
  // Read to its end, so that a pipe (a list fetched on the fly) works too.
  std::string text;
  char block[4096];
  std::size_t got;
  while (text.size() <= KEY_LIST_MAX && (got = fread(block, 1, sizeof block, file)) > 0) text.append(block, got);
  const int error = ferror(file) ? (errno != 0 ? errno : EIO) : 0;
  fclose(file);
  if (error != 0 || text.size() > KEY_LIST_MAX) {
    fprintf(stderr, "Cannot read key list %s: %s\n", path, error != 0 ? strerror(error) : "it is larger than 1 MiB");
    return -1;
  }
  return parse_key_list(text, path, keys);
}

int signer_fingerprints(const std::vector<std::string>& values, std::vector<std::string>* fingerprints) {
  for (const std::string& value : values) {
    if (value.starts_with(FINGERPRINT_PREFIX)) {
      fingerprints->push_back(value);
      continue;
    }
    std::vector<listed_key> keys;
    if (read_key_list(value.c_str(), &keys) != 0) return -1;
    for (listed_key& key : keys) fingerprints->push_back(std::move(key.fingerprint));
  }
  return 0;
}
