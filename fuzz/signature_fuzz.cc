// The signature parser on arbitrary slot text, and the verification of
// what it accepts over a fixed message: the seed corpus holds real
// signatures of that message (Ed25519, ECDSA and RSA), so the accepting
// paths are explored too.
#include <string>

#include "fuzz_support.h"
#include "trust/trust.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  static const std::string message = "quarnel fuzz seed\n";
  const std::string slot(reinterpret_cast<const char*>(data), size);
  ssh_signature sig;
  const int parsed = parse_ssh_signature(slot, &sig);
  FUZZ_CHECK(parsed == 0 || parsed == -1);
  // NUL bytes that fill the slot change nothing.
  ssh_signature padded;
  FUZZ_CHECK(parse_ssh_signature(slot + std::string(16, '\0'), &padded) == parsed);
  if (parsed != 0) return 0;
  FUZZ_CHECK(sig.key_type == "ssh-ed25519" || sig.key_type == "sk-ssh-ed25519@openssh.com" ||
             sig.key_type == "ecdsa-sha2-nistp256" || sig.key_type == "ecdsa-sha2-nistp384" ||
             sig.key_type == "ecdsa-sha2-nistp521" || sig.key_type == "sk-ecdsa-sha2-nistp256@openssh.com" ||
             sig.key_type == "ssh-rsa");
  // An RSA signature is never SHA-1's.
  FUZZ_CHECK(sig.key_type != "ssh-rsa" || sig.signature_type == "rsa-sha2-256" || sig.signature_type == "rsa-sha2-512");
  FUZZ_CHECK(padded.public_key_blob == sig.public_key_blob);
  FUZZ_CHECK(key_fingerprint(sig.public_key_blob).size() == 50);
  message_hash hash;
  unsigned char digest[MESSAGE_DIGEST_MAX];
  message_hash_start(&hash, sig.hash);
  message_hash_update(&hash, reinterpret_cast<const unsigned char*>(message.data()), message.size());
  message_hash_finish(&hash, digest);
  const int verified = verify_ssh_signature(sig, digest);
  std::string fingerprint;
  FUZZ_CHECK(check_package_signature(slot, message, &fingerprint) == verified);
  FUZZ_CHECK(verified == -1 || fingerprint == key_fingerprint(sig.public_key_blob));
  return 0;
}
