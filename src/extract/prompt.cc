#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
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

// Where a terminal width columns wide that wraps long lines has its
// cursor, within one line of text: the rows begun, the columns used of the
// last.
struct cursor {
  int width;
  int rows = 1;
  int column = 0;
};

// Moves the cursor past one byte of UTF-8 text. A character takes a column
// at its first byte, on a new row when this one is full: the terminal wraps
// only once another character comes, so a line exactly as wide as the
// screen takes one row. A tab goes to the next multiple of 8; the terminal
// stops it at the last column rather than wrapping.
void advance(cursor* at, unsigned char byte) {
  if (byte == '\t') {
    at->column = std::min((at->column / 8 + 1) * 8, std::max(at->column, at->width - 1));
  } else if ((byte & 0xC0) != 0x80) {
    if (at->column >= at->width) {
      ++at->rows;
      at->column = 0;
    }
    ++at->column;
  }
}

// The pager's terminal in single keys, without echo, and the mode it had.
struct key_mode {
  int fd = -1;  // while switched
  termios saved{};
};

// Switches the terminal of in to single keys without echo. Returns false,
// leaving it as it was, when it is not a terminal that can switch.
bool enter_key_mode(FILE* in, key_mode* mode) {
  const int fd = fileno(in);
  termios keys{};
  if (tcgetattr(fd, &mode->saved) != 0) return false;
  keys = mode->saved;
  keys.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO);
  keys.c_cc[VMIN] = 1;
  keys.c_cc[VTIME] = 0;
  // Guarded first, so that an interrupt at any point finds its mode put back.
  guard_terminal_mode(fd, &mode->saved, &keys);
  // tcsetattr succeeds when any of the changes could be made: only the
  // mode read back tells.
  if (tcsetattr(fd, TCSANOW, &keys) != 0 || tcgetattr(fd, &keys) != 0 || (keys.c_lflag & (ICANON | ECHO)) != 0) {
    tcsetattr(fd, TCSANOW, &mode->saved);
    guard_terminal_mode(-1, nullptr, nullptr);
    return false;
  }
  mode->fd = fd;
  return true;
}

void leave_key_mode(key_mode* mode) {
  if (mode->fd < 0) return;
  tcsetattr(mode->fd, TCSANOW, &mode->saved);
  guard_terminal_mode(-1, nullptr, nullptr);
  mode->fd = -1;
}

// The license, a screen at a time: after each screen but the last the user
// presses Enter or space for the next one, or q to go to the question, as
// single keys; on a terminal that cannot switch to single keys, as lines
// (q for the question, any other line for the next screen).
void page_license(FILE* in, FILE* out, const std::string& license) {
  static const char MORE[] = "--More-- (Enter: next screen, q: to the question) ";
  winsize size{};
  const bool known = ioctl(fileno(out), TIOCGWINSZ, &size) == 0;
  const int rows = known && size.ws_row > 2 ? size.ws_row : 24;
  // 0, unknown: every line is taken for one row.
  const int width = known ? size.ws_col : 0;
  key_mode mode;
  bool tried = false;
  std::size_t at = 0;
  std::string answer;
  for (;;) {
    // The last row is the prompt's.
    const std::size_t end = at + screen_fill(std::string_view(license).substr(at), width, rows - 1);
    print_license(out, std::string_view(license).substr(at, end - at));
    at = end;
    if (at >= license.size()) break;
    fputs(MORE, out);
    fflush(out);
    if (!tried) {
      tried = true;
      enter_key_mode(in, &mode);
    }
    if (mode.fd < 0) {
      if (!read_line(in, &answer) || answer == "q" || answer == "Q") break;
      continue;
    }
    int key = 0;
    do key = getc(in);
    while (key != EOF && key != '\n' && key != '\r' && key != ' ' && key != 'q' && key != 'Q' &&
           key != mode.saved.c_cc[VEOF]);
    // No echo moved the cursor: the prompt makes way for what follows.
    fprintf(out, "\r%*s\r", static_cast<int>(sizeof MORE - 1), "");
    if (key == EOF || key == 'q' || key == 'Q' || key == mode.saved.c_cc[VEOF]) break;
  }
  leave_key_mode(&mode);
}

}  // namespace

int screen_rows(std::string_view line, int width) {
  if (width <= 0) return 1;
  cursor at{width};
  for (const char byte : line) advance(&at, static_cast<unsigned char>(byte));
  return at.rows;
}

std::size_t screen_fill(std::string_view text, int width, int rows) {
  std::size_t at = 0;
  for (int left = rows; at < text.size() && left > 0;) {
    const std::size_t end = std::min(text.find('\n', at), text.size());
    const std::string_view line = text.substr(at, end - at);
    const int taken = screen_rows(line, width);
    if (taken > left) {
      // Cut where the rows left run out, before the character that would
      // begin one row more; the next screen goes on from there.
      cursor cut{width};
      std::size_t i = 0;
      while (i < line.size()) {
        advance(&cut, static_cast<unsigned char>(line[i]));
        if (cut.rows > left) break;
        ++i;
      }
      return at + i;
    }
    left -= taken;
    at = end == text.size() ? end : end + 1;
  }
  return at;
}

void print_license(FILE* out, std::string_view text) {
  fwrite(text.data(), 1, text.size(), out);
  if (!text.empty() && text.back() != '\n') putc('\n', out);
}

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
    print_license(out, license);
  }
  std::string answer;
  for (int attempt = 0; attempt < PROMPT_ATTEMPTS; ++attempt) {
    fputs("Do you accept this license? [yes/no] ", out);
    fflush(out);
    if (!read_line(in, &answer)) return 1;
    while (!answer.empty() && (answer.back() == '\r' || answer.back() == ' ')) answer.pop_back();
    for (char& c : answer) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
    if (answer == "y" || answer == "yes") return 0;
    // An empty line is no answer: Enter also moves the pager on, and one
    // press more than there were screens must not decline unread.
    if (answer == "n" || answer == "no") return 1;
  }
  return 1;
}
