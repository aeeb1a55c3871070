// The yes/no prompt on arbitrary standard input, checked against the rule:
// up to five questions, each judged by the first byte of one line.
#include <string>

#include "extract/extract.h"
#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  const std::string question = "Proceed? [y/n] ";
  int want = -1, asked = 0;
  for (std::size_t at = 0; asked < PROMPT_ATTEMPTS && want == -1;) {
    ++asked;
    const int first = at < size ? data[at++] : EOF;
    for (int c = first; c != '\n' && c != EOF;) c = at < size ? data[at++] : EOF;
    if (first == 'n' || first == 'N') want = 1;
    if (first == 'y' || first == 'Y' || first == '\n') want = 0;
  }

  FILE* in = fuzz::open_bytes(data, size);
  char* printed = nullptr;
  std::size_t printed_size = 0;
  FILE* out = open_memstream(&printed, &printed_size);
  if (in == nullptr || out == nullptr) abort();
  const int got = ask_yes_no(in, out, question);
  fclose(in);
  fclose(out);
  std::string expected_output;
  for (int i = 0; i < asked; ++i) expected_output += question;
  FUZZ_CHECK(got == want);
  FUZZ_CHECK(std::string(printed, printed_size) == expected_output);
  free(printed);
  return 0;
}
