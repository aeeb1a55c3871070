// Signing a package with ssh-keygen, which holds (or reaches through
// ssh-agent) the vendor's private key: this program never touches it.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <vector>

#include "trust/trust.h"

extern char** environ;

namespace {

// ssh-keygen's messages are small; a failure shows the last line of them.
constexpr std::size_t STDERR_KEPT = 8192;
// The line with which ssh-keygen asks for a security key to be touched.
constexpr std::string_view TOUCH_PROMPT = "Confirm user presence";
constexpr std::size_t FEED_BLOCK_SIZE = 64 * 1024;
// What ssh-keygen is asked to hash the package with (-O hashalg=sha256,
// OpenSSH 8.9 and later): the CPU's own SHA-256 instructions make checking
// it cheap.
constexpr signature_hash SIGNED_HASH = SIGNATURE_SHA256;

// ssh-keygen reads a passphrase from /dev/tty, or from standard input when
// it cannot open /dev/tty; our standard input for it is the package. So
// with a terminal it is told to ask there (not through a graphical askpass
// either), and without one to ask only through SSH_ASKPASS: the user's, or
// /bin/false, which makes a locked key fail cleanly. A key in ssh-agent
// needs no passphrase either way.
std::vector<const char*> ssh_keygen_environment(bool terminal, std::string* askpass_entry) {
  const char* askpass = getenv("SSH_ASKPASS");
  std::vector<const char*> env;
  for (char** e = environ; *e != nullptr; ++e)
    if (std::strncmp(*e, "SSH_ASKPASS=", 12) != 0 && std::strncmp(*e, "SSH_ASKPASS_REQUIRE=", 20) != 0)
      env.push_back(*e);
  if (terminal) {
    env.push_back("SSH_ASKPASS_REQUIRE=never");
  } else {
    *askpass_entry = std::string("SSH_ASKPASS=") + (askpass != nullptr && *askpass != '\0' ? askpass : "/bin/false");
    env.push_back("SSH_ASKPASS_REQUIRE=force");
    env.push_back(askpass_entry->c_str());
  }
  env.push_back(nullptr);
  return env;
}

bool have_terminal() {
  const int tty = open("/dev/tty", O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (tty < 0) return false;
  close(tty);
  return true;
}

void close_fd(int* fd) {
  if (*fd >= 0) close(*fd);
  *fd = -1;
}

// What one run of ssh-keygen gave back.
struct keygen_run {
  std::string out;  // standard output, cut at the slot's size + 1 bytes
  std::string err;  // the end of standard error
  int wait_status = 0;
  bool read_failed = false;  // reading the package failed
  bool cut_short = false;    // ssh-keygen stopped reading before the end
  int prompt_fd = -1;        // the terminal that is shown a touch request, or -1
  unsigned char digest[MESSAGE_DIGEST_MAX] = {};  // SIGNED_HASH of what was fed
};

// Writes to prompt_fd each line of text that ends after from and asks for
// a touch; the lines stay in text too.
void show_touch_prompts(const std::string& text, std::size_t from, int prompt_fd) {
  std::size_t start = from == 0 ? 0 : text.rfind('\n', from - 1) + 1;
  for (std::size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1) {
    const std::string_view line = std::string_view(text).substr(start, end + 1 - start);
    if (!line.starts_with(TOUCH_PROMPT)) continue;
    for (std::size_t put = 0; put < line.size();) {
      const ssize_t n = write(prompt_fd, line.data() + put, line.size() - put);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) break;
      put += static_cast<std::size_t>(n);
    }
  }
}

// Appends what fd has to *text, keeping at most keep bytes (the first ones
// when keep_start, else the last), and shows the touch requests among the
// lines on prompt_fd unless it is -1. Closes fd at its end or on an error.
void drain(int* fd, std::string* text, std::size_t keep, bool keep_start, int prompt_fd = -1) {
  char block[4096];
  const ssize_t got = read(*fd, block, sizeof block);
  if (got < 0 && (errno == EINTR || errno == EAGAIN)) return;
  if (got <= 0) {
    close_fd(fd);
    return;
  }
  text->append(block, static_cast<std::size_t>(got));
  if (prompt_fd >= 0) show_touch_prompts(*text, text->size() - static_cast<std::size_t>(got), prompt_fd);
  if (text->size() > keep) {
    if (keep_start) {
      text->resize(keep);
    } else {
      text->erase(0, text->size() - keep);
    }
  }
}

// Feeds the file to ssh-keygen's standard input while collecting its two
// outputs, all through poll: ssh-keygen writes its signature only after
// reading everything, and may stop reading at any time (a write then fails
// with EPIPE, SIGPIPE being ignored here). The SIGNED_HASH of what was fed is
// computed on the way. Closes the three descriptors. Returns 0, or -1 after
// one message.
int feed_ssh_keygen(const char* key_path, int fd, std::size_t slot_size, int in, int out, int err, keygen_run* run) {
  message_hash hash;
  message_hash_start(&hash, SIGNED_HASH);
  const std::unique_ptr<unsigned char[]> block(new unsigned char[FEED_BLOCK_SIZE]);
  std::size_t pending = 0, written = 0;
  off_t offset = 0;
  fcntl(in, F_SETFL, fcntl(in, F_GETFL) | O_NONBLOCK);
  while (in >= 0 || out >= 0 || err >= 0) {
    if (in >= 0 && written == pending) {
      const ssize_t got = pread(fd, block.get(), FEED_BLOCK_SIZE, offset);
      if (got < 0 && errno == EINTR) continue;
      if (got <= 0) {
        run->read_failed = got < 0;
        close_fd(&in);
        continue;
      }
      message_hash_update(&hash, block.get(), static_cast<std::size_t>(got));
      offset += got;
      pending = static_cast<std::size_t>(got);
      written = 0;
    }
    pollfd fds[3];
    nfds_t count = 0;
    for (const int f : {in, out, err})
      if (f >= 0) fds[count++] = {f, static_cast<short>(f == in ? POLLOUT : POLLIN), 0};
    if (poll(fds, count, -1) < 0) {
      if (errno == EINTR) continue;
      fprintf(stderr, "Cannot sign with %s: poll: %s\n", key_path, strerror(errno));
      for (int* f : {&in, &out, &err}) close_fd(f);
      return -1;
    }
    for (nfds_t i = 0; i < count; ++i) {
      if (fds[i].revents == 0) continue;
      if (fds[i].fd == out) drain(&out, &run->out, slot_size + 1, true);
      if (fds[i].fd == err) drain(&err, &run->err, STDERR_KEPT, false, run->prompt_fd);
      if (fds[i].fd != in) continue;
      const ssize_t put = write(in, block.get() + written, pending - written);
      if (put >= 0) {
        written += static_cast<std::size_t>(put);
      } else if (errno != EINTR && errno != EAGAIN) {
        close_fd(&in);
        run->cut_short = true;
      }
    }
  }
  message_hash_finish(&hash, run->digest);
  return 0;
}

// Runs ssh-keygen on the file and waits for it. Returns 0 (whatever its
// exit status), or -1 after one message when it could not be run.
int run_ssh_keygen(const char* key_path, int fd, std::size_t slot_size, keygen_run* run) {
  const char* const argv[] = {"ssh-keygen", "-Y", "sign", "-n", SIGNATURE_NAMESPACE,
                              "-O", "hashalg=sha256", "-f", key_path, nullptr};
  std::string askpass;
  const std::vector<const char*> env = ssh_keygen_environment(have_terminal(), &askpass);

  int in[2] = {-1, -1}, out[2] = {-1, -1}, err[2] = {-1, -1};
  if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0) {
    fprintf(stderr, "Cannot sign with %s: pipe: %s\n", key_path, strerror(errno));
    for (int* f : {&in[0], &in[1], &out[0], &out[1], &err[0], &err[1]}) close_fd(f);
    return -1;
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, in[0], STDIN_FILENO);
  posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
  posix_spawn_file_actions_adddup2(&actions, err[1], STDERR_FILENO);
  // An ignored SIGPIPE would stay ignored in ssh-keygen.
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  sigset_t defaults;
  sigemptyset(&defaults);
  sigaddset(&defaults, SIGPIPE);
  posix_spawnattr_setsigdefault(&attributes, &defaults);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGDEF);
  pid_t child = -1;
  const int spawned = posix_spawnp(&child, "ssh-keygen", &actions, &attributes, const_cast<char* const*>(argv),
                                   const_cast<char* const*>(env.data()));
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attributes);
  for (int* f : {&in[0], &out[1], &err[1]}) close_fd(f);
  if (spawned != 0) {
    for (int* f : {&in[1], &out[0], &err[0]}) close_fd(f);
    if (spawned == ENOENT) {
      fprintf(stderr, "Cannot sign with %s: ssh-keygen not found\n", key_path);
    } else {
      fprintf(stderr, "Cannot sign with %s: cannot run ssh-keygen: %s\n", key_path, strerror(spawned));
    }
    return -1;
  }

  struct sigaction ignore {
  }, previous{};
  ignore.sa_handler = SIG_IGN;
  sigaction(SIGPIPE, &ignore, &previous);
  const int fed = feed_ssh_keygen(key_path, fd, slot_size, in[1], out[0], err[0], run);
  sigaction(SIGPIPE, &previous, nullptr);
  if (fed != 0) kill(child, SIGTERM);
  while (waitpid(child, &run->wait_status, 0) < 0) {
    if (errno != EINTR) {
      if (fed == 0) fprintf(stderr, "Cannot sign with %s: waitpid: %s\n", key_path, strerror(errno));
      return -1;
    }
  }
  return fed;
}

// Whether ssh-keygen can be found along PATH as posix_spawnp would look for
// it. Asked before spawning, since a spawn under an emulator (qemu-user)
// cannot tell a missing program from one that exited with 127.
bool ssh_keygen_on_path() {
  const char* path = getenv("PATH");
  std::string_view left = path != nullptr ? path : "/bin:/usr/bin";
  for (;;) {
    const std::size_t colon = left.find(':');
    std::string candidate = colon == 0 ? std::string(".") : std::string(left.substr(0, colon));
    candidate.append("/ssh-keygen");
    if (access(candidate.c_str(), X_OK) == 0) return true;
    if (colon == std::string_view::npos) return false;
    left.remove_prefix(colon + 1);
  }
}

// Whether the public key blob, as read_signing_key has checked it (its type
// first, as an SSH string), is a security key's (sk-ssh-ed25519@openssh.com
// or sk-ecdsa-sha2-nistp256@openssh.com).
bool is_security_key(std::string_view blob) { return blob.size() > 7 && blob.substr(4, 3) == "sk-"; }

// The last line of text with anything on it.
std::string_view last_line(std::string_view text) {
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' ')) text.remove_suffix(1);
  const std::size_t start = text.find_last_of("\r\n");
  return start == std::string_view::npos ? text : text.substr(start + 1);
}

}  // namespace

int check_signing_key(const char* key_path, std::string* public_key_blob) {
  if (read_signing_key(key_path, public_key_blob) != 0) return -1;
  if (!ssh_keygen_on_path()) {
    fprintf(stderr, "Cannot sign with %s: ssh-keygen not found\n", key_path);
    return -1;
  }
  return 0;
}

int sign_package_file(const char* key_path, int fd, std::size_t slot_size, std::string* armored) {
  std::string key;
  if (check_signing_key(key_path, &key) != 0) return -1;
  keygen_run run;
  // A security key waits for a touch, and ssh-keygen says so on its
  // standard error, which is captured: that line is shown on the
  // publisher's terminal, standard error or else /dev/tty.
  int tty = -1;
  if (is_security_key(key)) {
    if (isatty(STDERR_FILENO)) {
      run.prompt_fd = STDERR_FILENO;
    } else {
      run.prompt_fd = tty = open("/dev/tty", O_WRONLY | O_NOCTTY | O_CLOEXEC);
    }
  }
  const int ran = run_ssh_keygen(key_path, fd, slot_size, &run);
  close_fd(&tty);
  if (ran != 0) return -1;
  if (run.read_failed) {
    fputs("Read file error\n", stderr);
    return -1;
  }
  if (WIFSIGNALED(run.wait_status)) {
    fprintf(stderr, "Cannot sign with %s: ssh-keygen was killed by signal %d\n", key_path, WTERMSIG(run.wait_status));
    return -1;
  }
  if (WEXITSTATUS(run.wait_status) != 0) {
    const std::string_view line = last_line(run.err);
    if (line.empty()) {
      fprintf(stderr, "Cannot sign with %s: ssh-keygen exited with status %d\n", key_path,
              WEXITSTATUS(run.wait_status));
    } else {
      fprintf(stderr, "Cannot sign with %s: ssh-keygen: %.*s\n", key_path, static_cast<int>(line.size()), line.data());
    }
    return -1;
  }
  // Only a broken ssh-keygen would succeed without reading everything.
  if (run.cut_short) {
    fprintf(stderr, "Cannot sign with %s: ssh-keygen did not read the whole package\n", key_path);
    return -1;
  }
  if (run.out.size() > slot_size) {
    fprintf(stderr, "Cannot sign with %s: ssh-keygen's signature is longer than %zu bytes\n", key_path, slot_size);
    return -1;
  }
  ssh_signature sig;
  if (parse_ssh_signature(run.out, &sig) != 0) return -1;
  if (sig.public_key_blob != key) {
    fprintf(stderr, "Cannot sign with %s: ssh-keygen signed with another key\n", key_path);
    return -1;
  }
  if (sig.hash != SIGNED_HASH) {
    fprintf(stderr, "Cannot sign with %s: ssh-keygen hashed with another algorithm than SHA-256\n", key_path);
    return -1;
  }
  if (verify_ssh_signature(sig, run.digest) != 0) return -1;
  *armored = std::move(run.out);
  return 0;
}
