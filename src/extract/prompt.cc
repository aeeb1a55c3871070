#include <sys/ioctl.h>
#include <unistd.h>

#include <cctype>

#include "extract/extract.h"
#include "package/package.h"

namespace {

// One line from in without its line end; false at the end of input.
bool read_line(FILE* in, std::string* line) {
  line->clear();
  int c = getc(in);
  if (c == EOF) return false;
  for (; c != '\n' && c != EOF; c = getc(in)) line->push_back(static_cast<char>(c));
  return true;
}

// The license, a screen at a time: after each screen but the last the user
// presses Enter for the next one, or q to go to the question.
void page_license(FILE* in, FILE* out, const std::string& license) {
  winsize size{};
  const int rows = ioctl(fileno(out), TIOCGWINSZ, &size) == 0 && size.ws_row > 2 ? size.ws_row : 24;
  std::size_t at = 0;
  std::string answer;
  while (at < license.size()) {
    for (int line = 0; line < rows - 1 && at < license.size(); ++line) {
      const std::size_t end = license.find('\n', at);
      const std::size_t next = end == std::string::npos ? license.size() : end + 1;
      fwrite(license.data() + at, 1, next - at, out);
      at = next;
    }
    if (at >= license.size()) break;
    fputs("--More-- (Enter: next screen, q: to the question) ", out);
    fflush(out);
    if (!read_line(in, &answer) || answer == "q" || answer == "Q") break;
  }
  if (!license.empty() && license.back() != '\n') putc('\n', out);
}

}  // namespace

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

int ask_license(FILE* in, FILE* out, const std::string& license) {
  if (isatty(fileno(in)) && isatty(fileno(out))) {
    page_license(in, out, license);
  } else {
    fputs(license.c_str(), out);
    if (!license.empty() && license.back() != '\n') putc('\n', out);
  }
  std::string answer;
  for (int attempt = 0; attempt < PROMPT_ATTEMPTS; ++attempt) {
    fputs("Do you accept this license? [yes/no] ", out);
    fflush(out);
    if (!read_line(in, &answer)) return 1;
    while (!answer.empty() && (answer.back() == '\r' || answer.back() == ' ')) answer.pop_back();
    for (char& c : answer) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
    if (answer == "y" || answer == "yes") return 0;
    if (answer.empty() || answer == "n" || answer == "no") return 1;
  }
  return 1;
}
