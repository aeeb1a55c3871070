// The installer and builder command-line parsers on arbitrary argument
// vectors. The input is the words after argv[0], separated by NUL bytes;
// its first byte picks the parser.
//
// --help, -h and --version (or any prefix getopt_long accepts for them)
// print and call exit(0) inside the parser. The target is linked with
// -Wl,--wrap=exit: while a parse is running, exit jumps back here and the
// input counts as done; any other exit, libFuzzer's own included, is the
// real one. The parsers keep nothing on the heap across that jump as long
// as the program name fits std::string's inline buffer, hence the short
// fixed argv[0].
#include <getopt.h>

#include <csetjmp>
#include <cstring>
#include <string>
#include <vector>

#include "driver/options.h"
#include "fuzz_support.h"

namespace {

std::jmp_buf* exit_jump = nullptr;
int exit_status = 0;

}  // namespace

extern "C" [[noreturn]] void __real_exit(int status);

extern "C" [[noreturn]] void __wrap_exit(int status) {
  if (exit_jump != nullptr) {
    exit_status = status;
    std::longjmp(*exit_jump, 1);
  }
  __real_exit(status);
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const bool builder = data[0] & 1;
  std::vector<std::string> words{"setup.run"};
  std::string word;
  for (std::size_t i = 1; i < size; ++i) {
    if (data[i] == '\0') {
      words.push_back(word);
      word.clear();
    } else {
      word += static_cast<char>(data[i]);
    }
  }
  if (size > 1) words.push_back(word);
  if (words.size() > 64) return 0;
  std::vector<char*> argv;
  for (std::string& w : words) argv.push_back(w.data());
  argv.push_back(nullptr);
  const int argc = static_cast<int>(words.size());

  installer_options options;
  std::jmp_buf jump;
  optind = 0;  // a fresh scan, forgetting the previous input's state
  if (setjmp(jump) != 0) {
    exit_jump = nullptr;
    FUZZ_CHECK(exit_status == 0);
    return 0;
  }
  exit_jump = &jump;
  const int result = builder ? parse_builder_options(argc, argv.data(), &options)
                             : parse_installer_options(argc, argv.data(), &options);
  exit_jump = nullptr;

  FUZZ_CHECK(result == 0 || result == -1);
  FUZZ_CHECK(optind >= 0 && optind <= argc);
  if (result == 0 && options.tar_action == TAR_CUSTOM) FUZZ_CHECK(options.tar_command.rfind("tar ", 0) == 0);
  FUZZ_CHECK(argv[argc] == nullptr);
  return 0;
}
