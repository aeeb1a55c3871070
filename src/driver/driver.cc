#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "build/build.h"
#include "driver/options.h"
#include "package/package.h"
#include "self/self.h"
#include "trust/key_list.h"
#include "trust/trust.h"

namespace {

// The program's own file stays open from start-up until the archive has
// been streamed; an early return leaves closing it to this holder.
struct self_file {
  FILE* stream = nullptr;
  ~self_file() {
    if (stream != nullptr) fclose(stream);
  }
};

// Waits for the script and turns its end into the exit status. An
// interrupt forwarded to the script meanwhile only makes the wait go on.
int wait_for_script(pid_t child) {
  int wait_status = 0;
  while (waitpid(child, &wait_status, 0) == -1) {
    if (errno == EINTR) continue;
    perror("waitpid");
    return -1;
  }
  if (WIFSIGNALED(wait_status)) return -1;
  return WEXITSTATUS(wait_status);
}

const char* or_null(const std::optional<std::string>& value) { return value ? value->c_str() : nullptr; }

// The settings of the program's own file, of file_size bytes, and its headers.
int read_own_settings(FILE* self, uint64_t file_size, package_settings* settings, elf_image* image) {
  if (read_elf_image(self, file_size, image) != 0) return -1;
  return read_package_settings(self, file_size, *image, settings);
}

// With --signer, only a package signed by one of the keys named passes:
// signers holds their fingerprints.
int check_signer(const std::vector<std::string>& signers, const std::string& signer) {
  if (signers.empty()) return 0;
  if (signer.empty()) {
    fputs("Package is not signed, and --signer requires a signature\n", stderr);
    return -1;
  }
  for (const std::string& wanted : signers)
    if (wanted == signer) return 0;
  fprintf(stderr, "Package is signed by %s, not by a key given with --signer\n", signer.c_str());
  return -1;
}

// The recorded signer of a package, for a display that has not checked it.
int recorded_signer(const package_settings& settings, std::string* fingerprint) {
  ssh_signature signature;
  if (parse_ssh_signature(settings.signature, &signature) != 0) return -1;
  *fingerprint = key_fingerprint(signature.public_key_blob);
  return 0;
}

// --inspect: another package's digest and signature checked, then its
// settings shown; none of its code runs. Works for a package made for any
// machine, since its headers are read in their own class and byte order.
int inspect(const installer_options& options) {
  const char* name = options.inspect->c_str();
  std::vector<std::string> signers;
  if (signer_fingerprints(options.signers, &signers) != 0) return -1;
  FILE* package = fopen(name, "r");
  if (package == nullptr) {
    fprintf(stderr, "Cannot open %s: %s\n", name, strerror(errno));
    return -1;
  }
  const self_file holder{package};
  struct stat status {};
  elf_image image;
  package_header header{};
  package_settings settings;
  std::string signer;
  if (fstat(fileno(package), &status) != 0) {
    fprintf(stderr, "Cannot stat %s: %s\n", name, strerror(errno));
    return -1;
  }
  const auto size = static_cast<uint64_t>(status.st_size);
  if (read_elf_image(package, size, &image) != 0) return -1;
  if (image.end == size) {
    // Most programs end where their image ends: only the mark tells a stub.
    if (read_stub_mark(package, size, image) == STUB_MARK_NONE)
      fprintf(stderr, "Cannot inspect %s: it is not a quarnel package\n", name);
    else
      fprintf(stderr, "Cannot inspect %s: it is a bare stub, not a package\n", name);
    return -1;
  }
  if (read_package_header(package, image.end, &header) != 0 ||
      read_package_settings(package, size, image, &settings) != 0 ||
      verify_package(package, header, image.end + PACKAGE_HEADER_SIZE, settings, true, &signer) != 0 ||
      check_signer(signers, signer) != 0)
    return -1;
  if (signer.empty()) puts("Not signed");
  if (!settings.label.empty()) printf("Label: %s\n", settings.label.c_str());
  if (!settings.license.empty()) printf("License: %zu bytes (--show-license shows it)\n", settings.license.size());
  printf("TAR size: %llu KB \n", static_cast<unsigned long long>(size_in_kb(header.archive_size)));
  printf("Stub size: %llu bytes\n", static_cast<unsigned long long>(image.end));
  printf("Architecture: %s\n", describe_architecture(image).c_str());
  return 0;
}

int build(int argc, char** argv, FILE* self, const std::string& path, uint64_t file_size) {
  installer_options options;
  if (parse_builder_options(argc, argv, &options) != 0) return -1;
  if (!options.create && !options.inspect) {
    fputs("This installer does not contain an embedded archive\n", stderr);
    return -1;
  }
  // A package's own stub carries its publisher's settings: what it built
  // would speak for that publisher.
  package_settings own;
  elf_image own_image;
  if (read_own_settings(self, file_size, &own, &own_image) != 0) return -1;
  if (own.present) {
    fprintf(stderr, "%s carries package settings and is not a builder\n", path.c_str());
    return -1;
  }
  if (options.inspect) return inspect(options);
  // The stub and every setting are checked before the package is opened,
  // so a refused one leaves an existing file as it was.
  stub_source stub{self, path, file_size};
  self_file given_stub;
  if (options.stub_file) {
    if (open_stub(options.stub_file->c_str(), &stub) != 0) return -1;
    given_stub.stream = stub.stream;
  }
  package_settings settings;
  if (load_settings(or_null(options.label), or_null(options.license_file), or_null(options.sign_key), &settings) != 0)
    return -1;
  return create_package(stub, options.installer_name.c_str(), options.tar_name.c_str(), &settings,
                        or_null(options.sign_key));
}

// path made absolute against the directory the run started from.
// Leading "./" components go; ".." stays, since it may cross a link.
std::string absolute_path(const char* start_dir, std::string path) {
  if (!path.empty() && path[0] == '/') return path;
  while (path.size() > 2 && path.compare(0, 2, "./") == 0) path.erase(0, path.find_first_not_of('/', 1));
  std::string joined = start_dir;
  if (joined.empty() || joined.back() != '/') joined += '/';
  return joined + path;
}

// An interrupt, if one came, decides the status of a run that ends now.
int interrupted_or(int status) {
  const int signal_number = interrupt_signal();
  if (signal_number == 0) return status;
  fprintf(stderr, "Interrupted by signal %d\n", signal_number);
  return 128 + signal_number;
}

// Back to the directory the run started in: the one opened then (-1: by
// its name). One that has been removed since is no way back.
int return_to_start(int start, const char* start_dir) {
  if (start < 0) return chdir(start_dir);
  struct stat status {};
  if (fstat(start, &status) != 0 || status.st_nlink == 0) return -1;
  return fchdir(start);
}

// The end of a run that got as far as entering the extraction directory:
// back to where it started, and the directory removed when this run made
// it, unless --keep. Then an interrupt, if one came, decides the status.
int leave_directory(const installer_options& options, const char* target, const char* start_dir, int start,
                    const target_state& state, int status) {
  if (options.keep) {
    // Nothing to remove.
  } else if (!state.created) {
    // One that was there before (the current directory, a home, a link)
    // holds the user's own files.
    fprintf(stderr, "Directory `%s' existed before extraction and has been kept\n", target);
  } else if (return_to_start(start, start_dir) != 0) {
    fprintf(stderr, "Cannot change directory to `%s'\n", start_dir);
    status = -1;
  } else if (remove_directory(target, state.fd) != 0 && status == 0) {
    status = -1;
  }
  return interrupted_or(status);
}

int install(int argc, char** argv, self_file& self, int64_t image_end, uint64_t file_size, const std::string& path,
            const std::string& name) {
  installer_options options;
  if (parse_installer_options(argc, argv, &options) != 0) return -1;
  // An empty --target stays empty and fails when the directory is made.
  if (!options.target_dir) options.target_dir = name + ".dir";
  const char* target = options.target_dir->c_str();

  package_header header{};
  if (read_package_header(self.stream, static_cast<uint64_t>(image_end), &header) != 0) return -1;
  package_settings settings;
  elf_image image;
  if (read_own_settings(self.stream, file_size, &settings, &image) != 0) return -1;

  if (options.info) {
    printf("TAR size: %llu KB \n", static_cast<unsigned long long>(size_in_kb(header.archive_size)));
    printf("Target directory: %s \n", target);
    puts("Script to run after the extraction: ./install.sh");
    printf("directory %s is permanent\n", target);
    if (!settings.label.empty()) printf("Label: %s\n", settings.label.c_str());
    if (!settings.license.empty()) puts("License: present (--show-license shows it)");
    std::string fingerprint;
    if (settings.is_signed) {
      if (recorded_signer(settings, &fingerprint) != 0) return -1;
      printf("Signer: %s (not checked; --check checks it)\n", fingerprint.c_str());
    }
    printf("Architecture: %s\n", describe_architecture(image).c_str());
    return 0;
  }
  if (options.show_license) {
    if (settings.license.empty())
      puts("This package has no license");
    else
      print_license(stdout, settings.license);
    return 0;
  }

  // Under --quiet the program's own lines stay out of standard output;
  // questions, the script and every error are unchanged.
  const bool talk = !options.quiet;
  // Key lists are read before anything is shown or the archive is read.
  std::vector<std::string> signers;
  if (signer_fingerprints(options.signers, &signers) != 0) return -1;
  if (talk && !settings.label.empty()) printf("%s\n", settings.label.c_str());
  const uint64_t archive_offset = static_cast<uint64_t>(image_end) + PACKAGE_HEADER_SIZE;
  std::string signer;
  if (verify_package(self.stream, header, archive_offset, settings, talk, &signer) != 0 ||
      check_signer(signers, signer) != 0)
    return -1;
  if (options.check) return 0;

  // Accepted before anything lands on disk or reaches a command of the
  // user's; a listing needs no acceptance.
  if (!settings.license.empty() && !options.accept && options.tar_action != TAR_LIST &&
      ask_license(stdin, stdout, settings.license) != 0) {
    fputs("License not accepted\n", stderr);
    return LICENSE_DECLINED_STATUS;
  }

  // Left in the buffer: with output to a file or pipe, tar's own output
  // comes first.
  if (talk && options.tar_action == TAR_CUSTOM) printf("Run: %s\n", options.tar_command.c_str());

  char start_dir[PATH_BUFFER_SIZE];
  if (getcwd(start_dir, sizeof start_dir) == nullptr) {
    perror("Cannot get current working directory");
    return -1;
  }
  // The way back, held open: the name may lead elsewhere by the end.
#if defined(O_PATH)
  const int start = open(".", O_PATH | O_DIRECTORY | O_CLOEXEC);
#else
  const int start = open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
#endif
  // Before anything is asked or made: a disk that cannot hold the archive
  // is better told now than when tar has filled it.
  uint64_t unpacked = 0;
  if (options.tar_action == TAR_EXTRACT && !options.skip_space_check &&
      unpacked_size(fileno(self.stream), archive_offset, &unpacked) == 1 &&
      check_space(target, start_dir, unpacked) != 0)
    return -1;
  if (options.confirm && ask_extract(header.archive_size, target) != 0) return 0;

  target_state state;
  if (pipe_archive_to_tar(self.stream, archive_offset, options.tar_action, options.tar_command.c_str(), target,
                          &state, options.quiet) != 0) {
    // A failed extraction leaves nothing of its own behind; a failure to
    // make or enter the directory has nothing to undo.
    if (state.entered) return leave_directory(options, target, start_dir, start, state, -1);
    return interrupted_or(-1);
  }
  const int closed = fclose(self.stream);
  self.stream = nullptr;
  if (closed != 0) {
    perror("ELF file close error");
    return -1;
  }
  if (options.tar_action != TAR_EXTRACT) return 0;
  if (options.noexec && interrupt_signal() == 0) return 0;

  int status = 0;
  if (!options.noexec && interrupt_signal() == 0 && (!options.confirm || ask_run_script(options.script_args) == 0) &&
      interrupt_signal() == 0) {
    // The script learns where the run started, which package it came
    // from and where it runs, all as absolute paths.
    const std::vector<std::string> context{
        std::string("QUARNEL_START_DIR=") + start_dir,
        "QUARNEL_PACKAGE=" + absolute_path(start_dir, path),
        "QUARNEL_TARGET_DIR=" + absolute_path(start_dir, target),
    };
    const pid_t child = start_script(options.script_args, context);
    if (child < 1) {
      status = -1;
    } else {
      forward_interrupts_to(child);
      status = wait_for_script(child);
      forward_interrupts_to(0);
    }
  }
  return leave_directory(options, target, start_dir, start, state, status);
}

}  // namespace

int run_program(int argc, char** argv) {
  const auto path = find_program_path(argv[0]);
  if (!path) return -1;
  const auto name = get_program_name(argv[0]);
  if (!name) return -1;

  self_file self;
  self.stream = fopen(path->c_str(), "r");
  if (self.stream == nullptr) {
    fprintf(stderr, "Cannot open %s: %s\n", path->c_str(), strerror(errno));
    return -1;
  }
  const int64_t image_end = get_image_end(self.stream);
  if (image_end < 0) return -1;
  // The size of the file just opened: a stat of the path could describe
  // another file put there since.
  struct stat status {};
  if (fstat(fileno(self.stream), &status) != 0) {
    fprintf(stderr, "Cannot stat %s: %s\n", path->c_str(), strerror(errno));
    return -1;
  }
  // A bare stub ends where its image ends; anything else carries a package,
  // a file cut short inside its own image included.
  const auto file_size = static_cast<uint64_t>(status.st_size);
  if (status.st_size == image_end) return build(argc, argv, self.stream, *path, file_size);
  return install(argc, argv, self, image_end, file_size, *path, *name);
}
