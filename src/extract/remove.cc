#include <ftw.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "extract/extract.h"

namespace {

constexpr int WALK_DESCRIPTORS = 16;

int remove_entry(const char* path, const struct stat*, int type, struct FTW*) {
  int result = 0;
  errno = 0;
  switch (type) {
    case FTW_F:
    case FTW_SL:
      result = unlink(path);
      break;
    case FTW_DP:
      result = rmdir(path);
      break;
    case FTW_DNR:
      fprintf(stderr, "Error: Directory `%s' is not readable\n", path);
      result = -1;
      break;
    case FTW_NS:
      fprintf(stderr, "Error: Cannot stat `%s'\n", path);
      result = -1;
      break;
    default:
      fprintf(stderr, "Error: Something went wrong deleting `%s'\n", path);
      result = -1;
      break;
  }
  if (errno != 0) fprintf(stderr, "Cannot remove `%s': %s\n", path, strerror(errno));
  return result;
}

}  // namespace

int remove_directory(const char* path) {
  const int result = nftw(path, remove_entry, WALK_DESCRIPTORS, FTW_PHYS | FTW_DEPTH);
  if (result != 0) fprintf(stderr, "Directory `%s' has not been removed\n", path);
  return result;
}
