#include <fcntl.h>
#include <sys/stat.h>
#include <tomcrypt.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "build/build.h"
#include "trust/trust.h"

namespace {

// The whole build moves through this one block: the stub, then the tar file,
// which is digested and written from the same bytes. Large enough that a
// read or a write costs little next to hashing it, small enough to stay in
// the processor's cache between the digest and the write.
constexpr std::size_t BUILD_BLOCK_SIZE = 256 * 1024;
unsigned char block[BUILD_BLOCK_SIZE];

// Blocks of this size bypass the output's stdio buffer, so it only holds
// the header and the unaligned ends of blocks; it still keeps the tail of the
// package back until the flush before the header is filled in.
char out_buffer[COPY_BLOCK_SIZE];

bool same_file(const struct stat& a, const struct stat& b) { return a.st_dev == b.st_dev && a.st_ino == b.st_ino; }

bool is_standard_input(const char* tar_name) { return std::strcmp(tar_name, "-") == 0; }

// Opening the output truncates it and the header is filled in by seeking
// back, so everything that would make the build destroy its own input, or
// write into something that is not a file, is refused before that. The
// tar file is read once, so a pipe, a FIFO or a device is as good as a file.
// tar is the tar file's status, or null when it has none.
int refuse_unsafe(const stub_source& stub, const char* installer_name, const char* tar_name,
                  const struct stat* tar) {
  if (tar != nullptr && S_ISDIR(tar->st_mode)) {
    fprintf(stderr, "Cannot pack %s: not a regular file\n", tar_name);
    return -1;
  }
  struct stat out {};
  if (stat(installer_name, &out) != 0) return 0;
  // Opening a FIFO for writing waits for a reader, and a device cannot be
  // positioned back into: neither may be opened at all.
  if (!S_ISREG(out.st_mode)) {
    fprintf(stderr, "Cannot create %s: not a regular file\n", installer_name);
    return -1;
  }
  struct stat self {};
  const char* input = nullptr;
  if (tar != nullptr && same_file(out, *tar))
    input = tar_name;
  else if (fstat(fileno(stub.stream), &self) == 0 && same_file(out, self))
    input = stub.path.c_str();
  if (input != nullptr) {
    fprintf(stderr, "Cannot create %s: it is the same file as %s\n", installer_name, input);
    return -1;
  }
  return 0;
}

// Opens installer_name for writing, empty. An existing file keeps its mode,
// so it loses its execute bits first: until the build ends with chmod 0755,
// the file is not runnable, even if the builder is killed half way.
FILE* open_output(const char* installer_name) {
  // O_NONBLOCK: should a FIFO have replaced the file since it was looked
  // at, the open fails instead of waiting for a reader.
  const int fd = open(installer_name, O_WRONLY | O_CREAT | O_NONBLOCK | O_CLOEXEC, 0666);
  if (fd < 0) {
    fprintf(stderr, "Cannot open %s: %s\n", installer_name, strerror(errno));
    return nullptr;
  }
  struct stat status {};
  if (fstat(fd, &status) == 0 && !S_ISREG(status.st_mode)) {
    fprintf(stderr, "Cannot create %s: not a regular file\n", installer_name);
    close(fd);
    return nullptr;
  }
  // Whoever may not clear the bits could not set 0755 at the end either:
  // the build fails now, with the message it would have ended with, and
  // the file is left as it was.
  if ((status.st_mode & 0111) != 0 && fchmod(fd, status.st_mode & 0666) != 0) {
    fprintf(stderr, "Cannot chmod 0755 %s: %s\n", installer_name, strerror(errno));
    close(fd);
    return nullptr;
  }
  FILE* out = nullptr;
  const int flags = fcntl(fd, F_GETFL);
  if (ftruncate(fd, 0) != 0 || flags < 0 || fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0 ||
      (out = fdopen(fd, "w")) == nullptr) {
    fprintf(stderr, "Cannot open %s: %s\n", installer_name, strerror(errno));
    close(fd);
    return nullptr;
  }
  setvbuf(out, out_buffer, _IOFBF, sizeof out_buffer);
  return out;
}

// Copies in to out from in's position to its end through the block, adds
// the count to *moved and, when digest is not null, feeds the same bytes to
// it. A short read without the error indicator is the end of the input.
int pass_through(FILE* in, FILE* out, hash_state* digest, uint64_t* moved, const char* read_error,
                 const char* write_error) {
  while (!feof(in)) {
    const std::size_t got = fread(block, 1, BUILD_BLOCK_SIZE, in);
    if (got < BUILD_BLOCK_SIZE && ferror(in)) {
      fputs(read_error, stderr);
      return -1;
    }
    if (digest != nullptr) md5_process(digest, block, got);
    if (fwrite(block, 1, got, out) < got) {
      fputs(write_error, stderr);
      return -1;
    }
    *moved += got;
  }
  return 0;
}

// Copies count bytes of in from offset from into out.
int copy_range(FILE* in, uint64_t from, uint64_t count, FILE* out) {
  if (seek_package(in, from) != 0) {
    fputs("Read tar error\n", stderr);
    return -1;
  }
  while (count > 0) {
    const std::size_t want = count < BUILD_BLOCK_SIZE ? static_cast<std::size_t>(count) : BUILD_BLOCK_SIZE;
    const std::size_t got = fread(block, 1, want, in);
    if (got < want) {
      fputs("Read tar error\n", stderr);
      return -1;
    }
    if (fwrite(block, 1, got, out) < got) {
      fputs("Write installer file error\n", stderr);
      return -1;
    }
    count -= got;
  }
  return 0;
}

// The settings section and how the stub's image takes it, worked out
// before the output is opened, so that a stub that cannot take it leaves
// the output as it was.
struct settings_plan {
  std::string section;
  elf_addition plan;
};

int plan_settings(const stub_source& stub, const package_settings& settings, settings_plan* planned) {
  elf_image image;
  planned->section = encode_settings(settings);
  if (read_elf_image(stub.stream, stub.image_end, &image) != 0) return -1;
  return plan_elf_addition(image, SETTINGS_SECTION, planned->section.size(), &planned->plan);
}

// The stub with one more section, holding the settings: its ELF header,
// its bytes up to the section header table, the settings, then the name
// table and the longer section header table, all in the stub's own class
// and byte order. *image_size is where the new image ends.
int write_stub_with_settings(const stub_source& stub_file, FILE* out, const settings_plan& planned,
                             uint64_t* image_size, uint64_t* slot_offset) {
  FILE* stub = stub_file.stream;
  const elf_addition& plan = planned.plan;
  const std::string& section = planned.section;
  if (fwrite(plan.header.data(), 1, plan.header.size(), out) < plan.header.size()) {
    fputs("Write installer file error\n", stderr);
    return -1;
  }
  if (copy_range(stub, plan.header.size(), plan.copy_end - plan.header.size(), out) != 0) return -1;
  if (fwrite(section.data(), 1, section.size(), out) < section.size() ||
      fwrite(plan.tail.data(), 1, plan.tail.size(), out) < plan.tail.size()) {
    fputs("Write installer file error\n", stderr);
    return -1;
  }
  *image_size = plan.copy_end + section.size() + plan.tail.size();
  *slot_offset = plan.copy_end + SIGNATURE_SLOT_AT;
  return 0;
}

int write_header(FILE* out, uint64_t archive_size, const unsigned char digest[DIGEST_BYTES]) {
  unsigned char size[ARCHIVE_SIZE_BYTES];
  encode_archive_size(archive_size, size);
  if (fwrite(size, 1, ARCHIVE_SIZE_BYTES, out) < ARCHIVE_SIZE_BYTES) {
    perror("Archive size write error");
    return -1;
  }
  if (fwrite(digest, 1, DIGEST_BYTES, out) < DIGEST_BYTES) {
    perror("MD5sum write error");
    return -1;
  }
  return 0;
}

// Writes the stub, a header of zeros, and the archive while digesting it;
// then goes back and fills in the header. The tar file is read once, so
// the digest and the size describe exactly the bytes that were written,
// whatever the file does meanwhile.
int write_package(const stub_source& stub, FILE* out, FILE* tar, const char* installer_name,
                  const settings_plan* settings, uint64_t* slot_offset) {
  uint64_t header_offset = stub.image_end;
  if (settings != nullptr) {
    if (write_stub_with_settings(stub, out, *settings, &header_offset, slot_offset) != 0) return -1;
  } else if (copy_range(stub.stream, 0, stub.image_end, out) != 0) {
    return -1;
  }
  const unsigned char zeros[DIGEST_BYTES] = {};
  if (write_header(out, 0, zeros) != 0) return -1;

  hash_state state;
  md5_init(&state);
  uint64_t archive_size = 0;
  if (pass_through(tar, out, &state, &archive_size, "Read file error\n", "Write to installer error\n") != 0) return -1;
  unsigned char digest[DIGEST_BYTES];
  md5_done(&state, digest);

  // The tail of the archive reaches the file here; a full disk shows up
  // now, as it would when the file is closed.
  if (fflush(out) != 0 || seek_package(out, header_offset) != 0) {
    fprintf(stderr, "Cannot write %s: %s\n", installer_name, strerror(errno));
    return -1;
  }
  return write_header(out, archive_size, digest);
}

// Signs the complete package, whose slot still holds zeros, and fills the
// slot in. Nothing of it is runnable yet.
int sign_package(const char* installer_name, const char* sign_key, uint64_t slot_offset, std::size_t slot_size) {
  const int fd = open(installer_name, O_RDWR | O_CLOEXEC);
  if (fd < 0) {
    fprintf(stderr, "Cannot open %s: %s\n", installer_name, strerror(errno));
    return -1;
  }
  std::string armored;
  if (sign_package_file(sign_key, fd, slot_size, &armored) != 0) {
    close(fd);
    return -1;
  }
  const ssize_t written = pwrite(fd, armored.data(), armored.size(), static_cast<off_t>(slot_offset));
  if (written != static_cast<ssize_t>(armored.size()) || close(fd) != 0) {
    fprintf(stderr, "Cannot write %s: %s\n", installer_name, written < 0 ? strerror(errno) : "short write");
    return -1;
  }
  return 0;
}

}  // namespace

int create_package(const stub_source& stub, const char* installer_name, const char* tar_name,
                   const package_settings* settings, const char* sign_key) {
  // A standard input that was closed at start has lent its descriptor to
  // the program's own file, or would lend it to the output: it is a tar
  // file that cannot be opened, and fails where a missing file would.
  const bool from_stdin = is_standard_input(tar_name);
  int stdin_error = 0;
  if (from_stdin && (fileno(stub.stream) == STDIN_FILENO || fcntl(STDIN_FILENO, F_GETFD) < 0)) stdin_error = EBADF;
  struct stat tar_status {};
  const bool have_tar =
      stdin_error == 0 && (from_stdin ? fstat(STDIN_FILENO, &tar_status) : stat(tar_name, &tar_status)) == 0;
  if (refuse_unsafe(stub, installer_name, tar_name, have_tar ? &tar_status : nullptr) != 0) return -1;
  const bool with_settings = settings != nullptr && settings->present;
  settings_plan planned;
  if (with_settings && plan_settings(stub, *settings, &planned) != 0) return -1;

  FILE* out = open_output(installer_name);
  if (out == nullptr) return -1;
  FILE* tar = from_stdin ? stdin : fopen(tar_name, "r");
  if (stdin_error != 0) {
    errno = stdin_error;
    tar = nullptr;
  }
  if (tar == nullptr) {
    fprintf(stderr, "Cannot open %s: %s\n", tar_name, strerror(errno));
    fclose(out);
    return -1;
  }
  // Reads of whole blocks then go straight into the block, whatever the
  // tar file is; a pipe is read until the block is full.
  setvbuf(tar, nullptr, _IONBF, 0);

  uint64_t slot_offset = 0;
  if (write_package(stub, out, tar, installer_name, with_settings ? &planned : nullptr, &slot_offset) != 0) {
    fclose(out);
    fclose(tar);
    return -1;
  }
  fclose(tar);
  // The header, filled in last, reaches the file only here.
  if (fclose(out) != 0) {
    fprintf(stderr, "Cannot write %s: %s\n", installer_name, strerror(errno));
    return -1;
  }
  if (settings != nullptr && settings->is_signed &&
      sign_package(installer_name, sign_key, slot_offset, settings->signature_slot_size) != 0)
    return -1;
  if (chmod(installer_name, 0755) != 0) {
    fprintf(stderr, "Cannot chmod 0755 %s: %s\n", installer_name, strerror(errno));
    return -1;
  }
  return 0;
}
