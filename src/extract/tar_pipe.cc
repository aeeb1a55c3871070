#if defined(__linux__)
#include <fcntl.h>
#endif
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <limits>

#include "extract/extract.h"
#include "package/package.h"

namespace {

// The pipe into tar is widened to this where the host allows it (Linux,
// and within the user's pipe quota). Each time tar empties the pipe or the
// writer fills it, one side sleeps and the other is woken; the default
// 64 KiB pipe made that happen half as often again (100,000 against 65,000
// sleeps per GiB) and installing 5 to 15% slower on a busy machine. 1 MiB
// is the largest size an ordinary user may ask for by default.
constexpr int PIPE_SIZE = 1024 * 1024;

// Bytes asked of splice per call: a whole widened pipe. Splice moves what
// fits and costs no memory of ours, so asking for more only saves calls.
constexpr std::size_t SPLICE_CHUNK = PIPE_SIZE;

// Bytes per pread and write of the portable loop. 1 MiB blocks measured
// no faster and would only raise the program's peak memory.
constexpr std::size_t PORTABLE_CHUNK = 128 * 1024;
alignas(4096) unsigned char pipe_block[PORTABLE_CHUNK];

// Read and write, not splice: with the pipe widened, the two measured alike
// on the disk and the plain loop slightly faster in a tmpfs. Splice leaves
// the pipe full, so every record tar takes out wakes the writer to top it
// up; the loop spends that time reading its next block instead, and both
// sides sleep less. Builds made with QUARNEL_SPLICE_COPY (the sanitizer
// build) splice, so both paths stay tested.
#if defined(QUARNEL_SPLICE_COPY)
constexpr copy_method COPY_METHOD = COPY_SPLICE;
#else
constexpr copy_method COPY_METHOD = COPY_PORTABLE;
#endif

// Enters the extraction directory, creating it when missing.
int enter_directory(const char* target_dir, target_state* target) {
  if (mkdir(target_dir, 0755) == 0) {
    target->created = true;
  } else if (errno != EEXIST) {
    fprintf(stderr, "Cannot mkdir %s: %s\n", target_dir, strerror(errno));
    return -1;
  }
  if (chdir(target_dir) != 0) {
    fprintf(stderr, "Cannot chdir to %s: %s\n", target_dir, strerror(errno));
    return -1;
  }
  target->entered = true;
  return 0;
}

// Runs command through the shell and waits for it, as system() would, but
// without ignoring SIGINT meanwhile: an interrupt during the run must
// still reach this program's handler. Returns the wait status, or -1.
int run_shell_command(const char* command) {
  fflush(nullptr);
  const pid_t child = fork();
  if (child == -1) return -1;
  if (child == 0) {
    execl("/bin/sh", "sh", "-c", command, static_cast<char*>(nullptr));
    _exit(127);
  }
  int wait_status = 0;
  while (waitpid(child, &wait_status, 0) == -1) {
    if (errno != EINTR) return -1;
  }
  return wait_status;
}

// Writes all of data, or says why not.
copy_result write_all(int out, const unsigned char* data, std::size_t size) {
  while (size > 0) {
    if (interrupt_signal() != 0) return COPY_INTERRUPTED;
    const ssize_t put = write(out, data, size);
    if (put < 0) {
      if (errno == EINTR) continue;
      return errno == EPIPE ? COPY_READER_GONE : COPY_WRITE_ERROR;
    }
    data += put;
    size -= static_cast<std::size_t>(put);
  }
  return COPY_DONE;
}

copy_result copy_portable(int in, off_t offset, int out, progress_meter* meter) {
  for (;;) {
    if (interrupt_signal() != 0) return COPY_INTERRUPTED;
    const ssize_t got = pread(in, pipe_block, sizeof pipe_block, offset);
    if (got == 0) return COPY_DONE;
    if (got < 0) {
      if (errno == EINTR) continue;
      return COPY_READ_ERROR;
    }
    const copy_result put = write_all(out, pipe_block, static_cast<std::size_t>(got));
    if (put != COPY_DONE) return put;
    offset += got;
    progress_advance(meter, static_cast<uint64_t>(got));
  }
}

#if defined(__linux__)
// Moves the file into the pipe inside the kernel. Any failure other than
// the reader leaving or an interrupt hands the rest to the portable loop,
// which also tells a read error from a write error; so does a kernel or a
// file system that refuses splice (EINVAL, ENOSYS).
copy_result copy_spliced(int in, off_t offset, int out, progress_meter* meter) {
  for (;;) {
    if (interrupt_signal() != 0) return COPY_INTERRUPTED;
    loff_t from = offset;
    const ssize_t moved = splice(in, &from, out, nullptr, SPLICE_CHUNK, SPLICE_F_MOVE | SPLICE_F_MORE);
    if (moved == 0) return COPY_DONE;
    if (moved < 0) {
      if (errno == EINTR) continue;
      if (errno == EPIPE) return COPY_READER_GONE;
      return copy_portable(in, offset, out, meter);
    }
    offset += moved;
    progress_advance(meter, static_cast<uint64_t>(moved));
  }
}
#endif

// Asks for a wider pipe. A refusal (an older kernel, the user's pipe
// quota spent, a host without F_SETPIPE_SZ) keeps the pipe as it is: it
// works the same, only with more wake-ups.
void widen_pipe(int pipe_fd) {
#if defined(F_SETPIPE_SZ)
  const int saved = errno;
  (void)fcntl(pipe_fd, F_SETPIPE_SZ, PIPE_SIZE);
  errno = saved;
#else
  (void)pipe_fd;
#endif
}

// Both ends of decoding a compressed archive into tar.
struct decode_ends {
  int package;
  off_t offset;  // of the next compressed byte to read
  int pipe;
  progress_meter* meter;
  bool tar_gone;  // tar has stopped reading; the rest is dropped
};

long read_compressed(void* context, unsigned char* buffer, std::size_t size) {
  decode_ends* ends = static_cast<decode_ends*>(context);
  for (;;) {
    if (interrupt_signal() != 0) return -1;
    const ssize_t got = pread(ends->package, buffer, size, ends->offset);
    if (got >= 0) {
      ends->offset += got;
      progress_advance(ends->meter, static_cast<uint64_t>(got));
      return static_cast<long>(got);
    }
    if (errno != EINTR) {
      fputs("Read tar error\n", stderr);
      return -1;
    }
  }
}

int write_decoded(void* context, const unsigned char* data, std::size_t size) {
  decode_ends* ends = static_cast<decode_ends*>(context);
  if (ends->tar_gone) return interrupt_signal() != 0 ? -1 : 0;
  switch (write_all(ends->pipe, data, size)) {
    case COPY_DONE:
      return 0;
    case COPY_READER_GONE:
      // Decoding goes on to the end, so that damage further on is still
      // reported whatever tar made of the part it read.
      ends->tar_gone = true;
      return 0;
    case COPY_INTERRUPTED:
      return -1;
    default:
      fputs("Write to tar pipe error\n", stderr);
      return -1;
  }
}

// Sends the archive into the pipe: a plain one byte for byte, a compressed
// one decoded on the way. Returns 0, or -1 after one message (or silently
// when interrupted).
int send_archive(int package, uint64_t archive_offset, int pipe, progress_meter* meter) {
  unsigned char head[FORMAT_PROBE_SIZE];
  ssize_t got;
  do {
    got = pread(package, head, sizeof head, static_cast<off_t>(archive_offset));
  } while (got < 0 && errno == EINTR && interrupt_signal() == 0);
  if (got < 0) {
    if (interrupt_signal() != 0) return -1;
    fputs("Read tar error\n", stderr);
    return -1;
  }
  const archive_format format = detect_format(head, static_cast<std::size_t>(got));
  if (format != FORMAT_PLAIN) {
    decode_ends ends{package, static_cast<off_t>(archive_offset), pipe, meter, false};
    return decode_archive(format, decode_io{&ends, read_compressed, write_decoded});
  }
  const copy_result copied = copy_to_pipe(package, archive_offset, pipe, COPY_METHOD, meter);
  if (copied == COPY_READ_ERROR) fputs("Read tar error\n", stderr);
  if (copied == COPY_WRITE_ERROR) fputs("Write to tar pipe error\n", stderr);
  return copied == COPY_READ_ERROR || copied == COPY_WRITE_ERROR || copied == COPY_INTERRUPTED ? -1 : 0;
}

}  // namespace

copy_result copy_to_pipe(int in, uint64_t offset, int out, copy_method method, progress_meter* meter) {
  if (offset > static_cast<uint64_t>(std::numeric_limits<off_t>::max())) {
    errno = EINVAL;
    return COPY_READ_ERROR;
  }
#if defined(__linux__)
  if (method == COPY_SPLICE) return copy_spliced(in, static_cast<off_t>(offset), out, meter);
#else
  (void)method;
#endif
  return copy_portable(in, static_cast<off_t>(offset), out, meter);
}

int pipe_archive_to_tar(FILE* package, uint64_t archive_offset, int action, const char* tar_command,
                        const char* target_dir, target_state* target, bool quiet) {
  *target = target_state{};
  const char* command = nullptr;
  switch (action) {
    case TAR_EXTRACT:
      command = "tar -xf -";
      break;
    case TAR_LIST:
      command = "tar -tvf -";
      break;
    case TAR_CUSTOM:
      command = tar_command;
      break;
    default:
      fputs("Unknown tar action\n", stderr);
      return -1;
  }
  if (action == TAR_EXTRACT) {
    // From the moment the directory may exist, an interrupt must not leave
    // it behind half filled.
    catch_interrupts();
    if (enter_directory(target_dir, target) != 0) return -1;
  }
  catch_broken_pipe();
  FILE* pipe = popen(command, "w");
  progress_meter meter;
  if (action == TAR_EXTRACT && !quiet) {
    // Announced before the pipe is tested, so it shows even when the pipe
    // cannot be opened. On a terminal the share streamed follows the "...".
    printf("Uncompressing in %s...", target_dir);
    if (pipe != nullptr) progress_start(&meter, stdout, archive_length(package, archive_offset));
    if (meter.out == nullptr) putchar('\n');
  }
  if (pipe == nullptr) {
    perror("Open tar pipe error");
    return -1;
  }
  if (archive_offset > static_cast<uint64_t>(std::numeric_limits<off_t>::max())) {
    errno = EINVAL;
    perror("Seek to tar error");
    pclose(pipe);
    return -1;
  }
  widen_pipe(fileno(pipe));
  const int sent = send_archive(fileno(package), archive_offset, fileno(pipe), &meter);
  if (meter.out != nullptr) {
    progress_end(&meter);
    putchar('\n');
    fflush(stdout);
  }
  if (sent != 0) {
    // tar still gets the end of its input and is waited for; what it says
    // of the cut-off stream is its own.
    pclose(pipe);
    return -1;
  }
  // Closing the pipe is tar's end of input; then its exit status decides,
  // also when it stopped reading early.
  errno = 0;
  const int closed = pclose(pipe);
  if (interrupt_signal() != 0) return -1;
  if (closed != 0) {
    // A tar that failed leaves no error number of its own behind.
    perror("Close tar pipe error");
    return -1;
  }
  if (action == TAR_EXTRACT && getuid() == 0 && run_shell_command("chown -R 0:0 .") != 0) {
    if (interrupt_signal() != 0) return -1;
    fputs("chown error\n", stderr);
    return -1;
  }
  return 0;
}
