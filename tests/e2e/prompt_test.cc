// --confirm: both questions answered from standard input.
#include "installer_support.h"

namespace e2e {
namespace {

class PromptTest : public InstallerTest {
 protected:
  // install.sh exits with 3, so the status tells whether it ran.
  void SetUp() override { make_script_package("setup.run", "echo ran; exit 3\n"); }

  std::string extract_question() {
    const auto kb = (std::filesystem::file_size(path("setup.run.tar")) + 1023) / 1024;
    return "About to extract " + std::to_string(kb) + " KB in setup.run.dir ... Proceed? [y/n] ";
  }
};

const std::string SCRIPT_QUESTION = "OK to execute: install.sh ? [y/n] ";

std::string times(const std::string& text, int n) {
  std::string out;
  for (int i = 0; i < n; ++i) out += text;
  return out;
}

// One answer sequence, judged the same way by both questions.
struct answer_row {
  const char* label;
  std::string input;
  int asked;   // how many times the question is printed
  int answer;  // 0 yes, 1 no, -1 no valid answer
};

const answer_row ANSWERS[] = {
    {"y", "y\n", 1, 0},
    {"Y", "Y\n", 1, 0},
    {"yes", "yes\n", 1, 0},
    {"empty line", "\n", 1, 0},
    {"n", "n\n", 1, 1},
    {"N", "N\n", 1, 1},
    {"no", "no\n", 1, 1},
    {"invalid then y", "maybe\ny\n", 2, 0},
    {"invalid then n", "x\nn\n", 2, 1},
    {"leading blank", " y\n n\nno\n", 3, 1},
    {"yes with 0xFF", "y\xff\xffs \xff\n", 1, 0},
    {"0xFF first", "\xffy\nY\n", 2, 0},
    {"five invalid", "a\nb\nc\nd\ne\n", 5, -1},
    {"four invalid then y", "a\nb\nc\nd\ny\n", 5, 0},
};

TEST_F(PromptTest, ExtractionQuestion) {
  for (const answer_row& row : ANSWERS) {
    SCOPED_TRACE(row.label);
    // The line after the answers answers the script question; it shows that
    // the whole answer line was consumed, and is never read after five misses.
    std::string out = VERIFIED + times(extract_question(), row.asked);
    if (row.answer == 0) out += uncompressing("setup.run.dir") + SCRIPT_QUESTION + "ran\n";
    EXPECT_RUN(run_package("setup.run", {"--confirm"}, with_input(row.input + "y\n")), out, "",
               row.answer == 0 ? 3 : 0);
    EXPECT_FALSE(exists(path("setup.run.dir")));
  }
}

TEST_F(PromptTest, ScriptQuestion) {
  for (const answer_row& row : ANSWERS) {
    SCOPED_TRACE(row.label);
    // Declined or unanswered: the script is skipped, the directory still goes, status 0.
    const std::string out = VERIFIED + extract_question() + uncompressing("setup.run.dir") +
                            times(SCRIPT_QUESTION, row.asked) + (row.answer == 0 ? "ran\n" : "");
    EXPECT_RUN(run_package("setup.run", {"--confirm"}, with_input("y\n" + row.input)), out, "",
               row.answer == 0 ? 3 : 0);
    EXPECT_FALSE(exists(path("setup.run.dir")));
  }
}

TEST_F(PromptTest, InputAtItsEnd) {
  EXPECT_RUN(run_package("setup.run", {"--confirm"}), VERIFIED + times(extract_question(), 5), "", 0);
  EXPECT_FALSE(exists(path("setup.run.dir")));
  EXPECT_RUN(run_package("setup.run", {"--confirm"}, with_input("y\n")),
             VERIFIED + extract_question() + uncompressing("setup.run.dir") + times(SCRIPT_QUESTION, 5), "", 0);
  EXPECT_FALSE(exists(path("setup.run.dir")));
}

TEST_F(PromptTest, QuestionsNameTheDirectoryAndTheArguments) {
  const auto kb = (std::filesystem::file_size(path("setup.run.tar")) + 1023) / 1024;
  const std::string target = path("t d");
  EXPECT_RUN(run_package("setup.run", {"--confirm", "--target", target, "--", "a b", "c", "$x"}, with_input("\nn\n")),
             VERIFIED + "About to extract " + std::to_string(kb) + " KB in " + target + " ... Proceed? [y/n] " +
                 uncompressing(target) + "OK to execute: install.sh a b c $x ? [y/n] ",
             "", 0);
  EXPECT_FALSE(exists(target));
  // With --keep the declined script leaves the directory.
  EXPECT_RUN(run_package("setup.run", {"--keep", "--confirm"}, with_input("y\nn\n")),
             VERIFIED + extract_question() + uncompressing("setup.run.dir") + SCRIPT_QUESTION, "", 0);
  EXPECT_TRUE(exists(path("setup.run.dir/install.sh")));
}

}  // namespace
}  // namespace e2e
