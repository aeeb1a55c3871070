#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "build/build.h"
#include "trust/trust.h"

int load_settings(const char* label, const char* license_file, const char* sign_key, package_settings* settings) {
  // The key is read now, so that a key that cannot sign is refused before
  // the package is opened; ssh-keygen signs with it at the end.
  std::string public_key_blob;
  if (sign_key != nullptr && check_signing_key(sign_key, &public_key_blob) != 0) return -1;
  settings->is_signed = sign_key != nullptr;
  if (settings->is_signed) settings->signature_slot_size = signature_slot_size(public_key_blob);
  if (label != nullptr) {
    if (const char* problem = text_problem(label, LABEL_MAX, false)) {
      fprintf(stderr, "Cannot use the label: %s\n", problem);
      return -1;
    }
    settings->label = label;
  }
  if (license_file != nullptr) {
    const int fd = open(license_file, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    struct stat status {};
    if (fd < 0 || fstat(fd, &status) != 0) {
      fprintf(stderr, "Cannot read license %s: %s\n", license_file, strerror(errno));
      if (fd >= 0) close(fd);
      return -1;
    }
    std::string text;
    const char* problem = nullptr;
    if (!S_ISREG(status.st_mode)) {
      problem = "it is not a regular file";
    } else if (static_cast<uint64_t>(status.st_size) > LICENSE_MAX) {
      problem = "it is larger than 1 MiB";
    } else {
      text.resize(static_cast<std::size_t>(status.st_size));
      std::size_t got = 0;
      while (got < text.size()) {
        const ssize_t n = read(fd, text.data() + got, text.size() - got);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        got += static_cast<std::size_t>(n);
      }
      if (got < text.size()) {
        fprintf(stderr, "Cannot read license %s: %s\n", license_file, errno != 0 ? strerror(errno) : "file shrank");
        close(fd);
        return -1;
      }
      problem = text_problem(text, LICENSE_MAX, true);
    }
    close(fd);
    if (problem != nullptr) {
      fprintf(stderr, "Cannot use license %s: %s\n", license_file, problem);
      return -1;
    }
    settings->license = text;
  }
  settings->present = label != nullptr || license_file != nullptr || sign_key != nullptr;
  return 0;
}
