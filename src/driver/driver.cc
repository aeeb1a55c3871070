#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "driver/options.h"
#include "package/package.h"
#include "self/self.h"

namespace {

// The program's own file stays open from start-up until the archive has
// been streamed; an early return leaves closing it to this holder.
struct self_file {
  FILE* stream = nullptr;
  ~self_file() {
    if (stream != nullptr) fclose(stream);
  }
};

// The stream's buffer; static, so that it outlives the stream.
char self_buffer[STREAM_BUFFER_SIZE];

// Waits for the script and turns its end into the exit status.
int wait_for_script(pid_t child) {
  int wait_status = 0;
  if (waitpid(child, &wait_status, 0) == -1) {
    perror("waitpid");
    return -1;
  }
  if (WIFSIGNALED(wait_status)) return -1;
  return WEXITSTATUS(wait_status);
}

int build(int argc, char** argv, FILE* self, const std::string& path) {
  installer_options options;
  if (parse_builder_options(argc, argv, &options) != 0) return -1;
  if (!options.create) {
    fputs("This installer does not contain an embedded archive\n", stderr);
    return -1;
  }
  return create_package(self, path.c_str(), options.installer_name.c_str(), options.tar_name.c_str());
}

int install(int argc, char** argv, self_file& self, int64_t image_end, const std::string& name) {
  installer_options options;
  if (parse_installer_options(argc, argv, &options) != 0) return -1;
  // An empty --target stays empty and fails when the directory is made.
  if (!options.target_dir) options.target_dir = name + ".dir";
  const char* target = options.target_dir->c_str();

  package_header header{};
  if (read_package_header(self.stream, static_cast<uint64_t>(image_end), &header) != 0) return -1;

  if (options.info) {
    printf("TAR size: %llu KB \n", static_cast<unsigned long long>(size_in_kb(header.archive_size)));
    printf("Target directory: %s \n", target);
    puts("Script to run after the extraction: ./install.sh");
    printf("directory %s is permanent\n", target);
    return 0;
  }

  const uint64_t archive_offset = static_cast<uint64_t>(image_end) + PACKAGE_HEADER_SIZE;
  fputs("Verifying archive integrity... ", stdout);
  fflush(stdout);
  if (verify_archive(self.stream, archive_offset, header.digest) != 0) {
    puts("Failed.");
    return -1;
  }
  puts("Succeed.");
  fflush(stdout);
  if (options.check) return 0;

  // Left in the buffer: with output to a file or pipe, tar's own output
  // comes first.
  if (options.tar_action == TAR_CUSTOM) printf("Run: %s\n", options.tar_command.c_str());

  char start_dir[PATH_BUFFER_SIZE];
  if (getcwd(start_dir, sizeof start_dir) == nullptr) {
    perror("Cannot get current working directory");
    return -1;
  }
  if (options.confirm && ask_extract(header.archive_size, target) != 0) return 0;

  bool created = false;
  if (pipe_archive_to_tar(self.stream, archive_offset, options.tar_action, options.tar_command.c_str(), target,
                          &created) != 0)
    return -1;
  const int closed = fclose(self.stream);
  self.stream = nullptr;
  if (closed != 0) {
    perror("ELF file close error");
    return -1;
  }
  if (options.tar_action != TAR_EXTRACT || options.noexec) return 0;

  int status = 0;
  if (!options.confirm || ask_run_script(options.script_args) == 0) {
    const pid_t child = start_script(options.script_args);
    status = child < 1 ? -1 : wait_for_script(child);
  }

  if (options.keep) return status;
  // Only a directory this run made is removed: one that was there before
  // (the current directory, a home, a link) holds the user's own files.
  if (!created) {
    fprintf(stderr, "Directory `%s' existed before extraction and has been kept\n", target);
    return status;
  }
  if (chdir(start_dir) != 0) {
    fprintf(stderr, "Cannot change directory to `%s'\n", start_dir);
    return -1;
  }
  if (remove_directory(target) != 0 && status == 0) status = -1;
  return status;
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
  // The archive is read through this stream twice; without a buffer of
  // our own every 4 KiB block would be a read system call.
  setvbuf(self.stream, self_buffer, _IOFBF, sizeof self_buffer);
  const int64_t image_end = get_image_end(self.stream);
  if (image_end < 0) return -1;
  struct stat status {};
  if (stat(path->c_str(), &status) != 0) {
    fprintf(stderr, "Cannot stat %s: %s\n", path->c_str(), strerror(errno));
    return -1;
  }
  // A bare stub ends where its image ends; anything else carries a package,
  // a file cut short inside its own image included.
  if (status.st_size == image_end) return build(argc, argv, self.stream, *path);
  return install(argc, argv, self, image_end, *name);
}
