#include <sys/stat.h>

#include <cerrno>
#include <cstring>

#include "package/package.h"

namespace {

// Buffers of the two streams, which are closed before create_package
// returns.
char out_buffer[STREAM_BUFFER_SIZE];
char tar_buffer[STREAM_BUFFER_SIZE];

bool same_file(const struct stat& a, const struct stat& b) { return a.st_dev == b.st_dev && a.st_ino == b.st_ino; }

// Opening the output truncates it, so everything that would make the build
// destroy its own input, or pack something it cannot read twice, is refused
// before that.
int refuse_unsafe(FILE* stub, const char* stub_path, const char* installer_name, const char* tar_name) {
  struct stat tar {};
  const bool have_tar = stat(tar_name, &tar) == 0;
  if (have_tar && !S_ISREG(tar.st_mode)) {
    fprintf(stderr, "Cannot pack %s: not a regular file\n", tar_name);
    return -1;
  }
  struct stat out {};
  if (stat(installer_name, &out) != 0) return 0;
  struct stat self {};
  const char* input = nullptr;
  if (have_tar && same_file(out, tar))
    input = tar_name;
  else if (fstat(fileno(stub), &self) == 0 && same_file(out, self))
    input = stub_path;
  if (input != nullptr) {
    fprintf(stderr, "Cannot create %s: it is the same file as %s\n", installer_name, input);
    return -1;
  }
  return 0;
}

// Writes the header and the archive once both streams are open.
int write_package(FILE* stub, FILE* out, FILE* tar, const char* tar_name) {
  rewind(stub);
  if (copy_blocks(stub, out, "Write installer file error\n") != 0) return -1;

  struct stat tar_status {};
  if (stat(tar_name, &tar_status) != 0) {
    fprintf(stderr, "Cannot stat %s: %s\n", tar_name, strerror(errno));
    return -1;
  }
  unsigned char size[ARCHIVE_SIZE_BYTES];
  encode_archive_size(static_cast<uint64_t>(tar_status.st_size), size);
  if (fwrite(size, 1, ARCHIVE_SIZE_BYTES, out) < ARCHIVE_SIZE_BYTES) {
    perror("Archive size write error");
    return -1;
  }

  unsigned char digest[DIGEST_BYTES];
  if (md5_stream(tar, digest) != 0) return -1;
  if (fwrite(digest, 1, DIGEST_BYTES, out) < DIGEST_BYTES) {
    perror("MD5sum write error");
    return -1;
  }

  rewind(tar);
  return copy_blocks(tar, out, "Write to installer error\n");
}

}  // namespace

int create_package(FILE* stub, const char* stub_path, const char* installer_name, const char* tar_name) {
  if (refuse_unsafe(stub, stub_path, installer_name, tar_name) != 0) return -1;

  FILE* out = fopen(installer_name, "w");
  if (out == nullptr) {
    fprintf(stderr, "Cannot open %s: %s\n", installer_name, strerror(errno));
    return -1;
  }
  FILE* tar = fopen(tar_name, "r");
  if (tar == nullptr) {
    fprintf(stderr, "Cannot open %s: %s\n", tar_name, strerror(errno));
    fclose(out);
    return -1;
  }
  setvbuf(out, out_buffer, _IOFBF, sizeof out_buffer);
  setvbuf(tar, tar_buffer, _IOFBF, sizeof tar_buffer);

  if (write_package(stub, out, tar, tar_name) != 0) {
    fclose(out);
    fclose(tar);
    return -1;
  }
  fclose(tar);
  // The last buffered block reaches the file only here; a full disk shows
  // up now, and a package that lost its tail must not be marked runnable.
  if (fclose(out) != 0) {
    fprintf(stderr, "Cannot write %s: %s\n", installer_name, strerror(errno));
    return -1;
  }
  if (chmod(installer_name, 0755) != 0) {
    fprintf(stderr, "Cannot chmod 0755 %s: %s\n", installer_name, strerror(errno));
    return -1;
  }
  return 0;
}
