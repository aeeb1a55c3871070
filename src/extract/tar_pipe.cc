#include <signal.h>
#include <stdio_ext.h>
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

// Both ends of decoding into tar.
struct decode_ends {
  FILE* package;
  FILE* pipe;
  bool tar_gone;  // tar has stopped reading
};

long read_package(void* context, unsigned char* buffer, std::size_t size) {
  FILE* package = static_cast<decode_ends*>(context)->package;
  const std::size_t got = fread(buffer, 1, size, package);
  if (got < size && ferror(package)) {
    fputs("Read tar error\n", stderr);
    return -1;
  }
  return static_cast<long>(got);
}

int write_to_tar(void* context, const unsigned char* data, std::size_t size) {
  decode_ends* ends = static_cast<decode_ends*>(context);
  if (ends->tar_gone || fwrite(data, 1, size, ends->pipe) == size) return 0;
  if (errno != EPIPE) {
    fputs("Write to tar pipe error\n", stderr);
    return -1;
  }
  // The rest is still decoded (and dropped), so that damage further on is
  // reported whatever tar made of the part it read.
  __fpurge(ends->pipe);
  ends->tar_gone = true;
  return 0;
}

// Decodes the archive, from the package's current position, into the pipe.
// Returns 0, or -1 after one message.
int decode_into_pipe(FILE* package, archive_format format, FILE* pipe) {
  // Until writes into a pipe whose reader has left fail with EPIPE for the
  // whole program, SIGPIPE is ignored while this writes.
  struct sigaction ignore {};
  struct sigaction previous {};
  ignore.sa_handler = SIG_IGN;
  sigaction(SIGPIPE, &ignore, &previous);
  decode_ends ends{package, pipe, false};
  const decode_io io{&ends, read_package, write_to_tar};
  int result = decode_archive(format, io);
  if (result == 0 && !ends.tar_gone && fflush(pipe) != 0 && errno != EPIPE) {
    fputs("Write to tar pipe error\n", stderr);
    result = -1;
  }
  // Whatever is still buffered stays unsent: tar has left, or its stream is
  // broken anyway; closing the pipe then only waits for tar.
  __fpurge(pipe);
  sigaction(SIGPIPE, &previous, nullptr);
  return result;
}

// Sends the archive into the pipe: a plain one byte for byte, a compressed
// one decoded. Returns 0, or -1 after one message.
int send_archive(FILE* package, uint64_t archive_offset, FILE* pipe) {
  unsigned char head[FORMAT_PROBE_SIZE];
  if (seek_package(package, archive_offset) != 0) {
    perror("Seek to tar error");
    return -1;
  }
  const std::size_t got = fread(head, 1, sizeof head, package);
  if (got < sizeof head && ferror(package)) {
    fputs("Read tar error\n", stderr);
    return -1;
  }
  const archive_format format = detect_format(head, got);
  if (format == FORMAT_PLAIN) return copy_archive(package, archive_offset, pipe);
  if (seek_package(package, archive_offset) != 0) {
    perror("Seek to tar error");
    return -1;
  }
  return decode_into_pipe(package, format, pipe);
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
  if (send_archive(package, archive_offset, pipe) != 0) {
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
