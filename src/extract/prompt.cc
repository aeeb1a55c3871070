#include "extract/extract.h"
#include "package/package.h"

int ask_yes_no(FILE* in, FILE* out, const std::string& question) {
  for (int attempt = 0; attempt < PROMPT_ATTEMPTS; ++attempt) {
    fputs(question.c_str(), out);
    fflush(out);
    const int first = getc(in);
    // An interrupt ends the question at once; the run then cleans up.
    if (first == EOF && interrupt_signal() != 0) return -1;
    // The rest of the line is dropped; lines after it stay for the next
    // question.
    for (int c = first; c != '\n' && c != EOF;) c = getc(in);
    switch (first) {
      case 'n':
      case 'N':
        return 1;
      case 'y':
      case 'Y':
      case '\n':
        return 0;
      default:
        break;
    }
  }
  return -1;
}

int ask_extract(uint64_t archive_size, const char* target_dir) {
  char question[64];
  snprintf(question, sizeof question, "About to extract %llu KB in ",
           static_cast<unsigned long long>(size_in_kb(archive_size)));
  return ask_yes_no(stdin, stdout, question + std::string(target_dir) + " ... Proceed? [y/n] ");
}

int ask_run_script(const std::vector<std::string>& script_args) {
  std::string question = "OK to execute: install.sh ";
  for (const std::string& arg : script_args) question += arg + " ";
  return ask_yes_no(stdin, stdout, question + "? [y/n] ");
}
