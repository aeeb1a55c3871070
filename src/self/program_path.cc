#include <libgen.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include "self/self.h"

namespace {

// A failed copy of a short string is still reported the way the C library
// reports it, so the message names the copy that failed.
std::optional<std::string> copy_or_report(const char* text, const char* what) {
  try {
    return std::string(text);
  } catch (const std::bad_alloc&) {
    errno = ENOMEM;
    perror(what);
    return std::nullopt;
  }
}

}  // namespace

void join_path(char* buffer, const char* directory, const char* name, std::size_t directory_length) {
  std::size_t at = 0;
  if (directory_length != 0) {
    std::memcpy(buffer, directory, directory_length);
    at = directory_length;
    buffer[at++] = '/';
  }
  std::strcpy(buffer + at, name);
}

std::optional<std::string> find_program_path(const char* argv0) {
  char candidate[PATH_BUFFER_SIZE];
  const std::size_t name_length = std::strlen(argv0);

  if (std::strchr(argv0, '/') != nullptr) {
    if (name_length + 1 > PATH_BUFFER_SIZE) {
      fprintf(stderr, "Too long program name %s\n", argv0);
      return std::nullopt;
    }
    std::memcpy(candidate, argv0, name_length + 1);
  } else {
    const char* path = getenv("PATH");
    if (path == nullptr) {
      fputs("Cannot find PATH env\n", stderr);
      return std::nullopt;
    }
    const char* entry = path;
    for (;;) {
      const char* colon = std::strchr(entry, ':');
      const std::size_t length = colon ? static_cast<std::size_t>(colon - entry) : std::strlen(entry);
      if (length + name_length + 2 > PATH_BUFFER_SIZE) {
        fprintf(stderr, colon ? "Too big PATH %s\n" : "Too long PATH %s\n", path);
        return std::nullopt;
      }
      join_path(candidate, entry, argv0, length);
      // The last entry is taken untested: the final test below judges it.
      if (colon == nullptr || access(candidate, X_OK) == 0) break;
      entry = colon + 1;
    }
  }

  if (access(candidate, X_OK) != 0) {
    fprintf(stderr, "Cannot find %s executable\n", argv0);
    return std::nullopt;
  }
  return copy_or_report(candidate, "strdup error for program path");
}

std::optional<std::string> get_program_name(const char* argv0) {
  auto copy = copy_or_report(argv0, "strdup error for program path");
  if (!copy) return std::nullopt;
  // POSIX basename may modify its argument, so it works on a copy, and its
  // result may point into static storage, so that is copied too.
  return copy_or_report(basename(copy->data()), "strdup error for program name");
}
