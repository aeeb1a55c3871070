// The signature parser on arbitrary slot text, and the verification of
// what it accepts over a fixed message: the seed corpus holds a real
// signature of that message, so the accepting path is explored too.
#include <sodium.h>

#include <string>

#include "fuzz_support.h"
#include "package/package.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  static const std::string message = "quarnel fuzz seed\n";
  static unsigned char digest[MESSAGE_DIGEST_BYTES];
  static const int hashed =
      crypto_hash_sha512(digest, reinterpret_cast<const unsigned char*>(message.data()), message.size());
  FUZZ_CHECK(hashed == 0);
  const std::string slot(reinterpret_cast<const char*>(data), size);
  ssh_signature sig;
  const int parsed = parse_ssh_signature(slot, &sig);
  FUZZ_CHECK(parsed == 0 || parsed == -1);
  // NUL bytes that fill the slot change nothing.
  ssh_signature padded;
  FUZZ_CHECK(parse_ssh_signature(slot + std::string(16, '\0'), &padded) == parsed);
  if (parsed != 0) return 0;
  FUZZ_CHECK(sig.key_type == "ssh-ed25519" || sig.key_type == "sk-ssh-ed25519@openssh.com");
  FUZZ_CHECK(padded.public_key_blob == sig.public_key_blob);
  FUZZ_CHECK(key_fingerprint(sig.public_key_blob).size() == 50);
  const int verified = verify_ssh_signature(sig, digest);
  std::string fingerprint;
  FUZZ_CHECK(check_package_signature(slot, digest, &fingerprint) == verified);
  FUZZ_CHECK(verified == -1 || fingerprint == key_fingerprint(sig.public_key_blob));
  return 0;
}
