#include "harness.h"

#include <fcntl.h>
#include <grp.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

namespace e2e {
namespace {

constexpr uid_t NOBODY = 65534;
// RLIMIT_NPROC counts every process of the user, and other tests (or other
// suites on the machine) run as nobody at the same time: a limited run gets
// a user id of its own that nothing else runs as.
constexpr uid_t LIMITED_USER = 65533;

std::string temp_file(const std::string& content) {
  char name[] = "/tmp/quarnel-io-XXXXXX";
  const int fd = mkstemp(name);
  if (fd < 0) throw std::runtime_error("mkstemp failed");
  close(fd);
  write_file(name, content, 0600);
  return name;
}

// Becomes user, with the group of the same number and no other groups.
bool become(uid_t user) {
  return setgroups(0, nullptr) == 0 && setresgid(user, user, user) == 0 && setresuid(user, user, user) == 0;
}

// Whether user may start the job's program from its working directory,
// asked of the kernel by a child that has become that user.
bool runnable_by(uid_t user, const run_spec& job) {
  const pid_t child = fork();
  if (child == 0) {
    const bool can =
        become(user) && (job.cwd.empty() || chdir(job.cwd.c_str()) == 0) && access(job.program.c_str(), X_OK) == 0;
    _exit(can ? 0 : 1);
  }
  int status = 0;
  while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
  }
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

std::vector<char*> c_strings(std::vector<std::string>& strings) {
  std::vector<char*> out;
  for (auto& s : strings) out.push_back(s.data());
  out.push_back(nullptr);
  return out;
}

}  // namespace

std::vector<std::string> default_env() {
  const char* path = getenv("QUARNEL_TEST_PATH");
  return {std::string("PATH=") + (path ? path : "/usr/sbin:/usr/bin:/sbin:/bin"), "LC_ALL=C"};
}

std::string stub_path() {
  const char* stub = getenv("QUARNEL_STUB");
  return stub && *stub ? stub : QUARNEL_STUB_PATH;
}

bool stub_is_emulated() {
  const char* emulated = getenv("QUARNEL_STUB_EMULATED");
  return emulated != nullptr && std::string(emulated) == "1";
}

std::string architecture_line() {
  const std::string header = shell("readelf -h '" + stub_path() + "'");
  const auto field = [&](const std::string& name) {
    const std::size_t at = header.find(name + ":");
    const std::size_t from = header.find_first_not_of(' ', at + name.size() + 1);
    return at == std::string::npos ? std::string() : header.substr(from, header.find('\n', from) - from);
  };
  const std::string machine = field("Machine");
  const bool wide = field("Class") == "ELF64";
  const std::string name = machine == "Advanced Micro Devices X86-64" ? "x86_64"
                           : machine == "Intel 80386"                 ? "i386"
                           : machine == "AArch64"                     ? "aarch64"
                           : machine == "ARM"                         ? "arm"
                           : machine == "IBM S/390" && wide           ? "s390x"
                                                                      : "unknown " + machine;
  const bool big = field("Data").find("big endian") != std::string::npos;
  return "Architecture: " + name + (wide ? " (64-bit, " : " (32-bit, ") + (big ? "big" : "little") + "-endian)\n";
}

run_result run(const run_spec& job) {
  const uid_t user = job.max_processes >= 0 ? LIMITED_USER : NOBODY;
  // The user may be unable to reach the program where it lies (the stub of
  // a checkout in root's home, mode 0700): it starts a copy of the same
  // name from a directory that everybody can enter.
  std::string program = job.program;
  std::optional<temp_dir> copy_dir;
  if (job.unprivileged && !runnable_by(user, job)) {
    const std::filesystem::path from =
        job.cwd.empty() ? std::filesystem::path(job.program) : std::filesystem::path(job.cwd) / job.program;
    program = copy_dir.emplace() / from.filename().string();
    std::filesystem::copy_file(from, program);
  }
  const std::string out_file = temp_file(""), err_file = temp_file(""), in_file = temp_file(job.input);
  std::vector<std::string> argv_strings{job.argv0.value_or(program)};
  argv_strings.insert(argv_strings.end(), job.args.begin(), job.args.end());
  std::vector<std::string> env_strings = job.env.value_or(default_env());
  std::vector<char*> argv = c_strings(argv_strings), envp = c_strings(env_strings);
  if (job.unprivileged) {
    chown(out_file.c_str(), user, user);
    chown(err_file.c_str(), user, user);
  }

  fflush(nullptr);
  const pid_t child = fork();
  if (child == 0) {
    const int in = open(in_file.c_str(), O_RDONLY);
    const int out = open(out_file.c_str(), O_WRONLY | O_TRUNC);
    const int err = open(err_file.c_str(), O_WRONLY | O_TRUNC);
    if (in < 0 || out < 0 || err < 0 || dup2(in, 0) < 0 || dup2(out, 1) < 0 || dup2(err, 2) < 0) _exit(126);
    // The test runner may ignore SIGPIPE; the program starts with the default
    // unless the test asks otherwise.
    signal(SIGPIPE, job.ignore_sigpipe ? SIG_IGN : SIG_DFL);
    if (job.max_processes >= 0) {
      const rlimit limit{static_cast<rlim_t>(job.max_processes), static_cast<rlim_t>(job.max_processes)};
      if (setrlimit(RLIMIT_NPROC, &limit) != 0) _exit(126);
    }
    if (job.unprivileged && !become(user)) {
      perror("harness: dropping privileges");
      _exit(126);
    }
    // After dropping privileges, so that the user must be able to enter it.
    if (!job.cwd.empty() && chdir(job.cwd.c_str()) != 0) {
      perror("harness: chdir");
      _exit(126);
    }
    execve(program.c_str(), argv.data(), envp.data());
    perror("harness: execve");
    _exit(127);
  }

  run_result result;
  int wait_status = 0;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(job.timeout_seconds);
  bool signalled = false;
  for (;;) {
    const pid_t done = waitpid(child, &wait_status, WNOHANG);
    if (done == child) break;
    if (job.signal_number != 0 && !signalled && access(job.signal_when.c_str(), F_OK) == 0) {
      kill(child, job.signal_number);
      signalled = true;
    }
    if (done < 0 && errno != EINTR) throw std::runtime_error("waitpid failed");
    if (std::chrono::steady_clock::now() > deadline) {
      kill(child, SIGKILL);
      waitpid(child, &wait_status, 0);
      result.timed_out = true;
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  if (WIFSIGNALED(wait_status)) {
    result.signal = WTERMSIG(wait_status);
  } else {
    result.status = WEXITSTATUS(wait_status);
  }
  result.out = read_file(out_file);
  result.err = read_file(err_file);
  unlink(out_file.c_str());
  unlink(err_file.c_str());
  unlink(in_file.c_str());
  return result;
}

std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream content;
  content << in.rdbuf();
  return content.str();
}

void write_file(const std::string& path, const std::string& bytes, unsigned mode) {
  {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    if (!out) throw std::runtime_error("cannot write " + path);
  }
  chmod(path.c_str(), mode);
}

std::string shell(const std::string& command) {
  FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) throw std::runtime_error("popen failed");
  std::string out;
  char buffer[4096];
  std::size_t got;
  while ((got = fread(buffer, 1, sizeof buffer, pipe)) > 0) out.append(buffer, got);
  const int status = pclose(pipe);
  EXPECT_EQ(status, 0) << "command failed: " << command;
  return out;
}

std::string md5_hex(const std::string& bytes) {
  const std::string file = temp_file(bytes);
  const std::string out = shell("md5sum < " + file);
  unlink(file.c_str());
  return out.substr(0, 32);
}

std::string unhex(const std::string& hex) {
  std::string bytes;
  for (std::size_t i = 0; i + 1 < hex.size(); i += 2) bytes += static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16));
  return bytes;
}

temp_dir::temp_dir() {
  char name[] = "/tmp/quarnel-e2e-XXXXXX";
  if (mkdtemp(name) == nullptr) throw std::runtime_error("mkdtemp failed");
  path_ = name;
  chmod(name, 0777);
}

temp_dir::~temp_dir() {
  // Tests take permissions away from directories inside; give them back so
  // everything can go.
  std::error_code ignored;
  for (auto it = std::filesystem::recursive_directory_iterator(
           path_, std::filesystem::directory_options::skip_permission_denied, ignored);
       it != std::filesystem::recursive_directory_iterator(); it.increment(ignored)) {
    if (it->is_directory(ignored) && !it->is_symlink(ignored)) chmod(it->path().c_str(), 0755);
  }
  std::filesystem::remove_all(path_, ignored);
}

run_result E2eTest::run_in_dir(const std::string& program, std::vector<std::string> args, const std::string& input) {
  run_spec job;
  job.program = program.find('/') == std::string::npos ? "./" + program : program;
  job.args = std::move(args);
  job.cwd = dir.path();
  job.input = input;
  return run(job);
}

std::string E2eTest::make_tar(const std::string& tar_name,
                              const std::vector<std::pair<std::string, std::string>>& files) {
  const std::string tree = path(tar_name + ".tree");
  std::filesystem::create_directories(tree);
  for (const auto& [name, content] : files) {
    std::filesystem::create_directories(std::filesystem::path(tree + "/" + name).parent_path());
    write_file(tree + "/" + name, content, 0644);
  }
  shell("cd '" + tree + "' && tar -cf '" + path(tar_name) + "' * && cd / && rm -rf '" + tree + "'");
  return path(tar_name);
}

std::string E2eTest::make_package(const std::string& package_name, const std::string& tar_name) {
  const run_result built = run_in_dir(stub_path(), {"--create", package_name, tar_name});
  EXPECT_RUN(built, "", "", 0);
  return path(package_name);
}

std::string E2eTest::make_script_package(const std::string& package_name, const std::string& script,
                                         const std::vector<std::pair<std::string, std::string>>& extra) {
  std::vector<std::pair<std::string, std::string>> files{{"install.sh", script}};
  files.insert(files.end(), extra.begin(), extra.end());
  make_tar(package_name + ".tar", files);
  return make_package(package_name, package_name + ".tar");
}

uint64_t E2eTest::stub_size() const { return std::filesystem::file_size(stub_path()); }

}  // namespace e2e
