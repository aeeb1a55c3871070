#include <fcntl.h>
#if defined(__linux__)
#include <sys/prctl.h>
#endif
#include <limits.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <limits>
#include <string>

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

// The extraction directory is only entered when it is safely the user's:
// another user who could change it, or the link that leads to it, could
// change what the script runs, and the run removes what is in it.
//
// How often the directory is made or looked for again when it went away
// between being opened and being locked (another run had just removed it).
constexpr int ENTER_ATTEMPTS = 5;
// What a refusal tells the user to do instead.
constexpr const char* OWN_DIRECTORY = "use --target with a directory of your own";
// Returned by open_target when the name changed while it was looked at.
constexpr int NAME_CHANGED = -2;

// The directory that holds the extraction directory's name, opened once
// so that every later look at the name is at the same place, and the
// name's last component. A name without a slash lies in the working
// directory. Returns 0, or -1 after the message of a failed mkdir (which
// would have failed alike).
int open_parent(const char* target_dir, int* parent, std::string* base) {
  std::string path = target_dir;
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  const std::size_t slash = path.rfind('/');
  *parent = AT_FDCWD;
  if (slash == std::string::npos) {
    *base = path;
    return 0;
  }
  *base = slash + 1 < path.size() ? path.substr(slash + 1) : ".";
  const std::string holder = slash == 0 ? "/" : path.substr(0, slash);
#if defined(O_PATH)
  // Only looked through, so it needs no read permission, as mkdir needs none.
  *parent = open(holder.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
#else
  *parent = open(holder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
#endif
  if (*parent >= 0) return 0;
  fprintf(stderr, "Cannot mkdir %s: %s\n", target_dir, strerror(errno));
  return -1;
}

// Opens the directory named base in parent. A symbolic link there is
// followed only when it belongs to the effective user or to root, and
// then as it read when its owner was checked. Returns the descriptor,
// NAME_CHANGED when the link changed meanwhile, or -1 after one message.
int open_target(int parent, const char* base, const char* target_dir) {
  constexpr int flags = O_RDONLY | O_DIRECTORY | O_CLOEXEC;
  int fd = openat(parent, base, flags | O_NOFOLLOW);
  if (fd >= 0) return fd;
  int error = errno;
  struct stat link {};
  if ((error == ELOOP || error == ENOTDIR) && fstatat(parent, base, &link, AT_SYMLINK_NOFOLLOW) == 0 &&
      S_ISLNK(link.st_mode)) {
    if (link.st_uid != geteuid() && link.st_uid != 0) {
      fprintf(stderr, "Directory `%s' is a symbolic link owned by another user (%lu); %s\n", target_dir,
              static_cast<unsigned long>(link.st_uid), OWN_DIRECTORY);
      return -1;
    }
    // The link's words, read between two looks that find the same link:
    // one put in its place after the owner was checked is not followed.
    char words[PATH_MAX];
    const ssize_t length = readlinkat(parent, base, words, sizeof words);
    struct stat again {};
    if (length <= 0 || static_cast<std::size_t>(length) >= sizeof words ||
        fstatat(parent, base, &again, AT_SYMLINK_NOFOLLOW) != 0 || again.st_dev != link.st_dev ||
        again.st_ino != link.st_ino)
      return NAME_CHANGED;
    words[length] = '\0';
    // Relative words start where the link lies, as the link's own would.
    fd = openat(parent, words, flags);
    if (fd >= 0) return fd;
    error = errno;
  }
  fprintf(stderr, "Cannot chdir to %s: %s\n", target_dir, strerror(error));
  return -1;
}

// Whether the directory open on fd is safely the effective user's: owned
// by that user and writable by nobody else. Returns 0, or -1 after one
// message.
int check_owner(int fd, const char* target_dir) {
  struct stat status {};
  if (fstat(fd, &status) != 0) {
    fprintf(stderr, "Cannot chdir to %s: %s\n", target_dir, strerror(errno));
    return -1;
  }
  if (status.st_uid != geteuid()) {
    fprintf(stderr, "Directory `%s' belongs to another user (%lu); %s\n", target_dir,
            static_cast<unsigned long>(status.st_uid), OWN_DIRECTORY);
    return -1;
  }
  // Sticky or not: a sticky directory still lets others add files.
  if ((status.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
    fprintf(stderr, "Directory `%s' is writable by its group or by others; use --target with a directory only you can "
            "write to\n", target_dir);
    return -1;
  }
  return 0;
}

// One attempt at making, opening, checking, locking and entering the
// directory. Returns 0, NAME_CHANGED to try again, or -1 after one message.
int try_entering(int parent, const char* base, const char* target_dir, target_state* target) {
  target->created = false;
  if (mkdirat(parent, base, 0755) == 0) {
    target->created = true;
  } else if (errno != EEXIST) {
    fprintf(stderr, "Cannot mkdir %s: %s\n", target_dir, strerror(errno));
    return -1;
  }
  const int fd = open_target(parent, base, target_dir);
  if (fd < 0) return fd;
  int result = check_owner(fd, target_dir);
  // Not inherited (close-on-exec): the lock is this process's alone, and
  // goes when it ends, however it ends. A file system without flock still
  // works, unguarded.
  if (result == 0 && flock(fd, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK) {
    fprintf(stderr,
            "Directory `%s' is in use by another run; wait until it has ended, or use --target with another "
            "directory\n",
            target_dir);
    result = -1;
  }
  // Locked, but maybe only after the run that held the lock removed it:
  // then the name leads elsewhere or nowhere, and is looked for again.
  struct stat named {}, opened {};
  if (result == 0 && (fstatat(parent, base, &named, 0) != 0 || fstat(fd, &opened) != 0 ||
                      named.st_dev != opened.st_dev || named.st_ino != opened.st_ino))
    result = NAME_CHANGED;
  if (result == 0 && fchdir(fd) != 0) {
    fprintf(stderr, "Cannot chdir to %s: %s\n", target_dir, strerror(errno));
    result = -1;
  }
  if (result != 0) {
    close(fd);
    return result;
  }
  target->fd = fd;
  target->entered = true;
  return 0;
}

// Makes the extraction directory when missing, opens it, checks it, locks
// it and enters it; everything after works on what was opened here.
int enter_directory(const char* target_dir, target_state* target) {
  int parent = AT_FDCWD;
  std::string base;
  if (open_parent(target_dir, &parent, &base) != 0) return -1;
  int result = NAME_CHANGED;
  for (int attempt = 0; attempt < ENTER_ATTEMPTS && result == NAME_CHANGED; ++attempt)
    result = try_entering(parent, base.c_str(), target_dir, target);
  if (result == NAME_CHANGED) {
    fprintf(stderr, "Directory `%s' kept changing while it was entered; %s\n", target_dir, OWN_DIRECTORY);
    result = -1;
  }
  if (parent != AT_FDCWD) close(parent);
  return result;
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
