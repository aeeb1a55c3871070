// Removing the extraction directory. The walk goes through directory
// descriptors from the directory the run entered, never through a path:
// whoever can write somewhere inside the tree (or above it) can put a link
// in place of a directory, but cannot lead a deletion out of the tree.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "extract/extract.h"

namespace {

// Directories held open at once, as many as the walk has always held.
// Going deeper closes the shallowest; coming back up to it reopens it as
// the ".." of the directory just emptied, if that is still the same one.
constexpr std::size_t OPEN_LEVELS = 16;

// Why an emptied directory is left in place.
constexpr const char* MOVED = "moved or replaced during the run";

// One directory on the way down from the top to the one being emptied.
struct level {
  DIR* stream;       // null while closed to spare descriptors
  std::string path;  // for the messages: the top's path as given, then "/name" for each step down
  std::string name;  // within the directory above (empty for the top)
  dev_t device;
  ino_t inode;
  bool found;  // this pass over it met an entry, so another pass follows
};

// Removes the emptied directory called name in parent (AT_FDCWD: the
// working directory) while that name still refers to it. One that has gone
// is removed when gone_is_done. Returns 0, or -1 (after a message unless
// it had gone).
int remove_by_name(int parent, const char* name, const char* path, dev_t device, ino_t inode, bool gone_is_done) {
  struct stat status {};
  if (fstatat(parent, name, &status, AT_SYMLINK_NOFOLLOW) != 0) {
    if (errno == ENOENT) return gone_is_done ? 0 : -1;
    fprintf(stderr, "Cannot remove `%s': %s\n", path, strerror(errno));
    return -1;
  }
  if (!S_ISDIR(status.st_mode) || status.st_dev != device || status.st_ino != inode) {
    fprintf(stderr, "Cannot remove `%s': %s\n", path, MOVED);
    return -1;
  }
  if (unlinkat(parent, name, AT_REMOVEDIR) != 0) {
    fprintf(stderr, "Cannot remove `%s': %s\n", path, strerror(errno));
    return -1;
  }
  return 0;
}

// The directory above child, reopened from child's "..", or null when
// that is no longer the directory the walk came down from.
DIR* reopen_above(DIR* child, const level& above) {
  const int fd = openat(dirfd(child), "..", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return nullptr;
  struct stat status {};
  DIR* stream = nullptr;
  if (fstat(fd, &status) == 0 && status.st_dev == above.device && status.st_ino == above.inode)
    stream = fdopendir(fd);
  if (stream == nullptr) close(fd);
  return stream;
}

// From the emptied directory at the end of levels back up to the one
// above it, which it is then removed from. Returns 0, or -1 after a message.
int go_up(std::vector<level>& levels, std::size_t* first_open) {
  level child = std::move(levels.back());
  levels.pop_back();
  level& above = levels.back();
  int result = 0;
  if (above.stream == nullptr) {
    above.stream = reopen_above(child.stream, above);
    *first_open = levels.size() - 1;
    if (above.stream == nullptr) {
      fprintf(stderr, "Cannot remove `%s': %s\n", child.path.c_str(), MOVED);
      result = -1;
    }
  }
  closedir(child.stream);
  if (result != 0) return result;
  // Someone else may have removed it meanwhile; then it is done.
  return remove_by_name(dirfd(above.stream), child.name.c_str(), child.path.c_str(), child.device, child.inode, true);
}

// Deletes everything below the directory open on directory, every entry
// after its contents, stopping at the first failure. Within a directory,
// passes are made until one finds it empty, since entries deleted while it
// is read may make the reading skip others. Returns 0, or -1 after a message.
int remove_contents(const char* path, int directory) {
  struct stat status {};
  const int top = fcntl(directory, F_DUPFD_CLOEXEC, 0);
  DIR* top_stream = top >= 0 && fstat(top, &status) == 0 ? fdopendir(top) : nullptr;
  if (top_stream == nullptr) {
    if (top >= 0) close(top);
    fprintf(stderr, "Error: Directory `%s' is not readable\n", path);
    return -1;
  }
  // The descriptor's offset is shared with the caller's: start at the start.
  rewinddir(top_stream);
  std::vector<level> levels;
  levels.push_back(level{top_stream, path, "", status.st_dev, status.st_ino, false});
  std::size_t first_open = 0;
  int result = 0;
  while (result == 0) {
    level& here = levels.back();
    errno = 0;
    const dirent* entry = readdir(here.stream);
    if (entry == nullptr) {
      if (errno != 0) {
        fprintf(stderr, "Error: Directory `%s' is not readable\n", here.path.c_str());
        result = -1;
      } else if (here.found) {
        here.found = false;
        rewinddir(here.stream);
      } else if (levels.size() == 1) {
        break;
      } else {
        result = go_up(levels, &first_open);
      }
      continue;
    }
    const char* name = entry->d_name;
    if (strcmp(name, ".") == 0 || strcmp(name, "..") == 0) continue;
    here.found = true;
    const int at = dirfd(here.stream);
    std::string entry_path = here.path + "/" + name;
    if (fstatat(at, name, &status, AT_SYMLINK_NOFOLLOW) != 0) {
      fprintf(stderr, "Error: Cannot stat `%s'\n", entry_path.c_str());
      result = -1;
    } else if (!S_ISDIR(status.st_mode)) {
      if (unlinkat(at, name, 0) != 0) {
        fprintf(stderr, "Cannot remove `%s': %s\n", entry_path.c_str(), strerror(errno));
        result = -1;
      }
    } else {
      // What is opened is what is walked: a link put in its place since
      // is not followed, and the identity is that of what was opened.
      const int sub = openat(at, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
      DIR* sub_stream = sub >= 0 && fstat(sub, &status) == 0 ? fdopendir(sub) : nullptr;
      if (sub_stream == nullptr) {
        if (sub >= 0) close(sub);
        fprintf(stderr, "Error: Directory `%s' is not readable\n", entry_path.c_str());
        result = -1;
        continue;
      }
      levels.push_back(level{sub_stream, std::move(entry_path), name, status.st_dev, status.st_ino, false});
      if (levels.size() - first_open > OPEN_LEVELS) {
        closedir(levels[first_open].stream);
        levels[first_open++].stream = nullptr;
      }
    }
  }
  for (const level& open : levels) {
    if (open.stream != nullptr) closedir(open.stream);
  }
  return result;
}

}  // namespace

int remove_directory(const char* path, int directory) {
  struct stat status {};
  int result = -1;
  if (fstat(directory, &status) == 0 && remove_contents(path, directory) == 0)
    result = remove_by_name(AT_FDCWD, path, path, status.st_dev, status.st_ino, false);
  if (result != 0) fprintf(stderr, "Directory `%s' has not been removed\n", path);
  return result;
}
