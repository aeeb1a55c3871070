#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "extract/extract.h"
#include "package/package.h"

namespace {

// The pipe's buffer, which outlives the pipe.
char pipe_buffer[STREAM_BUFFER_SIZE];

// Enters the extraction directory, creating it when missing.
int enter_directory(const char* target_dir, bool* created) {
  if (mkdir(target_dir, 0755) == 0) {
    *created = true;
  } else if (errno != EEXIST) {
    fprintf(stderr, "Cannot mkdir %s: %s\n", target_dir, strerror(errno));
    return -1;
  }
  if (chdir(target_dir) != 0) {
    fprintf(stderr, "Cannot chdir to %s: %s\n", target_dir, strerror(errno));
    return -1;
  }
  return 0;
}

// Copies the archive into the pipe. Returns 0, or -1 after one message;
// the caller still closes the pipe.
int copy_archive(FILE* package, uint64_t archive_offset, FILE* pipe) {
  // Positioning also clears the end-of-file indicator that the integrity
  // check left on the same stream.
  if (seek_package(package, archive_offset) != 0) {
    perror("Seek to tar error");
    return -1;
  }
  return copy_blocks(package, pipe, "Write to tar pipe error\n");
}

}  // namespace

int pipe_archive_to_tar(FILE* package, uint64_t archive_offset, int action, const char* tar_command,
                        const char* target_dir, bool* created) {
  *created = false;
  FILE* pipe = nullptr;
  switch (action) {
    case TAR_EXTRACT:
      if (enter_directory(target_dir, created) != 0) return -1;
      pipe = popen("tar -xf -", "w");
      // Announced before the pipe is tested, so it shows even when the
      // pipe cannot be opened.
      printf("Uncompressing in %s...\n", target_dir);
      break;
    case TAR_LIST:
      pipe = popen("tar -tvf -", "w");
      break;
    case TAR_CUSTOM:
      pipe = popen(tar_command, "w");
      break;
    default:
      fputs("Unknown tar action\n", stderr);
      return -1;
  }
  if (pipe == nullptr) {
    perror("Open tar pipe error");
    return -1;
  }
  // Fewer, larger writes: tar is woken once per buffer, not per block.
  setvbuf(pipe, pipe_buffer, _IOFBF, sizeof pipe_buffer);
  if (copy_archive(package, archive_offset, pipe) != 0) {
    pclose(pipe);
    return -1;
  }
  // A tar that failed leaves no error number of its own behind.
  errno = 0;
  if (pclose(pipe) != 0) {
    perror("Close tar pipe error");
    return -1;
  }
  if (action == TAR_EXTRACT && getuid() == 0 && system("chown -R 0:0 .") != 0) {
    fputs("chown error\n", stderr);
    return -1;
  }
  return 0;
}
