#include <array>
#include <cstdlib>

#include "driver/options.h"
#include "package/package.h"

namespace {

constexpr std::array<char, STUB_MARK_SIZE> stub_mark_bytes() {
  std::array<char, STUB_MARK_SIZE> bytes{};
  constexpr std::size_t magic_size = sizeof STUB_MARK_MAGIC - 1;
  for (std::size_t i = 0; i < magic_size; ++i) bytes[i] = STUB_MARK_MAGIC[i];
  for (std::size_t i = 0; i < SETTINGS_MAGIC_SIZE; ++i) bytes[magic_size + i] = SETTINGS_MAGIC[i];
  return bytes;
}

}  // namespace

// The mark by which a builder handed this program's file with --stub knows
// it for a quarnel stub, and which settings it reads. Nothing refers to it:
// `retain` keeps it through the linker's garbage collection of sections.
[[gnu::used, gnu::retain, gnu::section(".quarnel.stub")]] extern const std::array<char, STUB_MARK_SIZE>
    quarnel_stub_mark = stub_mark_bytes();

int main(int argc, char** argv) {
  // Started with an empty argument vector, the program still needs a name
  // to look itself up by; an empty one fails with a message.
  static char empty[] = "";
  static char* fallback[] = {empty, nullptr};
  if (argc < 1 || argv[0] == nullptr) {
    argc = 1;
    argv = fallback;
  }
  exit(run_program(argc, argv));
}
