// Package signatures: forged and damaged signatures, the signed archive's
// two digests on one thread and on two, and signing through the real
// ssh-keygen and ssh-agent (fake ssh-keygens for its failures).
#include <fcntl.h>
#include <nettle/base64.h>
#include <nettle/bignum.h>
#include <nettle/ecc-curve.h>
#include <nettle/ecc.h>
#include <nettle/ecdsa.h>
#include <nettle/eddsa.h>
#include <nettle/knuth-lfib.h>
#include <nettle/nettle-meta.h>
#include <nettle/rsa.h>
#include <nettle/sha1.h>
#include <nettle/sha2.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <map>
#include <vector>

#include "trust/trust.h"
#include "support.h"
#include "trust/key_list.h"

namespace {

using namespace test_support;

std::string be32(uint32_t n) {
  return {static_cast<char>(n >> 24), static_cast<char>(n >> 16), static_cast<char>(n >> 8), static_cast<char>(n)};
}
std::string str(std::string_view s) { return be32(static_cast<uint32_t>(s.size())) + std::string(s); }

std::string bytes(const unsigned char* p, std::size_t n) { return std::string(reinterpret_cast<const char*>(p), n); }

const unsigned char* data_of(std::string_view s) { return reinterpret_cast<const unsigned char*>(s.data()); }

std::string base64(const std::string& blob) {
  std::string b64(BASE64_ENCODE_RAW_LENGTH(blob.size()), '\0');
  base64_encode_raw(b64.data(), blob.size(), data_of(blob));
  return b64;
}

// The digest of data under one of Nettle's hashes.
std::string digest_of(const nettle_hash& hash, std::string_view data) {
  std::vector<uint8_t> ctx(hash.context_size), digest(hash.digest_size);
  hash.init(ctx.data());
  hash.update(ctx.data(), data.size(), data_of(data));
  hash.digest(ctx.data(), digest.size(), digest.data());
  return bytes(digest.data(), digest.size());
}
std::string sha256(std::string_view data) { return digest_of(nettle_sha256, data); }
std::string sha512(std::string_view data) { return digest_of(nettle_sha512, data); }

std::string armor(const std::string& blob) {
  const std::string b64 = base64(blob);
  std::string lines;
  for (std::size_t i = 0; i < b64.size(); i += 70) lines += b64.substr(i, 70) + "\n";
  return "-----BEGIN SSH SIGNATURE-----\n" + lines + "-----END SSH SIGNATURE-----\n";
}

// An SSH mpint: two's complement, big-endian, as short as it goes.
std::string mpint(const mpz_t x) {
  std::string out(nettle_mpz_sizeinbase_256_s(x), '\0');
  nettle_mpz_get_str_256(out.size(), reinterpret_cast<uint8_t*>(out.data()), x);
  return str(out);
}

void fixed_random(void* ctx, std::size_t n, uint8_t* out) { knuth_lfib_random(static_cast<knuth_lfib_ctx*>(ctx), n, out); }

// An RSA key pair, its numbers freed with it.
struct rsa_pair {
  rsa_public_key pub;
  rsa_private_key secret;
  rsa_pair() {
    rsa_public_key_init(&pub);
    rsa_private_key_init(&secret);
  }
  ~rsa_pair() {
    rsa_public_key_clear(&pub);
    rsa_private_key_clear(&secret);
  }
};

// An RSA key of bits and exponent (in hex) made once from a fixed seed.
const rsa_private_key& rsa_key(unsigned bits, const char* exponent, rsa_public_key** pub) {
  static std::map<std::pair<unsigned, std::string>, rsa_pair> keys;
  auto [at, added] = keys.try_emplace({bits, exponent});
  if (added) {
    knuth_lfib_ctx random;
    knuth_lfib_init(&random, bits);
    mpz_set_str(at->second.pub.e, exponent, 16);
    EXPECT_EQ(rsa_generate_keypair(&at->second.pub, &at->second.secret, &random, fixed_random, nullptr, nullptr, bits, 0),
              1);
  }
  *pub = &at->second.pub;
  return at->second.secret;
}

// The fields of a signature blob, signed as OpenSSH does with a fixed key
// over the message hashed as hash names (an unknown name: with SHA-512); a
// security key's signature covers the application's and the data's hashes
// around its flags and counter. ECDSA keys are on curve (by default their
// type's) and sign with its hash; RSA keys of rsa_bits and exponent sign
// as signature_type says, rsa-sha2-512 by default.
struct forged {
  std::string magic = "SSHSIG", version = std::string("\0\0\0\1", 4), key_type = "ssh-ed25519";
  std::string name_space = "quarnel", reserved = "", hash = "sha512", application = "ssh:", trailing = "";
  unsigned char flags = 1;
  uint32_t counter = 7, signed_counter = 7;
  std::size_t key_bytes = 32, sig_bytes = 64;
  std::string curve = "", signature_type = "";
  unsigned rsa_bits = 2048;
  std::size_t flipped = 0;  // 1 or 2: r or s (an RSA signature: its value) has its low bit flipped
  std::size_t padded = 0;   // 1 or 2: r or s (an RSA key: e or n) has a needless leading zero byte
  bool off_curve = false;   // the key's point is moved off its curve
  int point_form = 0;       // 1: the key's point compressed (02 or 03, X); 2: P-521's X plus its prime
  // RSA: e in hex. The key is made with it when it can be (odd, 3 or more),
  // else the 65537 one is shown with it.
  const char* exponent = "10001";

  // An mpint with a zero byte more than it needs when padded is which.
  std::string number(const mpz_t x, std::size_t which) const {
    const std::string m = mpint(x);
    return padded == which ? str('\0' + m.substr(4)) : m;
  }

  std::string blob(std::string_view message) const {
    const bool security_key = key_type.starts_with("sk-");
    const std::string digest = hash == "sha256" ? sha256(message) : sha512(message);
    std::string data = "SSHSIG" + str(name_space) + str(reserved) + str(hash) + str(digest);
    if (security_key) data = sha256(application) + static_cast<char>(flags) + be32(signed_counter) + sha256(data);
    std::string key, signature;
    if (key_type.find("ecdsa") != std::string::npos) {
      ecdsa(data, &key, &signature);
    } else if (key_type == "ssh-rsa") {
      rsa(data, &key, &signature);
    } else {
      unsigned char pk[32], sig[64], seed[32] = {42};
      ed25519_sha512_public_key(pk, seed);
      ed25519_sha512_sign(pk, seed, data.size(), data_of(data), sig);
      key = str(key_type) + str(bytes(pk, key_bytes));
      signature = str(key_type) + str(bytes(sig, sig_bytes));
    }
    if (security_key) {
      key += str(application);
      signature += static_cast<char>(flags) + be32(counter);
    }
    return magic + version + str(key) + str(name_space) + str(reserved) + str(hash) + str(signature) + trailing;
  }

  void ecdsa(const std::string& data, std::string* key, std::string* signature) const {
    const std::string name = !curve.empty() ? curve : key_type.find("nistp384") != std::string::npos ? "nistp384"
                                                    : key_type.find("nistp521") != std::string::npos ? "nistp521"
                                                                                                     : "nistp256";
    const ecc_curve* ecc = name == "nistp384" ? nettle_get_secp_384r1()
                           : name == "nistp521" ? nettle_get_secp_521r1()
                                                : nettle_get_secp_256r1();
    std::string h = name == "nistp256" ? sha256(data) : sha512(data);
    if (name == "nistp384") {
      sha512_ctx ctx;
      unsigned char d[SHA384_DIGEST_SIZE];
      sha384_init(&ctx);
      sha384_update(&ctx, data.size(), data_of(data));
      sha384_digest(&ctx, sizeof d, d);
      h = bytes(d, sizeof d);
    }
    knuth_lfib_ctx random;
    knuth_lfib_init(&random, 42);
    ecc_scalar secret;
    ecc_point point;
    dsa_signature rs;
    mpz_t x, y;
    mpz_inits(x, y, nullptr);
    ecc_scalar_init(&secret, ecc);
    ecc_point_init(&point, ecc);
    dsa_signature_init(&rs);
    mpz_set_ui(x, 123456789);
    ecc_scalar_set(&secret, x);
    ecc_point_mul_g(&point, &secret);
    ecc_point_get(&point, x, y);
    ecdsa_sign(&secret, &random, fixed_random, h.size(), data_of(h), &rs);
    if (off_curve) mpz_add_ui(y, y, 1);
    if (point_form == 2) {
      // P-521's prime, 2^521 - 1: X + p still fits the field's 66 bytes.
      mpz_t p;
      mpz_init(p);
      mpz_setbit(p, 521);
      mpz_sub_ui(p, p, 1);
      mpz_add(x, x, p);
      mpz_clear(p);
    }
    if (flipped == 1) mpz_combit(rs.r, 0);
    if (flipped == 2) mpz_combit(rs.s, 0);
    const std::size_t size = (ecc_bit_size(ecc) + 7) / 8;
    std::string q(1 + 2 * size, '\4');
    nettle_mpz_get_str_256(size, reinterpret_cast<uint8_t*>(q.data() + 1), x);
    nettle_mpz_get_str_256(size, reinterpret_cast<uint8_t*>(q.data() + 1 + size), y);
    if (point_form == 1) q = static_cast<char>(mpz_odd_p(y) ? 3 : 2) + q.substr(1, size);
    *key = str(key_type) + str(name) + str(q);
    *signature = str(key_type) + str(number(rs.r, 1) + number(rs.s, 2));
    mpz_clears(x, y, nullptr);
    ecc_scalar_clear(&secret);
    ecc_point_clear(&point);
    dsa_signature_clear(&rs);
  }

  void rsa(const std::string& data, std::string* key, std::string* signature) const {
    rsa_public_key* pub;
    mpz_t e;
    mpz_init_set_str(e, exponent, 16);
    const bool usable = mpz_odd_p(e) && mpz_cmp_ui(e, 3) >= 0;
    const rsa_private_key& secret = rsa_key(rsa_bits, usable ? exponent : "10001", &pub);
    const std::string type = signature_type.empty() ? "rsa-sha2-512" : signature_type;
    knuth_lfib_ctx random;
    knuth_lfib_init(&random, 7);
    mpz_t s;
    mpz_init(s);
    if (type == "rsa-sha2-256") {
      rsa_sha256_sign_digest_tr(pub, &secret, &random, fixed_random, data_of(sha256(data)), s);
    } else if (type == "ssh-rsa") {
      unsigned char d[SHA1_DIGEST_SIZE];
      sha1_ctx ctx;
      sha1_init(&ctx);
      sha1_update(&ctx, data.size(), data_of(data));
      sha1_digest(&ctx, sizeof d, d);
      rsa_sha1_sign_digest_tr(pub, &secret, &random, fixed_random, d, s);
    } else {
      rsa_sha512_sign_digest_tr(pub, &secret, &random, fixed_random, data_of(sha512(data)), s);
    }
    if (flipped != 0) mpz_combit(s, 0);
    std::string value(pub->size, '\0');
    nettle_mpz_get_str_256(value.size(), reinterpret_cast<uint8_t*>(value.data()), s);
    *key = str(key_type) + number(e, 1) + number(pub->n, 2);
    *signature = str(type) + str(value);
    mpz_clears(s, e, nullptr);
  }
};

const std::string SK = "sk-ssh-ed25519@openssh.com", SK_P256 = "sk-ecdsa-sha2-nistp256@openssh.com";
const std::string P256 = "ecdsa-sha2-nistp256", P384 = "ecdsa-sha2-nistp384", P521 = "ecdsa-sha2-nistp521";

TEST(Signature, ForgedAndDamagedSignaturesAreRefused) {
  const std::string message = "package", other = "packagf";
  const std::string good = forged().blob(message), sk = forged{.key_type = SK}.blob(message);
  std::string huge_key = good;
  huge_key.replace(10, 4, "\xff\xff\xff\xff");
  const struct {
    const char* label;
    std::string slot;
    const char* error;  // after "Bad signature: ", or null when it verifies
  } rows[] = {
      {"good, padded with NUL bytes", armor(good) + std::string(500, '\0'), nullptr},
      {"good, no final newline", armor(good).substr(0, armor(good).size() - 1), nullptr},
      {"security key, user present", armor(sk), nullptr},
      {"empty slot", std::string(1024, '\0'), "no signature"},
      {"another text", "hello\n", "not an SSH signature"},
      {"bad base64", armor(good).replace(40, 1, "*"), "bad armor or base64"},
      {"no end line", armor(good).substr(0, armor(good).size() - 29), "bad armor or base64"},
      {"second armored block", armor(good) + armor(good), "bad armor or base64"},
      {"text after the end line", armor(good) + "x", "bad armor or base64"},
      {"NUL inside", armor(good).replace(40, 1, std::string(1, '\0')), "bad armor or base64"},
      {"blob cut by one byte", armor(good.substr(0, good.size() - 1)), "truncated"},
      {"key length past the end", armor(huge_key), "truncated"},
      {"wrong magic", armor(forged{.magic = "SSHSIH"}.blob(message)), "not an SSH signature"},
      {"version 2", armor(forged{.version = std::string("\0\0\0\2", 4)}.blob(message)), "unsupported version"},
      {"another namespace", armor(forged{.name_space = "file"}.blob(message)),
       "not made for quarnel packages (wrong namespace)"},
      {"reserved field used", armor(forged{.reserved = "x"}.blob(message)), "unknown reserved field"},
      {"sha256, as this release signs", armor(forged{.hash = "sha256"}.blob(message)), nullptr},
      {"security key, sha256", armor(forged{.key_type = SK, .hash = "sha256"}.blob(message)), nullptr},
      {"sha384", armor(forged{.hash = "sha384"}.blob(message)), "unsupported hash algorithm"},
      {"sha256 over another message", armor(forged{.hash = "sha256"}.blob(other)), "verification failed"},
      {"trailing byte", armor(forged{.trailing = "x"}.blob(message)), "trailing bytes"},
      {"DSA key", armor(forged{.key_type = "ssh-dss"}.blob(message)), "DSA keys are not supported"},
      {"unknown key type", armor(forged{.key_type = "ssh-ed448"}.blob(message)), "unsupported key type"},
      {"short key", armor(forged{.key_bytes = 31}.blob(message)), "malformed public key"},
      {"short signature", armor(forged{.sig_bytes = 63}.blob(message)), "malformed signature"},
      {"security key, no user presence", armor(forged{.key_type = SK, .flags = 4}.blob(message)),
       "user presence not confirmed"},
      {"security key, counter changed", armor(forged{.key_type = SK, .counter = 8}.blob(message)),
       "verification failed"},
      {"another message", armor(forged().blob(other)), "verification failed"},
      {"ECDSA P-256", armor(forged{.key_type = P256}.blob(message)), nullptr},
      {"ECDSA P-384, sha256", armor(forged{.key_type = P384, .hash = "sha256"}.blob(message)), nullptr},
      {"ECDSA P-521", armor(forged{.key_type = P521}.blob(message)), nullptr},
      {"ECDSA security key, user present", armor(forged{.key_type = SK_P256}.blob(message)), nullptr},
      {"ECDSA security key, no user presence", armor(forged{.key_type = SK_P256, .flags = 4}.blob(message)),
       "user presence not confirmed"},
      {"ECDSA security key, counter changed", armor(forged{.key_type = SK_P256, .counter = 8}.blob(message)),
       "verification failed"},
      {"ECDSA P-384 key and signature under the P-256 type", armor(forged{.key_type = P256, .curve = "nistp384"}.blob(message)),
       "malformed public key"},
      {"ECDSA point off its curve", armor(forged{.key_type = P256, .off_curve = true}.blob(message)),
       "malformed public key"},
      {"ECDSA r flipped", armor(forged{.key_type = P384, .flipped = 1}.blob(message)), "verification failed"},
      {"ECDSA s flipped", armor(forged{.key_type = P521, .flipped = 2}.blob(message)), "verification failed"},
      {"ECDSA another message", armor(forged{.key_type = P256}.blob(other)), "verification failed"},
      {"RSA, rsa-sha2-512", armor(forged{.key_type = "ssh-rsa"}.blob(message)), nullptr},
      {"RSA, rsa-sha2-256", armor(forged{.key_type = "ssh-rsa", .signature_type = "rsa-sha2-256"}.blob(message)),
       nullptr},
      {"RSA, SHA-1 (ssh-rsa)", armor(forged{.key_type = "ssh-rsa", .signature_type = "ssh-rsa"}.blob(message)),
       "RSA signature with SHA-1 (ssh-rsa), which is not accepted"},
      {"RSA, a signature type of another key", armor(forged{.key_type = "ssh-rsa", .signature_type = P256}.blob(message)),
       "signature type differs from key type"},
      {"RSA key of 1024 bits", armor(forged{.key_type = "ssh-rsa", .rsa_bits = 1024}.blob(message)),
       "RSA key shorter than 2048 bits"},
      // Exponents: checking costs a multiplication per bit.
      {"RSA exponent 3", armor(forged{.key_type = "ssh-rsa", .exponent = "3"}.blob(message)), nullptr},
      {"RSA exponent of 64 bits", armor(forged{.key_type = "ssh-rsa", .exponent = "ffffffffffffffff"}.blob(message)),
       nullptr},
      {"RSA exponent of 65 bits", armor(forged{.key_type = "ssh-rsa", .exponent = "10000000000000001"}.blob(message)),
       "RSA exponent longer than 64 bits"},
      {"RSA exponent of 2000 bits",
       armor(forged{.key_type = "ssh-rsa", .exponent = std::string(500, 'f').c_str()}.blob(message)),
       "RSA exponent longer than 64 bits"},
      {"RSA exponent even", armor(forged{.key_type = "ssh-rsa", .exponent = "10002"}.blob(message)),
       "malformed public key"},
      {"RSA exponent 1", armor(forged{.key_type = "ssh-rsa", .exponent = "1"}.blob(message)), "RSA exponent below 3"},
      // One encoding per key, or the fingerprint shown is not the key's.
      {"RSA e with a leading zero byte", armor(forged{.key_type = "ssh-rsa", .padded = 1}.blob(message)),
       "public key not minimally encoded"},
      {"RSA n with a second leading zero byte", armor(forged{.key_type = "ssh-rsa", .padded = 2}.blob(message)),
       "public key not minimally encoded"},
      {"ECDSA point compressed", armor(forged{.key_type = P256, .point_form = 1}.blob(message)),
       "malformed public key"},
      {"ECDSA X not reduced", armor(forged{.key_type = P521, .point_form = 2}.blob(message)), "malformed public key"},
      // A signature's own numbers are read as OpenSSH reads them.
      {"ECDSA r with a needless zero byte", armor(forged{.key_type = P384, .padded = 1}.blob(message)), nullptr},
      {"ECDSA s with a needless zero byte", armor(forged{.key_type = SK_P256, .padded = 2}.blob(message)), nullptr},
      {"RSA signature flipped", armor(forged{.key_type = "ssh-rsa", .flipped = 1}.blob(message)), "verification failed"},
      {"RSA another message", armor(forged{.key_type = "ssh-rsa"}.blob(other)), "verification failed"},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.label);
    std::string fingerprint;
    testing::internal::CaptureStderr();
    EXPECT_EQ(check_package_signature(r.slot, message, &fingerprint), r.error ? -1 : 0);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), r.error ? std::string("Bad signature: ") + r.error + "\n" : "");
    EXPECT_EQ(fingerprint.size(), r.error ? 0u : 50u);
  }
}

// Each hash sees every byte of the archive, whether it runs on a thread of
// its own or in the reading pass, across several of the reader's blocks;
// MD5 tells a changed byte either way.
TEST(Signature, SignedArchiveOnOneThreadAndOnTwo) {
  TempDir dir;
  std::string archive(1000003, '\0');
  for (std::size_t i = 0; i < archive.size(); ++i) archive[i] = static_cast<char>(i * 7 + (i >> 9));
  const std::string stub = "stub bytes";
  write_file(dir / "package", stub + archive);
  unsigned char stored[DIGEST_BYTES];
  {
    unique_file f = open_read(dir / "package");
    fseek(f.get(), static_cast<long>(stub.size()), SEEK_SET);
    ASSERT_EQ(md5_stream(f.get(), stored), 0);
  }
  for (const std::size_t flipped : {std::string::npos, std::size_t{0}, std::size_t{65536}, archive.size() - 1}) {
    std::string changed = archive;
    if (flipped != std::string::npos) changed[flipped] ^= 0x20;
    write_file(dir / "package", stub + changed);
    for (const signature_hash algorithm : {SIGNATURE_SHA256, SIGNATURE_SHA512}) {
      for (const int threads : {1, 2}) {
        SCOPED_TRACE(testing::Message() << "byte " << flipped << ", hash " << algorithm << ", threads " << threads);
        unique_file f = open_read(dir / "package");
        message_hash hash;
        message_hash_start(&hash, algorithm);
        testing::internal::CaptureStderr();
        const int result = verify_signed_archive(f.get(), stub.size(), stored, &hash, nullptr, threads);
        // A difference is a nonzero result of either sign, never a message.
        EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
        EXPECT_EQ(result == 0, flipped == std::string::npos);
        unsigned char digest[MESSAGE_DIGEST_MAX];
        message_hash_finish(&hash, digest);
        EXPECT_EQ(bytes(digest, message_digest_size(algorithm)),
                  algorithm == SIGNATURE_SHA256 ? sha256(changed) : sha512(changed));
      }
    }
  }
}

TEST(Signature, PublicKeyLines) {
  TempDir dir;
  const std::string ed = str("ssh-ed25519") + str(std::string(32, 'k'));
  const std::string sk = str("sk-ssh-ed25519@openssh.com") + str(std::string(32, 'k')) + str("ssh:");
  rsa_public_key* pub;
  rsa_key(2048, "10001", &pub);
  const std::string n = mpint(pub->n);
  const auto rsa = [&](const std::string& e, const std::string& n) {
    return "ssh-rsa " + base64(str("ssh-rsa") + str(e) + n) + "\n";
  };
  const std::string not_key = "not an OpenSSH key file";
  const struct {
    const char* label;
    std::string text, blob;  // blob "" when refused
    std::string err = "";    // after "Cannot sign with PATH: "
  } rows[] = {
      {"security key", "sk-ssh-ed25519@openssh.com " + base64(sk) + " comment\n", sk},
      {"type differs from the blob's", "sk-ssh-ed25519@openssh.com " + base64(ed) + "\n", "", not_key},
      {"key cut short", "ssh-ed25519 " + base64(ed.substr(0, 40)), "", not_key},
      {"bad base64", "ssh-ed25519 " + base64(ed).replace(5, 1, "*"), "", not_key},
      {"RSA exponent of 65 bits", rsa(std::string("\1\0\0\0\0\0\0\0\1", 9), n), "",
       "RSA keys with an exponent longer than 64 bits are not supported"},
      {"RSA exponent 1", rsa("\1", n), "", "RSA keys with an exponent below 3 are not supported"},
      {"RSA n with a second leading zero byte", rsa(std::string("\1\0\1", 3), str('\0' + n.substr(4))), "",
       "its public key is not minimally encoded"},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.label);
    write_file(dir / "key", r.text);
    std::string blob;
    testing::internal::CaptureStderr();
    EXPECT_EQ(read_signing_key((dir / "key").c_str(), &blob), r.blob.empty() ? -1 : 0);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              r.blob.empty() ? "Cannot sign with " + dir / "key" + ": " + r.err + "\n" : "");
    EXPECT_EQ(blob, r.blob);
  }
}

// Output of a shell command, which must succeed.
std::string shell(const std::string& command) {
  std::string out;
  FILE* p = popen(command.c_str(), "r");
  char block[512];
  for (std::size_t got; p != nullptr && (got = fread(block, 1, sizeof block, p)) > 0;) out.append(block, got);
  EXPECT_EQ(p == nullptr ? -1 : pclose(p), 0) << command;
  return out;
}

struct signed_result {
  int status;
  std::string armored, err;
};

// sign_package_file in a child without a controlling terminal (so that
// ssh-keygen cannot ask on ours), with only the given ssh-related variables.
// Its standard error is a file, or with on_terminal a terminal (a pty whose
// output comes back as err).
signed_result sign_detached(const TempDir& dir, const std::string& key, const std::string& file,
                            const std::vector<std::string>& env, bool on_terminal = false,
                            std::size_t slot_size = SIGNATURE_SLOT_MIN) {
  const int terminal = on_terminal ? posix_openpt(O_RDWR | O_NOCTTY) : -1;
  if (on_terminal) {
    EXPECT_TRUE(terminal >= 0 && grantpt(terminal) == 0 && unlockpt(terminal) == 0);
  }
  const pid_t child = fork();
  if (child == 0) {
    setsid();
    for (const char* name : {"SSH_AUTH_SOCK", "SSH_ASKPASS", "SSH_ASKPASS_REQUIRE", "DISPLAY", "WAYLAND_DISPLAY"})
      unsetenv(name);
    for (const std::string& entry : env) putenv(strdup(entry.c_str()));
    if (on_terminal)
      dup2(open(ptsname(terminal), O_RDWR | O_NOCTTY), 2);
    else
      freopen((dir / "err").c_str(), "w", stderr);
    std::string armored;
    const int fd = open(file.c_str(), O_RDONLY);
    const int status = sign_package_file(key.c_str(), fd, slot_size, &armored);
    write_file(dir / "armored", armored);
    fflush(stderr);
    _exit(status == 0 ? 0 : 1);
  }
  int wait_status = 0;
  waitpid(child, &wait_status, 0);
  std::string err = on_terminal ? "" : read_file(dir / "err");
  if (on_terminal) {
    fcntl(terminal, F_SETFL, O_NONBLOCK);
    char block[512];
    for (ssize_t got; (got = read(terminal, block, sizeof block)) > 0;)
      err.append(block, static_cast<std::size_t>(got));
    close(terminal);
  }
  return {WIFEXITED(wait_status) ? WEXITSTATUS(wait_status) : -1, read_file(dir / "armored"), err};
}

// An ssh-agent in the foreground, which ends with this process at the latest.
pid_t start_agent(const std::string& socket) {
  const pid_t pid = fork();
  if (pid == 0) {
    prctl(PR_SET_PDEATHSIG, SIGTERM);
    freopen("/dev/null", "w", stdout);
    execlp("ssh-agent", "ssh-agent", "-D", "-a", socket.c_str(), nullptr);
    _exit(127);
  }
  for (int i = 0; i < 500 && !fs::exists(socket); ++i) usleep(10000);
  return pid;
}

TEST(Signature, SignWithSshKeygen) {
  TempDir dir;
  const std::string d = dir.path() + "/";
  // Begins as a passphrase would be typed: read as one, it unlocks the key.
  std::string package = "secret\n";
  for (int i = 0; package.size() < 300000; ++i) package += std::to_string(i * 7919) + ' ';
  write_file(d + "package", package);
  shell("cd " + d + " && ssh-keygen -q -t ed25519 -N '' -C plain -f plain && ssh-keygen -q -t ed25519 -N '' -f agent" +
        " && ssh-keygen -q -t ed25519 -N secret -f locked && ssh-keygen -q -t rsa -b 1024 -N '' -f rsa" +
        " && ssh-keygen -q -t dsa -N '' -f dsa && ssh-keygen -q -t rsa -b 1024 -m PEM -N '' -f pem" +
        " && cp plain.pub lone.pub && mkdir fake && printf '#!/bin/sh\\necho secret\\n' >askpass && chmod +x askpass");
  const pid_t agent = start_agent(d + "agent.sock");
  shell("SSH_AUTH_SOCK=" + d + "agent.sock ssh-add -q " + d + "agent 2>&1 && rm " + d + "agent");
  const auto fake = [&](const char* name, const std::string& body) {
    write_file(d + "fake/" + name + "/ssh-keygen", "#!/bin/sh\n" + body + "\n", 0755);
    return "PATH=" + d + "fake/" + name + ":/usr/bin:/bin";
  };
  for (const char* name : {"quiet", "talks", "dies", "long", "other", "lazy", "touch"})
    mkdir((d + "fake/" + name).c_str(), 0755);
  // A security key's public half, and an ssh-keygen that asks for a touch
  // that never comes.
  write_file(d + "sk.pub", SK + " " + base64(str(SK) + str(std::string(32, 'k')) + str("ssh:")) + "\n");
  const std::string touch =
      fake("touch",
           "echo Signing data on standard input >&2; echo 'Confirm user presence for key ED25519-SK "
           "SHA256:x' >&2; cat >/dev/null; echo 'Signing failed: device not found' >&2; exit 1");
  const std::string touch_failed = "Cannot sign with " + d + "sk.pub: ssh-keygen: Signing failed: device not found";
  const std::string other_signature = armor(forged().blob(""));
  const struct {
    const char* label;
    std::string key;
    std::vector<std::string> env;
    std::string err;  // "" when it signs
    bool on_terminal = false;
  } rows[] = {
      {"private key", d + "plain", {}, ""},
      {"public key, private in ssh-agent", d + "agent.pub", {"SSH_AUTH_SOCK=" + d + "agent.sock"}, ""},
      {"locked key, SSH_ASKPASS", d + "locked", {"SSH_ASKPASS=" + d + "askpass"}, ""},
      {"locked key, no terminal",
       d + "locked",
       {},
       "Cannot sign with " + d + "locked: ssh-keygen: Load key \"" + d +
           "locked\": incorrect passphrase supplied to decrypt private key\n"},
      {"public key alone",
       d + "lone.pub",
       {},
       "Cannot sign with " + d + "lone.pub: ssh-keygen: No private key found for public key \"" + d + "lone.pub\"\n"},
      {"RSA key of 1024 bits",
       d + "rsa",
       {},
       "Cannot sign with " + d + "rsa: RSA keys of 1024 bits are too short (2048 at least)\n"},
      {"DSA public key", d + "dsa.pub", {}, "Cannot sign with " + d + "dsa.pub: ssh-dss keys are not supported\n"},
      {"PEM key",
       d + "pem",
       {},
       "Cannot sign with " + d + "pem: PEM keys are not supported (OpenSSH key files only)\n"},
      {"not a key", d + "package", {}, "Cannot sign with " + d + "package: not an OpenSSH key file\n"},
      {"missing key", d + "none", {}, "Cannot read " + d + "none: No such file or directory\n"},
      {"directory", d + "fake", {}, "Cannot read " + d + "fake: Is a directory\n"},
      {"no ssh-keygen", d + "plain", {"PATH=" + d + "fake"}, "Cannot sign with " + d + "plain: ssh-keygen not found\n"},
      {"fails quietly",
       d + "plain",
       {fake("quiet", "cat >/dev/null; exit 3")},
       "Cannot sign with " + d + "plain: ssh-keygen exited with status 3\n"},
      {"fails with messages",
       d + "plain",
       {fake("talks", "echo one >&2; echo 'two  ' >&2; echo >&2; exit 1")},
       "Cannot sign with " + d + "plain: ssh-keygen: two\n"},
      {"killed",
       d + "plain",
       {fake("dies", "kill -9 $$")},
       "Cannot sign with " + d + "plain: ssh-keygen was killed by signal 9\n"},
      {"reads nothing",
       d + "plain",
       {fake("lazy", "exit 0")},
       "Cannot sign with " + d + "plain: ssh-keygen did not read the whole package\n"},
      {"signature too long",
       d + "plain",
       {fake("long", "cat >/dev/null; head -c 1025 /dev/zero")},
       "Cannot sign with " + d + "plain: ssh-keygen's signature is longer than 1024 bytes\n"},
      {"another key",
       d + "plain",
       {fake("other", "cat >/dev/null; printf '%s' '" + other_signature + "'")},
       "Cannot sign with " + d + "plain: ssh-keygen signed with another key\n"},
      // The touch request reaches a terminal; every other line stays captured.
      {"security key, no terminal", d + "sk.pub", {touch}, touch_failed + "\n"},
      {"security key, terminal",
       d + "sk.pub",
       {touch},
       "Confirm user presence for key ED25519-SK SHA256:x\r\n" + touch_failed + "\r\n",
       true},
  };
  // A signature that checks over the package, by the key, as `ssh-keygen -l` names it.
  const auto expect_signed = [&](const signed_result& got, const std::string& key) {
    std::string fingerprint;
    EXPECT_EQ(check_package_signature(got.armored, package, &fingerprint), 0);
    ssh_signature sig;
    ASSERT_EQ(parse_ssh_signature(got.armored, &sig), 0);
    EXPECT_EQ(sig.hash, SIGNATURE_SHA256);
    const std::string listed = shell("ssh-keygen -lf " + key.substr(0, key.find(".pub")) + ".pub");
    const std::size_t field = listed.find(' ') + 1;
    EXPECT_EQ(fingerprint, listed.substr(field, listed.find(' ', field) - field));
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.label);
    const signed_result got = sign_detached(dir, r.key, d + "package", r.env, r.on_terminal);
    EXPECT_EQ(got.err, r.err);
    EXPECT_EQ(got.status, r.err.empty() ? 0 : 1);
    if (r.err.empty()) expect_signed(got, r.key);
  }
  kill(agent, SIGTERM);
  waitpid(agent, nullptr, 0);
}

// A key list as read by --signer: keys among comments and blank lines,
// every other line refused with its number.
TEST(Signature, KeyLists) {
  TempDir dir;
  shell("ssh-keygen -q -t ed25519 -N '' -C 'a comment' -f " + dir / "ed" + " && ssh-keygen -q -t ecdsa -N '' -f " +
        dir / "ecdsa");
  std::string ed = read_file(dir / "ed.pub"), ecdsa = read_file(dir / "ecdsa.pub");
  ed.pop_back();
  const std::string ed_type = ed.substr(0, ed.find(' ')), ecdsa_type = ecdsa.substr(0, ecdsa.find(' '));
  const std::string ecdsa_as_ed = ed_type + ecdsa.substr(ecdsa.find(' '));
  const std::string list = dir / "list";
  rsa_public_key* pub;
  rsa_key(2048, "10001", &pub);
  const std::string padded_rsa = "ssh-rsa " + base64(str("ssh-rsa") + str(std::string("\0\1\0\1", 4)) + mpint(pub->n));
  const std::string compressed = P256 + " " + base64(str(P256) + str("nistp256") + str('\2' + std::string(32, 'x')));
  const std::string not_openssh = ": line 2: the key is not written as OpenSSH writes it\n";
  const struct {
    const char* label;
    std::string text;
    std::vector<std::string> types;  // of the keys read, none when refused
    std::string err;
  } rows[] = {
      {"keys among comments and blank lines, CRLF line ends",
       "# the team\n\n \t\n\t# indented\r\n" + ed + "\r\n  " + ecdsa + "\r\n", {ed_type, ecdsa_type}, ""},
      {"no line end after the last key", ed, {ed_type}, ""},
      {"a type alone", "# keys\n\r\n" + ed + "\n" + ed_type + "\n" + ecdsa,
       {}, "Bad key list " + list + ": line 4: not TYPE BASE64 [COMMENT]\n"},
      {"authorized_keys options", "from=\"10.0.0.1\" " + ed, {}, "Bad key list " + list + ": line 1: bad base64\n"},
      {"key cut short", ed.substr(0, 40), {}, "Bad key list " + list + ": line 1: not a public key\n"},
      {"base64 of no key", "\n" + ed_type + " AAAA\n", {}, "Bad key list " + list + ": line 2: not a public key\n"},
      {"type differs from the key's", ecdsa_as_ed, {},
       "Bad key list " + list + ": line 1: the key's own type is not the line's\n"},
      {"no key, comments only", "# nobody yet\n\n", {}, "Bad key list " + list + ": no public key in it\n"},
      // Its fingerprint would not be the one ssh-keygen -l shows.
      {"RSA exponent with a needless zero byte", ed + "\n" + padded_rsa, {}, "Bad key list " + list + not_openssh},
      {"ECDSA point compressed", ed + "\n" + compressed, {}, "Bad key list " + list + not_openssh},
  };
  const auto fingerprint = [](const std::string& pub) {
    const std::string listed = shell("ssh-keygen -lf " + pub);
    return listed.substr(listed.find(' ') + 1, 50);
  };
  const std::string ed_fingerprint = fingerprint(dir / "ed.pub"), ecdsa_fingerprint = fingerprint(dir / "ecdsa.pub");
  for (const auto& r : rows) {
    SCOPED_TRACE(r.label);
    write_file(list, r.text);
    std::vector<listed_key> keys;
    testing::internal::CaptureStderr();
    EXPECT_EQ(read_key_list(list.c_str(), &keys), r.err.empty() ? 0 : -1);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), r.err);
    ASSERT_EQ(keys.size(), r.types.size());
    for (std::size_t i = 0; i < keys.size(); ++i) {
      EXPECT_EQ(keys[i].type, r.types[i]);
      EXPECT_EQ(keys[i].fingerprint, i == 0 ? ed_fingerprint : ecdsa_fingerprint);
    }
  }
  // A directory opens but cannot be read; a list is bounded.
  std::vector<std::string> fingerprints;
  const struct {
    std::string path, err;
  } unreadable[] = {
      {dir.path(), "Cannot read key list " + dir.path() + ": Is a directory\n"},
      {dir / "big", "Cannot read key list " + dir / "big" + ": it is larger than 1 MiB\n"},
  };
  write_file(dir / "big", std::string(KEY_LIST_MAX - ed.size(), '\n') + ed + "\n");
  for (const auto& u : unreadable) {
    testing::internal::CaptureStderr();
    EXPECT_EQ(signer_fingerprints({u.path}, &fingerprints), -1);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), u.err);
  }
}

// The slot is as long as its record says, within bounds; the signed
// message reads all of it as zeros, wherever it falls among the blocks.
TEST(Signature, SlotOfItsRecordsLength) {
  const struct {
    uint32_t size;
    const char* error;  // after "Damaged package settings: "
  } rows[] = {
      {1024, nullptr},
      {2048, nullptr},
      {SIGNATURE_SLOT_MAX, nullptr},
      {1023, "the signature slot's size is out of bounds"},
      {SIGNATURE_SLOT_MAX + 1, "the signature slot's size is out of bounds"},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.size);
    package_settings settings, parsed;
    settings.is_signed = true;
    settings.signature_slot_size = r.size;
    settings.label = "L";
    std::string bytes = encode_settings(settings);
    bytes.replace(SIGNATURE_SLOT_AT, 6, "armor\n");
    testing::internal::CaptureStderr();
    EXPECT_EQ(parse_settings(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size(), &parsed),
              r.error ? -1 : 0);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              r.error ? std::string("Damaged package settings: ") + r.error + "\n" : "");
    if (r.error) continue;
    EXPECT_EQ(parsed.signature, "armor\n");
    EXPECT_EQ(parsed.signature_slot_size, r.size);
    EXPECT_EQ(parsed.signature_offset, SIGNATURE_SLOT_AT);
    EXPECT_EQ(parsed.label, "L");
  }
  for (const uint32_t size : {1024u, 2048u})
    for (const uint64_t slot : {0u, 4000u}) {
      SCOPED_TRACE(testing::Message() << size << " at " << slot);
      std::string file(9000, 'p'), message;
      file.replace(slot, size, std::string(size, '\xff'));
      message = std::string(file).replace(slot, size, std::string(size, '\0'));
      FILE* stream = tmpfile();
      fwrite(file.data(), 1, file.size(), stream);
      message_hash hash, whole;
      unsigned char got[32], want[32];
      message_hash_start(&hash, SIGNATURE_SHA256);
      ASSERT_EQ(hash_signed_prefix(stream, 8000, slot, size, &hash), 0);
      message_hash_finish(&hash, got);
      message_hash_start(&whole, SIGNATURE_SHA256);
      message_hash_update(&whole, reinterpret_cast<const unsigned char*>(message.data()), 8000);
      message_hash_finish(&whole, want);
      EXPECT_EQ(bytes(got, 32), bytes(want, 32));
      fclose(stream);
    }
}

// The builder sizes the slot for the key: every signature ssh-keygen makes
// with it fits.
TEST(Signature, SlotFitsTheKey) {
  TempDir dir;
  const std::string d = dir.path() + "/";
  write_file(d + "payload", std::string(70000, 'x'));
  const struct {
    const char* type;
    const char* bits;
    uint32_t slot;
  } keys[] = {{"ed25519", "256", 1024}, {"ecdsa", "521", 1024}, {"rsa", "4096", 2048}};
  for (const auto& k : keys) {
    SCOPED_TRACE(std::string(k.type) + " " + k.bits);
    const std::string key = d + k.type + k.bits;
    shell("ssh-keygen -q -t " + std::string(k.type) + " -b " + k.bits + " -N '' -f " + key + " && ssh-keygen -q -Y sign" +
          " -n quarnel -f " + key + " " + d + "payload 2>/dev/null");
    std::vector<listed_key> listed;
    ASSERT_EQ(read_key_list((key + ".pub").c_str(), &listed), 0);
    EXPECT_EQ(signature_slot_size(listed[0].blob), k.slot);
    EXPECT_LE(read_file(d + "payload.sig").size(), k.slot);
  }
  EXPECT_EQ(signature_slot_size(std::string(100000, 'k')), SIGNATURE_SLOT_MAX);
}

}  // namespace
