// Package signatures: forged and damaged signatures, the signed archive's
// two digests on one thread and on two, and signing through the real
// ssh-keygen and ssh-agent (fake ssh-keygens for its failures).
#include <fcntl.h>
#include <nettle/base64.h>
#include <nettle/eddsa.h>
#include <nettle/sha2.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>

#include "trust/trust.h"
#include "support.h"

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

std::string sha256(std::string_view data) {
  unsigned char digest[SHA256_DIGEST_SIZE];
  sha256_ctx ctx;
  sha256_init(&ctx);
  sha256_update(&ctx, data.size(), data_of(data));
  sha256_digest(&ctx, sizeof digest, digest);
  return bytes(digest, sizeof digest);
}

std::string sha512(std::string_view data) {
  unsigned char digest[SHA512_DIGEST_SIZE];
  sha512_ctx ctx;
  sha512_init(&ctx);
  sha512_update(&ctx, data.size(), data_of(data));
  sha512_digest(&ctx, sizeof digest, digest);
  return bytes(digest, sizeof digest);
}

std::string armor(const std::string& blob) {
  const std::string b64 = base64(blob);
  std::string lines;
  for (std::size_t i = 0; i < b64.size(); i += 70) lines += b64.substr(i, 70) + "\n";
  return "-----BEGIN SSH SIGNATURE-----\n" + lines + "-----END SSH SIGNATURE-----\n";
}

// The fields of a signature blob, signed as OpenSSH does with a fixed key
// over the message hashed as hash names (an unknown name: with SHA-512); a
// security key's signature covers the application's and the data's hashes
// around its flags and counter.
struct forged {
  std::string magic = "SSHSIG", version = std::string("\0\0\0\1", 4), key_type = "ssh-ed25519";
  std::string name_space = "quarnel", reserved = "", hash = "sha512", application = "ssh:", trailing = "";
  unsigned char flags = 1;
  uint32_t counter = 7, signed_counter = 7;
  std::size_t key_bytes = 32, sig_bytes = 64;

  std::string blob(std::string_view message) const {
    unsigned char pk[32], sig[64], seed[32] = {42};
    ed25519_sha512_public_key(pk, seed);
    const bool security_key = key_type.starts_with("sk-");
    const std::string digest = hash == "sha256" ? sha256(message) : sha512(message);
    std::string data = "SSHSIG" + str(name_space) + str(reserved) + str(hash) + str(digest);
    if (security_key) data = sha256(application) + static_cast<char>(flags) + be32(signed_counter) + sha256(data);
    ed25519_sha512_sign(pk, seed, data.size(), data_of(data), sig);
    std::string key = str(key_type) + str(bytes(pk, key_bytes)), signature = str(key_type) + str(bytes(sig, sig_bytes));
    if (security_key) {
      key += str(application);
      signature += static_cast<char>(flags) + be32(counter);
    }
    return magic + version + str(key) + str(name_space) + str(reserved) + str(hash) + str(signature) + trailing;
  }
};

const std::string SK = "sk-ssh-ed25519@openssh.com";

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
      {"RSA key", armor(forged{.key_type = "ssh-rsa"}.blob(message)), "unsupported key type (Ed25519 only)"},
      {"short key", armor(forged{.key_bytes = 31}.blob(message)), "malformed public key"},
      {"short signature", armor(forged{.sig_bytes = 63}.blob(message)), "malformed signature"},
      {"security key, no user presence", armor(forged{.key_type = SK, .flags = 4}.blob(message)),
       "user presence not confirmed"},
      {"security key, counter changed", armor(forged{.key_type = SK, .counter = 8}.blob(message)),
       "verification failed"},
      {"another message", armor(forged().blob(other)), "verification failed"},
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
  const struct {
    const char* label;
    std::string text, blob;  // blob "" when refused as not a key file
  } rows[] = {
      {"security key", "sk-ssh-ed25519@openssh.com " + base64(sk) + " comment\n", sk},
      {"type differs from the blob's", "sk-ssh-ed25519@openssh.com " + base64(ed) + "\n", ""},
      {"key cut short", "ssh-ed25519 " + base64(ed.substr(0, 40)), ""},
      {"bad base64", "ssh-ed25519 " + base64(ed).replace(5, 1, "*"), ""},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.label);
    write_file(dir / "key", r.text);
    std::string blob;
    testing::internal::CaptureStderr();
    EXPECT_EQ(read_signing_key((dir / "key").c_str(), &blob), r.blob.empty() ? -1 : 0);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              r.blob.empty() ? "Cannot sign with " + dir / "key" + ": not an OpenSSH key file\n" : "");
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
signed_result sign_detached(const TempDir& dir, const std::string& key, const std::string& file,
                            const std::vector<std::string>& env) {
  const pid_t child = fork();
  if (child == 0) {
    setsid();
    for (const char* name : {"SSH_AUTH_SOCK", "SSH_ASKPASS", "SSH_ASKPASS_REQUIRE", "DISPLAY", "WAYLAND_DISPLAY"})
      unsetenv(name);
    for (const std::string& entry : env) putenv(strdup(entry.c_str()));
    freopen((dir / "err").c_str(), "w", stderr);
    std::string armored;
    const int fd = open(file.c_str(), O_RDONLY);
    const int status = sign_package_file(key.c_str(), fd, &armored);
    write_file(dir / "armored", armored);
    fflush(stderr);
    _exit(status == 0 ? 0 : 1);
  }
  int wait_status = 0;
  waitpid(child, &wait_status, 0);
  return {WIFEXITED(wait_status) ? WEXITSTATUS(wait_status) : -1, read_file(dir / "armored"), read_file(dir / "err")};
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
        " && ssh-keygen -q -t ecdsa -N '' -f ecdsa && ssh-keygen -q -t rsa -b 1024 -m PEM -N '' -f pem" +
        " && cp plain.pub lone.pub && mkdir fake && printf '#!/bin/sh\\necho secret\\n' >askpass && chmod +x askpass");
  const pid_t agent = start_agent(d + "agent.sock");
  shell("SSH_AUTH_SOCK=" + d + "agent.sock ssh-add -q " + d + "agent 2>&1 && rm " + d + "agent");
  const auto fake = [&](const char* name, const std::string& body) {
    write_file(d + "fake/" + name + "/ssh-keygen", "#!/bin/sh\n" + body + "\n", 0755);
    return "PATH=" + d + "fake/" + name + ":/usr/bin:/bin";
  };
  for (const char* name : {"quiet", "talks", "dies", "long", "other", "lazy"})
    mkdir((d + "fake/" + name).c_str(), 0755);
  const std::string other_signature = armor(forged().blob(""));
  const struct {
    const char* label;
    std::string key;
    std::vector<std::string> env;
    std::string err;  // "" when it signs
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
      {"RSA key", d + "rsa", {}, "Cannot sign with " + d + "rsa: ssh-rsa keys are not supported (Ed25519 only)\n"},
      {"ECDSA public key",
       d + "ecdsa.pub",
       {},
       "Cannot sign with " + d + "ecdsa.pub: ecdsa-sha2-nistp256 keys are not supported (Ed25519 only)\n"},
      {"PEM key", d + "pem", {}, "Cannot sign with " + d + "pem: PEM keys are not supported (Ed25519 only)\n"},
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
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.label);
    const signed_result got = sign_detached(dir, r.key, d + "package", r.env);
    EXPECT_EQ(got.err, r.err);
    EXPECT_EQ(got.status, r.err.empty() ? 0 : 1);
    if (!r.err.empty()) continue;
    std::string fingerprint;
    EXPECT_EQ(check_package_signature(got.armored, package, &fingerprint), 0);
    ssh_signature sig;
    ASSERT_EQ(parse_ssh_signature(got.armored, &sig), 0);
    EXPECT_EQ(sig.hash, SIGNATURE_SHA256);
    const std::string listed = shell("ssh-keygen -lf " + r.key.substr(0, r.key.find(".pub")) + ".pub");
    const std::size_t field = listed.find(' ') + 1;
    EXPECT_EQ(fingerprint, listed.substr(field, listed.find(' ', field) - field));
  }
  kill(agent, SIGTERM);
  waitpid(agent, nullptr, 0);
}

}  // namespace
