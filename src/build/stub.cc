#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "build/build.h"

namespace {

int refuse(const char* path, const char* reason) {
  fprintf(stderr, "Cannot use %s as a stub: %s\n", path, reason);
  return -1;
}

// Checks the file open on stream, of size bytes. Returns 0 with
// *image_end set, or -1 after one message. Only the mark tells a quarnel
// program: a section name or a string in the code could be anybody's.
int check_stub(FILE* stream, const char* path, uint64_t size, uint64_t* image_end) {
  const unsigned char elf_magic[4] = {0x7F, 'E', 'L', 'F'};
  unsigned char magic[4] = {};
  if (fread(magic, 1, sizeof magic, stream) != sizeof magic || std::memcmp(magic, elf_magic, sizeof magic) != 0)
    return refuse(path, "it is not an ELF file");
  elf_image image;
  if (read_elf_image(stream, size, &image) != 0) return -1;
  switch (read_stub_mark(stream, size, image)) {
    case STUB_MARK_NONE:
      return refuse(path, "it is not a quarnel program");
    case STUB_MARK_OTHER:
      return refuse(path, "it is a quarnel of another release, whose settings this builder cannot write");
    case STUB_MARK_OURS:
      break;
  }
  if (image.end > size) return refuse(path, "it is cut short");
  // A package's stub that holds its publisher's label, license or
  // signature builds nothing itself, and what it would lend is not a bare
  // stub: refused rather than taken apart.
  if (find_elf_section(image, SETTINGS_SECTION) >= 0)
    return refuse(path, "it is a package with settings (label, license or signature), not a bare stub");
  *image_end = image.end;
  return 0;
}

}  // namespace

int open_stub(const char* path, stub_source* stub) {
  // O_NONBLOCK: a FIFO is refused below instead of waiting for a writer.
  const int fd = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  struct stat status {};
  FILE* stream = nullptr;
  if (fd < 0 || fstat(fd, &status) != 0 || (S_ISREG(status.st_mode) && (stream = fdopen(fd, "r")) == nullptr)) {
    fprintf(stderr, "Cannot open %s: %s\n", path, strerror(errno));
    if (fd >= 0) close(fd);
    return -1;
  }
  if (stream == nullptr) {
    close(fd);
    return refuse(path, "it is not a regular file");
  }
  uint64_t image_end = 0;
  if (check_stub(stream, path, static_cast<uint64_t>(status.st_size), &image_end) != 0) {
    fclose(stream);
    return -1;
  }
  stub->stream = stream;
  stub->path = path;
  stub->image_end = image_end;
  return 0;
}
