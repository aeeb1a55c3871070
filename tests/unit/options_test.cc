// The installer and builder command lines.
#include <getopt.h>
#include <unistd.h>

#include <optional>

#include "driver/options.h"
#include "../help_text.h"
#include "support.h"

namespace {

using namespace test_support;

struct parsed {
  int result;
  installer_options options;
  std::string out, err;
};

template <typename Parser>
parsed parse(Parser parser, Argv args) {
  parsed p;
  optind = 0;  // glibc starts a fresh scan
  testing::internal::CaptureStdout();
  testing::internal::CaptureStderr();
  p.result = parser(args.argc(), args.argv(), &p.options);
  p.out = testing::internal::GetCapturedStdout();
  p.err = testing::internal::GetCapturedStderr();
  return p;
}

TEST(InstallerOptions, GrammarTable) {
  using strings = std::vector<std::string>;
  const struct row {
    strings args;
    int result = 0;
    std::string err = "";  // exact, or contained when err_part is set
    bool err_part = false;
    int confirm = 0, check = 0, info = 0, keep = 0, noexec = 0, accept = 0, show_license = 0, quiet = 0, skip = 0;
    std::optional<std::string> target = std::nullopt;
    tar_action action = TAR_EXTRACT;
    std::string tar_command = "";
    strings script = {};
    strings signers = {};
  } rows[] = {
      {.args = {"setup.run"}},
      {.args = {"setup.run", "--", "a", "b"}, .script = {"a", "b"}},
      {.args = {"setup.run", "--keep", "--", "--x"}, .keep = 1, .script = {"--x"}},
      {.args = {"setup.run", "--", "--", "a b"}, .script = {"--", "a b"}},
      {.args = {"setup.run", "--"}},
      {.args = {"setup.run", "foo"}, .result = -1, .err = "Unknown argument foo\n"},
      {.args = {"setup.run", "--keep", "foo"}, .result = -1, .err = "Unknown argument foo\n", .keep = 1},
      {.args = {"setup.run", "foo", "--", "bar"}, .script = {"foo", "bar"}},
      {.args = {"setup.run", "foo", "--noexec", "--", "bar"}, .noexec = 1, .script = {"foo", "bar"}},
      {.args = {"setup.run", "--tar", "tvf"}, .action = TAR_CUSTOM, .tar_command = "tar tvf -"},
      {.args = {"setup.run", "--tar", "tvf", "extra", "--", "more"},
       .action = TAR_CUSTOM, .tar_command = "tar tvf - extra -- more"},
      {.args = {"setup.run", "--tar", "xf", "./install.sh"}, .action = TAR_CUSTOM, .tar_command = "tar xf - ./install.sh"},
      {.args = {"setup.run", "--keep", "--tar", "x f", "--target", "d"},
       .keep = 1, .action = TAR_CUSTOM, .tar_command = "tar x f - --target d"},
      {.args = {"setup.run", "--list", "--bogus"}, .action = TAR_LIST},
      {.args = {"setup.run", "--list", "foo"}, .action = TAR_LIST},
      {.args = {"setup.run", "--info", "--keep"}, .info = 1},
      {.args = {"setup.run", "--confirm", "--target", "d", "--info"}, .confirm = 1, .info = 1, .target = "d"},
      {.args = {"setup.run", "--target", "a", "--target=b"}, .target = "b"},
      {.args = {"setup.run", "--conf", "--che", "--noe", "--k"}, .confirm = 1, .check = 1, .keep = 1, .noexec = 1},
      {.args = {"setup.run", "--ta", "x"}, .result = -1, .err = "is ambiguous", .err_part = true},
      {.args = {"setup.run", "--tar"}, .result = -1, .err = "requires an argument", .err_part = true},
      {.args = {"setup.run", "--target"}, .result = -1, .err = "requires an argument", .err_part = true},
      {.args = {"setup.run", "--bogus"}, .result = -1, .err = "unrecognized option", .err_part = true},
      {.args = {"setup.run", "--accept", "--q", "--signer", "SHA256:a", "--signer=SHA256:b"},
       .accept = 1, .quiet = 1, .signers = {"SHA256:a", "SHA256:b"}},
      {.args = {"setup.run", "--show-license", "--keep"}, .show_license = 1},
      {.args = {"setup.run", "--s", "x"}, .result = -1, .err = "is ambiguous", .err_part = true},
      // Prefixes that worked before the newer options came keep their meaning.
      {.args = {"setup.run", "--l"}, .action = TAR_LIST},
      {.args = {"setup.run", "--li"}, .action = TAR_LIST},
      {.args = {"setup.run", "--i"}, .info = 1},
      {.args = {"setup.run", "--inf"}, .info = 1},
      {.args = {"setup.run", "--ch", "--co", "--n", "--k", "--targ", "d"},
       .confirm = 1, .check = 1, .keep = 1, .noexec = 1, .target = "d"},
      {.args = {"setup.run", "--c"}, .result = -1, .err = "is ambiguous", .err_part = true},
      {.args = {"setup.run", "--sh"}, .show_license = 1},
      {.args = {"setup.run", "--si", "SHA256:a", "--sk"}, .skip = 1, .signers = {"SHA256:a"}},
      {.args = {"setup.run", "--skip-space-check", "--noexec"}, .noexec = 1, .skip = 1},
  };
  for (const row& r : rows) {
    std::string line;
    for (const std::string& word : r.args) line += word + " ";
    SCOPED_TRACE(line);
    const parsed p = parse(parse_installer_options, Argv(r.args));
    EXPECT_EQ(p.result, r.result);
    if (r.err_part) EXPECT_NE(p.err.find(r.err), std::string::npos) << p.err;
    else EXPECT_EQ(p.err, r.err);
    EXPECT_EQ(p.out, "");
    const installer_options& o = p.options;
    EXPECT_EQ((std::vector<int>{o.confirm, o.check, o.info, o.keep, o.noexec, o.create, o.accept, o.show_license,
                                o.quiet, o.skip_space_check}),
              (std::vector<int>{r.confirm, r.check, r.info, r.keep, r.noexec, 0, r.accept, r.show_license, r.quiet,
                                r.skip}));
    EXPECT_EQ(o.signers, r.signers);
    EXPECT_EQ(o.target_dir, r.target);
    EXPECT_EQ(o.tar_action, r.action);
    EXPECT_EQ(o.tar_command, r.tar_command);
    EXPECT_EQ(o.script_args, r.script);
  }
}

TEST(BuilderOptions, GrammarTable) {
  const std::string usage = builder_usage("setup.run");
  const struct {
    std::vector<std::string> args;
    int result, create;
    std::string installer, tar, out, err;
    bool err_part;
    std::string settings = "";  // what the settings options set, as settings_of shows it
  } rows[] = {
      {{"/x/setup.run"}, 0, 0, "", "", "", "", false},
      {{"/x/setup.run", "--create", "out.run", "payload.tar", "extra"}, 0, 1, "out.run", "payload.tar", "", "", false},
      {{"/x/setup.run", "--cr=out.run", "payload.tar"}, 0, 1, "out.run", "payload.tar", "", "", false},
      {{"/x/setup.run", "--c", "out.run", "payload.tar", "--help", "--create", "x", "y"},
       0, 1, "out.run", "payload.tar", "", "", false},
      {{"/x/setup.run", "--create", "out.run"}, -1, 1, "", "", usage, "", false},
      {{"/x/setup.run", "--create"}, -1, 0, "", "", "", "requires an argument", true},
      {{"/x/setup.run", "--bogus", "--create", "a", "b"}, -1, 0, "", "", "", "unrecognized option", true},
      // A misspelt setting after the package's name is an error, never a
      // package without it.
      {{"/x/setup.run", "--create", "a", "b", "--lable", "x"}, -1, 1, "a", "b", "", "unrecognized option", true},
      {{"/x/setup.run", "--label", "L", "--create", "out.run", "payload.tar", "--license", "F", "--sign=K"},
       0, 1, "out.run", "payload.tar", "", "", false, "label=L license=F sign=K "},
      {{"/x/setup.run", "--create", "out.run", "--label", "--license", "F"},
       0, 1, "out.run", "--label", "", "", false, "license=F "},
      {{"/x/setup.run", "--inspect", "p.run", "--signer", "SHA256:a", "--signer", "SHA256:b", "--create", "x", "y"},
       0, 0, "", "", "", "", false, "inspect=p.run signer=SHA256:a signer=SHA256:b "},
      {{"/x/setup.run", "--l", "x"}, -1, 0, "", "", "", "is ambiguous", true},
  };
  const auto settings_of = [](const installer_options& o) {
    std::string shown;
    if (o.label) shown += "label=" + *o.label + " ";
    if (o.license_file) shown += "license=" + *o.license_file + " ";
    if (o.sign_key) shown += "sign=" + *o.sign_key + " ";
    if (o.inspect) shown += "inspect=" + *o.inspect + " ";
    for (const std::string& signer : o.signers) shown += "signer=" + signer + " ";
    return shown;
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(*(r.args.begin() + (r.args.size() > 1)));
    const parsed p = parse(parse_builder_options, Argv(r.args));
    EXPECT_EQ(p.result, r.result);
    EXPECT_EQ(p.options.create, r.create);
    EXPECT_EQ(p.options.installer_name, r.installer);
    EXPECT_EQ(p.options.tar_name, r.tar);
    EXPECT_EQ(p.out, r.out);
    if (r.err_part) EXPECT_NE(p.err.find(r.err), std::string::npos) << p.err;
    else EXPECT_EQ(p.err, r.err);
    EXPECT_EQ(settings_of(p.options), r.settings);
  }
}

const char* const HELP = SETUP_RUN_HELP;

// Runs a parser that must exit 0 in a child whose standard output is
// standard error, so the printed text can be matched exactly.
template <typename Parser>
void expect_exit_printing(Parser parser, const std::vector<std::string>& words, const std::string& text) {
  std::string line;
  for (const std::string& word : words) line += word + " ";
  SCOPED_TRACE(line);
  EXPECT_EXIT(
      {
        Argv args(words);
        installer_options options;
        optind = 0;
        dup2(2, 1);
        parser(args.argc(), args.argv(), &options);
        fputs("parser returned\n", stderr);
        _exit(1);
      },
      testing::ExitedWithCode(0), exactly(text));
}

TEST(OptionsDeathTest, HelpAndVersionPrintAndExit) {
  const std::string version = "Quarnel Installer 1.0.0\n";
  const std::string usage = builder_usage("setup.run");
  expect_exit_printing(parse_installer_options, {"./setup.run", "--help"}, HELP);
  expect_exit_printing(parse_installer_options, {"./setup.run", "-h", "--bogus"}, HELP);
  expect_exit_printing(parse_installer_options, {"./setup.run", "--keep", "--he"}, HELP);
  expect_exit_printing(parse_installer_options, {"./setup.run", "--version"}, version);
  expect_exit_printing(parse_builder_options, {"/opt/setup.run", "--help"}, usage);
  expect_exit_printing(parse_builder_options, {"/opt/setup.run", "-h"}, usage);
  expect_exit_printing(parse_builder_options, {"/opt/setup.run", "--version", "--create"}, version);
  // Today's prefixes, in both modes.
  expect_exit_printing(parse_installer_options, {"./setup.run", "--vers"}, version);
  expect_exit_printing(parse_installer_options, {"./setup.run", "--h"}, HELP);
  expect_exit_printing(parse_builder_options, {"/opt/setup.run", "--label", "L", "--v"}, version);
  expect_exit_printing(parse_builder_options, {"/opt/setup.run", "--h"}, usage);
}

}  // namespace
