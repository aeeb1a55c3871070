// The key-list parser of --signer on arbitrary text. What it accepts is a
// list of keys whose own type is their line's, fingerprinted as OpenSSH
// does; comments and blank lines around it change nothing.
#include <string>
#include <vector>

#include "fuzz_support.h"
#include "trust/key_list.h"
#include "trust/trust.h"

namespace {

bool same_keys(const std::vector<listed_key>& a, const std::vector<listed_key>& b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i)
    if (a[i].type != b[i].type || a[i].blob != b[i].blob || a[i].fingerprint != b[i].fingerprint) return false;
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  std::vector<listed_key> keys;
  const int parsed = parse_key_list(text, "fuzz", &keys);
  FUZZ_CHECK(parsed == 0 || parsed == -1);
  FUZZ_CHECK((parsed == 0) == !keys.empty());
  for (const listed_key& key : keys) {
    FUZZ_CHECK(!key.type.empty() && key_blob_type(key.blob) == key.type);
    FUZZ_CHECK(key.fingerprint.size() == 50 && key.fingerprint == key_fingerprint(key.blob));
  }
  std::vector<listed_key> again;
  FUZZ_CHECK(parse_key_list("# a comment\n\n \t\n" + text + "\n  # another\n", "fuzz", &again) == parsed);
  FUZZ_CHECK(same_keys(again, keys));
  // Lines may end in "\r\n" as well.
  if (text.find('\r') == std::string::npos) {
    std::string crlf;
    for (const char c : text) crlf += c == '\n' ? std::string("\r\n") : std::string(1, c);
    again.clear();
    FUZZ_CHECK(parse_key_list(crlf, "fuzz", &again) == parsed);
    FUZZ_CHECK(same_keys(again, keys));
  }
  return 0;
}
