#if defined(__linux__)
#include <fcntl.h>
#include <sys/prctl.h>
#endif
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <limits>

#include "extract/extract.h"
#include "package/package.h"

namespace {

// A plain archive is not copied at all: tar gets the package itself as its
// standard input, positioned at the archive, and reads it as it would read
// a tar file (the archive runs to the end of the package, so the file's
// end is the archive's). Through a pipe, every byte was copied into the
// pipe and out again, and each record tar took woke the writer: 1.15 of
// the shell's install time, where the shell's tar reads its file.

// A compressed archive is decoded into a pipe, widened to this where the
// host allows it (Linux, and within the user's pipe quota). Each time tar
// empties the pipe or the writer fills it, one side sleeps and the other is
// woken; the default 64 KiB pipe made that happen half as often again. 1 MiB
// is the largest size an ordinary user may ask for by default.
constexpr int PIPE_SIZE = 1024 * 1024;

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

// How a write into the pipe ended.
enum write_result { WRITE_DONE, WRITE_READER_GONE, WRITE_FAILED, WRITE_INTERRUPTED };

// Writes all of data, or says why not.
write_result write_all(int out, const unsigned char* data, std::size_t size) {
  while (size > 0) {
    if (interrupt_signal() != 0) return WRITE_INTERRUPTED;
    const ssize_t put = write(out, data, size);
    if (put < 0) {
      if (errno == EINTR) continue;
      return errno == EPIPE ? WRITE_READER_GONE : WRITE_FAILED;
    }
    data += put;
    size -= static_cast<std::size_t>(put);
  }
  return WRITE_DONE;
}

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
    case WRITE_DONE:
      return 0;
    case WRITE_READER_GONE:
      // Decoding goes on to the end, so that damage further on is still
      // reported whatever tar made of the part it read.
      ends->tar_gone = true;
      return 0;
    case WRITE_INTERRUPTED:
      return -1;
    default:
      fputs("Write to tar pipe error\n", stderr);
      return -1;
  }
}

// What the first bytes at the archive offset tell, or why they could not
// be read.
struct archive_start {
  archive_format format = FORMAT_PLAIN;
  const char* failure = nullptr;  // "Seek to tar error" (perror) or "Read tar error\n"
  int error_number = 0;           // for the perror of the first
};

// Looks at the archive's first bytes and, for a plain archive, positions
// the package's descriptor at its start for tar to read from there.
archive_start look_at_archive(int package, uint64_t archive_offset) {
  archive_start start;
  if (archive_offset > static_cast<uint64_t>(std::numeric_limits<off_t>::max())) {
    start.failure = "Seek to tar error";
    start.error_number = EINVAL;
    return start;
  }
  const off_t offset = static_cast<off_t>(archive_offset);
  unsigned char head[FORMAT_PROBE_SIZE];
  ssize_t got;
  do {
    got = pread(package, head, sizeof head, offset);
  } while (got < 0 && errno == EINTR);
  if (got < 0) {
    start.failure = "Read tar error\n";
    return start;
  }
  start.format = detect_format(head, static_cast<std::size_t>(got));
  if (start.format == FORMAT_PLAIN && lseek(package, offset, SEEK_SET) != offset) {
    start.failure = "Seek to tar error";
    start.error_number = errno;
  }
  return start;
}

// Starts command through /bin/sh -c, as popen would, with input as its
// standard input; unused (another descriptor of the caller, or -1) is
// closed in the child. Returns the child's id, or -1 with errno set.
pid_t start_tar(const char* command, int input, int unused) {
  const pid_t parent = getpid();
  const pid_t child = fork();
  if (child != 0) return child;
#if defined(PR_SET_PDEATHSIG)
  // A tar reading a file would not notice that this program has ended, as
  // it noticed the end of a pipe: if the program dies of a signal it does
  // not catch (SIGKILL, or any signal during --list and --tar), tar goes too.
  (void)prctl(PR_SET_PDEATHSIG, SIGTERM);
  if (getppid() != parent) _exit(127);
#else
  (void)parent;
#endif
  if (unused >= 0) close(unused);
  if (input != STDIN_FILENO) {
    if (dup2(input, STDIN_FILENO) < 0) _exit(127);
    close(input);
  }
  execl("/bin/sh", "sh", "-c", command, static_cast<char*>(nullptr));
  _exit(127);
}

// Waits for tar and returns its wait status, or -1 with errno set. While
// tar reads the package itself (package >= 0), the meter follows the
// offset of the open file that tar and this program share.
int wait_for_tar(pid_t tar, int package, off_t archive_offset, progress_meter* meter) {
  const bool follow = package >= 0 && meter->out != nullptr;
  for (;;) {
    int wait_status = 0;
    const pid_t ended = waitpid(tar, &wait_status, follow ? WNOHANG : 0);
    if (ended == tar) return wait_status;
    if (ended < 0 && errno != EINTR) return -1;
    if (!follow) continue;
    // Called even when tar has read nothing new: a share that came too
    // soon after the last drawing is drawn now.
    const off_t at = lseek(package, 0, SEEK_CUR);
    const uint64_t read = at > archive_offset ? static_cast<uint64_t>(at - archive_offset) : 0;
    progress_advance(meter, read > meter->done ? read - meter->done : 0);
    // An interrupt cuts the pause short; the child's end waits for it.
    const timespec pause{0, 1000000000L / PROGRESS_PER_SECOND};
    nanosleep(&pause, nullptr);
  }
}

}  // namespace

int pipe_archive_to_tar(FILE* package, uint64_t archive_offset, int action, const char* tar_command,
                        const char* target_dir, target_state* target, bool quiet) {
  *target = target_state{};
  // "exec": the shell becomes tar, so that an interrupt passed on to the
  // child reaches tar itself.
  const char* command = nullptr;
  switch (action) {
    case TAR_EXTRACT:
      command = "exec tar -xf -";
      break;
    case TAR_LIST:
      command = "exec tar -tvf -";
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
  const int fd = fileno(package);
  const archive_start start = look_at_archive(fd, archive_offset);
  // A plain archive, read where it is; anything else through a pipe, which
  // gets nothing when the archive could not be looked at.
  const bool in_place = start.failure == nullptr && start.format == FORMAT_PLAIN;
  int ends[2] = {-1, -1};
  pid_t tar = -1;
  if (in_place) {
    tar = start_tar(command, fd, -1);
  } else if (pipe(ends) == 0) {
    tar = start_tar(command, ends[0], ends[1]);
    const int saved = errno;
    close(ends[0]);
    errno = saved;
  }
  // For the message below: the announcement may set errno.
  const int start_error = errno;
  progress_meter meter;
  if (action == TAR_EXTRACT && !quiet) {
    // Announced before tar's start is tested, so it shows even when tar
    // cannot be started. On a terminal the share read follows the "...".
    printf("Uncompressing in %s...", target_dir);
    if (tar > 0) progress_start(&meter, stdout, archive_length(package, archive_offset));
    if (meter.out == nullptr) putchar('\n');
  }
  if (tar < 0) {
    errno = start_error;
    perror("Open tar pipe error");
    if (ends[1] >= 0) close(ends[1]);
    return -1;
  }
  // From here an interrupt reaches tar, which ends; then it is waited for.
  forward_interrupts_to(tar);
  int sent = 0;
  if (start.failure != nullptr) {
    errno = start.error_number;
    if (start.error_number != 0) {
      perror(start.failure);
    } else {
      fputs(start.failure, stderr);
    }
    sent = -1;
  } else if (!in_place) {
    widen_pipe(ends[1]);
    decode_ends decoding{fd, static_cast<off_t>(archive_offset), ends[1], &meter, false};
    sent = decode_archive(start.format, decode_io{&decoding, read_compressed, write_decoded});
  }
  // Closing the pipe is tar's end of input; then its exit status decides,
  // also when it stopped reading early. On a failure, what tar says of the
  // cut-off stream is its own.
  if (ends[1] >= 0) close(ends[1]);
  const int closed = wait_for_tar(tar, in_place ? fd : -1, static_cast<off_t>(archive_offset), &meter);
  forward_interrupts_to(0);
  if (meter.out != nullptr) {
    const int saved = errno;
    progress_end(&meter);
    putchar('\n');
    fflush(stdout);
    errno = saved;
  }
  if (sent != 0 || interrupt_signal() != 0) return -1;
  if (closed > 0) {
    // A tar that failed leaves no error number of its own: the line ends
    // in the text of none ("Success"), whatever errno holds from the copy,
    // such as the EPIPE of a write that tar's end cut short. Not through
    // errno: under qemu-i386, once a thread has run, a signal handler (that
    // SIGPIPE) leaves the program's errno and the C library's apart.
    fprintf(stderr, "Close tar pipe error: %s\n", strerror(0));
    return -1;
  }
  if (closed != 0) {
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
