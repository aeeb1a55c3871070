// Packages that speak for their publisher: a label, a license accepted
// before anything is extracted, quiet runs, and settings that are refused
// when they are bad or damaged.
#include <filesystem>
#include <random>

#include "../help_text.h"
#include "installer_support.h"
#include "package_bytes.h"

namespace e2e {
namespace {

namespace fs = std::filesystem;

const std::string LABEL = "Demo Tool 1.0 \xE2\x9C\x93", TERMS = "Terms of use\nline two\n";
const std::string QUESTION = "Do you accept this license? [yes/no] ";

class SettingsTest : public InstallerTest {
 protected:
  static std::string made_in(const std::string& package) { return uncompressing(package + ".dir"); }
  // demo.run: labelled and licensed; install.sh says what it got.
  void SetUp() override {
    make_tar("payload.tar", {{"install.sh", "echo \"installed $*\"\n"}});
    write_file(path("LICENSE"), TERMS);
    build({"--label", LABEL, "--create", "demo.run", "payload.tar", "--license", "LICENSE"}, "", 0);
    kb = std::to_string((fs::file_size(path("payload.tar")) + 1023) / 1024);  // each tar pads its own way
  }
  std::string kb;
  void build(const std::vector<std::string>& args, const std::string& err, int status) {
    const run_result r = run_in_dir(stub_path(), args);
    EXPECT_RUN(r, "", err, status);
  }
  // Runs bytes as ./case.run with --check; a damaged package must end with
  // one message, never a signal, and make nothing.
  run_result check_bytes(const std::string& bytes) {
    write_file(path("case.run"), bytes, 0755);
    const run_result r = run_package("case.run", {"--check"});
    EXPECT_EQ(r.signal, 0);
    EXPECT_FALSE(exists(path("case.run.dir")));
    return r;
  }
};

TEST_F(SettingsTest, LicenseLabelAndQuietRuns) {
  const std::string head = LABEL + "\n" + VERIFIED, shown = head + TERMS, made = uncompressing("demo.run.dir");
  const struct {
    std::vector<std::string> args;
    std::string input, out, err;
    int status;
  } rows[] = {
      {{"--", "a"}, "yes\n", shown + QUESTION + made + "installed a\n", "", 0},
      {{}, "maybe\nOK\nyEs\n", shown + QUESTION + QUESTION + QUESTION + made + "installed \n", "", 0},
      {{}, "no\n", shown + QUESTION, "License not accepted\n", 254},
      // An empty answer asks again (Enter also moves the pager on).
      {{}, "\n\nyes\n", shown + QUESTION + QUESTION + QUESTION + made + "installed \n", "", 0},
      {{}, "", shown + QUESTION, "License not accepted\n", 254},
      {{}, "a\nb\nc\nd\ne\nyes\n", shown + QUESTION + QUESTION + QUESTION + QUESTION + QUESTION,
       "License not accepted\n", 254},
      {{"--noexec"}, "n\n", shown + QUESTION, "License not accepted\n", 254},
      {{"--tar", "xf"}, "N\n", shown + QUESTION, "License not accepted\n", 254},
      // The license question comes before --confirm's own.
      {{"--confirm"}, "y\nn\n", shown + QUESTION + "About to extract " + kb + " KB in demo.run.dir ... Proceed? [y/n] ", "", 0},
      {{"--accept"}, "", head + made + "installed \n", "", 0},
      {{"--quiet"}, "yes\n", TERMS + QUESTION + "installed \n", "", 0},
      {{"--quiet", "--accept", "--", "b"}, "", "installed b\n", "", 0},
      {{"--quiet", "--check"}, "", "", "", 0},
      {{"--check"}, "", head, "", 0},
      {{"--show-license", "--bogus"}, "", TERMS, "", 0},
      {{"--info"}, "",
       "TAR size: " + kb + " KB \nTarget directory: demo.run.dir \nScript to run after the extraction: ./install.sh\n"
       "directory demo.run.dir is permanent\nLabel: " + LABEL + "\nLicense: present (--show-license shows it)\n" +
           architecture_line(),
       "", 0},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(testing::Message() << (r.args.empty() ? "(no options)" : r.args[0]) << " << " << r.input);
    EXPECT_RUN(run_package("demo.run", r.args, with_input(r.input)), r.out, r.err, r.status);
    // Declined means nothing extracted, nothing made.
    EXPECT_FALSE(exists(path("demo.run.dir")));
    EXPECT_FALSE(exists(path("install.sh")));
  }
  // A listing needs no acceptance; a plain package has no license to show.
  EXPECT_RUN(run_package("demo.run", {"--list"}), head + host_listing(path("payload.tar")), "", 0);
  make_package("plain.run", "payload.tar");
  EXPECT_RUN(run_package("plain.run", {"--show-license"}), "This package has no license\n", "", 0);
  // A failed check under --quiet still says so, on standard error.
  std::string broken = read_file(path("demo.run"));
  broken.back() ^= 1;
  write_file(path("broken.run"), broken, 0755);
  EXPECT_RUN(run_package("broken.run", {"--quiet", "--accept"}), "", "Verifying archive integrity... Failed.\n", 255);
}

// On a terminal a long license comes a screen at a time (24 lines where the
// size is unknown), moved on by single keys: Enter or space for the next
// screen, q for the question at once, other keys ignored. Where the width
// is known, a screen counts the rows that long lines wrap to, and cuts a
// line that does not fit. However the pager is left, the terminal has its
// mode back afterwards.
TEST_F(SettingsTest, LongLicenseOnATerminal) {
  std::string terms, paragraphs, line;
  for (int i = 1; i <= 50; ++i) terms += "term " + std::to_string(i) + "\n";
  // 40 paragraphs of 5 rows at 100 columns, a blank line between them.
  for (int i = 1; i <= 40; ++i) {
    std::string words;
    while (words.size() < 440) words += "lorem ";
    paragraphs += (i > 1 ? "\n" : "") + words + "term " + std::to_string(i) + "\n";
  }
  // 30 rows at 100 columns with no line end at all, each marked [NN].
  for (int i = 1; i <= 30; ++i) line += (i < 10 ? "[0" : "[") + std::to_string(i) + "]" + std::string(96, 'x');
  for (const auto& [name, text] : {std::pair{"long", terms}, {"wide", paragraphs}, {"line", line}}) {
    write_file(path(name), text);
    build({"--create", std::string(name) + ".run", "payload.tar", "--license", name}, "", 0);
  }
  // keys.sh PACKAGE [TERMINAL SIZE]
  write_file(path("keys.sh"), "[ -z \"$2\" ] || stty $2; ./$1; echo status=$?; stty -a\n");
  // interrupt.sh SIGNAL: the signal comes once the pager has switched the
  // terminal; standard input stays open until then, since its end would be
  // a key. The package runs in the foreground: a background job would
  // start with SIGQUIT ignored.
  write_file(
      path("interrupt.sh"),
      "mode=$(stty -g); ulimit -c 0\n"
      "(i=0; while [ \"$(stty -g </dev/tty)\" = \"$mode\" ] && [ $i -lt 1200 ]; do sleep 0.05; i=$((i + 1)); done\n"
      " kill -$1 $(cat pid)) &\n"
      "sh -c 'echo $$ >pid; exec ./long.run'; echo status=$?; stty -a; kill $(cat sleeper)\n");
  const auto term = [](int n) { return "term " + std::to_string(n) + "\r\n"; };
  const std::string sleeper = "sh -c 'echo $$ >sleeper; exec sleep 60'";
  const struct {
    const char* label;
    std::string input, script;
    int pages;                  // --More-- prompts
    std::string shown, hidden;  // the last text shown, and what follows it
    std::string status;
  } rows[] = {
      {"Enter, then q with no Enter", "printf '\\nqyes\\n'", "keys.sh long.run", 2, term(46), term(47), "status=0"},
      {"space, an ignored key, Enter", "printf ' x\\nyes\\n'", "keys.sh long.run", 2, term(50), term(51), "status=0"},
      {"q, then no", "printf 'qno\\n'", "keys.sh long.run", 1, term(23), term(24), "status=254"},
      // The third Enter meets the question, which asks again.
      {"one Enter more than screens", "printf '\\n\\n\\nyes\\n'", "keys.sh long.run", 2, term(50), term(51),
       "status=0"},
      // 29 rows: paragraphs 1 to 5 and the blank lines between them.
      {"long lines, 100x30", "printf 'qyes\\n'", "keys.sh wide.run 'rows 30 cols 100'", 1, term(5), term(6),
       "status=0"},
      {"no line end, 100x30", "printf 'qyes\\n'", "keys.sh line.run 'rows 30 cols 100'", 1, "[29]", "[30]", "status=0"},
      {"terminated", sleeper, "interrupt.sh TERM", 1, term(23), term(24), "status=143"},
      {"quit (Ctrl-\\)", sleeper, "interrupt.sh QUIT", 1, term(23), term(24), "status=131"},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.label);
    const std::string raw =
        shell("cd '" + dir.path() + "' && " + r.input + " | script -qec \"sh " + r.script + "\" /dev/null");
    int pages = 0;
    for (std::size_t at = 0; (at = raw.find("--More--", at)) != std::string::npos; ++at) ++pages;
    EXPECT_EQ(pages, r.pages) << raw;
    EXPECT_NE(raw.find(r.shown), std::string::npos) << raw;
    EXPECT_EQ(raw.find(r.hidden), std::string::npos) << raw;
    EXPECT_EQ(raw.find(QUESTION) != std::string::npos, r.script.rfind("keys.sh", 0) == 0) << raw;
    EXPECT_NE(raw.find(r.status + "\r\n"), std::string::npos) << raw;
    EXPECT_NE(raw.find(" icanon "), std::string::npos) << raw;
    EXPECT_NE(raw.find(" echo "), std::string::npos) << raw;
  }
}

TEST_F(SettingsTest, BuilderRefusesBadSettingsAndLeavesTheOutputAlone) {
  write_file(path("big"), std::string((1 << 20) + 1, 'x'));
  write_file(path("escape"), "see \x1b[8mhidden\n");
  write_file(path("latin1"), "caf\xe9\n");
  const struct {
    std::vector<std::string> settings;
    std::string err;
  } rows[] = {
      {{"--label", ""}, "Cannot use the label: it is empty\n"},
      {{"--label", "two\nlines"}, "Cannot use the label: it holds a control character\n"},
      {{"--label", std::string(201, 'x')}, "Cannot use the label: it is longer than 200 bytes\n"},
      {{"--label", "\xff"}, "Cannot use the label: it is not UTF-8 text\n"},
      {{"--license", "missing"}, "Cannot read license missing: No such file or directory\n"},
      {{"--license", "/dev/null"}, "Cannot use license /dev/null: it is not a regular file\n"},
      {{"--license", "big"}, "Cannot use license big: it is larger than 1 MiB\n"},
      {{"--license", "escape"}, "Cannot use license escape: it holds a control character\n"},
      {{"--license", "latin1"}, "Cannot use license latin1: it is not UTF-8 text\n"},
  };
  const std::string before = read_file(path("demo.run"));
  for (const auto& r : rows) {
    SCOPED_TRACE(r.err);
    std::vector<std::string> args = r.settings;
    args.insert(args.end(), {"--create", "demo.run", "payload.tar"});
    build(args, r.err, 255);
    EXPECT_TRUE(read_file(path("demo.run")) == before);
    EXPECT_EQ(file_mode(path("demo.run")), 0755);
  }
  // The longest label and license pass; the order of the options does not matter.
  write_file(path("LICENSE"), std::string((1 << 20) - 1, 'x') + "\n");
  build({"--create", "a.run", "payload.tar", "--license", "LICENSE", "--label", std::string(200, 'x')}, "", 0);
  build({"--license", "LICENSE", "--label", std::string(200, 'x'), "--create", "b.run", "payload.tar"}, "", 0);
  EXPECT_TRUE(read_file(path("a.run")) == read_file(path("b.run")));
  // The stub of a package is not a builder.
  const std::string stub_of_demo = before.substr(0, before.size() - 24 - fs::file_size(path("payload.tar")));
  write_file(path("demo-stub"), stub_of_demo, 0755);
  build({"--create", "out.run", "payload.tar"}, "", 0);
  EXPECT_RUN(run_package("demo-stub", {"--create", "out.run", "payload.tar"}), "",
             "./demo-stub carries package settings and is not a builder\n", 255);
}

TEST_F(SettingsTest, DamagedSettingsAreRefused) {
  const std::string package = read_file(path("demo.run"));
  // The settings come after any copy of the magic in the stub's own data.
  const std::size_t at = package.rfind(std::string("QRNLSET\x01", 8));
  ASSERT_NE(at, std::string::npos);
  const std::string damaged = "Damaged package settings: ";
  const auto put32 = [](std::string bytes, std::size_t where, uint32_t value) {
    for (int i = 0; i < 4; ++i) bytes[where + i] = static_cast<char>(value >> (8 * i));
    return bytes;
  };
  // The settings' own section header, the last entry of the stub's table,
  // in the stub's class and byte order.
  const std::size_t image_end = package.size() - 24 - fs::file_size(path("payload.tar"));
  const bool wide = package[4] == 2, big = package[5] == 2;
  const std::size_t entry = image_end - (wide ? 64 : 40), width = wide ? 8 : 4;
  const auto put_field = [&](std::size_t where, uint64_t value) {
    std::string bytes = package;
    for (std::size_t i = 0; i < width; ++i) bytes[where + (big ? width - 1 - i : i)] = static_cast<char>(value >> (8 * i));
    return bytes;
  };
  const struct {
    std::string bytes, err;
  } rows[] = {
      {put_field(entry + (wide ? 24 : 16), 10), damaged + "the section lies outside the image\n"},
      {put_field(entry + (wide ? 32 : 20), image_end - at - 1), damaged + "the section overlaps the section headers\n"},
      // Moved onto the section name table, which follows it.
      {put_field(entry + (wide ? 24 : 16), at + 8), damaged + "the section overlaps another section\n"},
      {put32(package, at, 0), damaged + "unknown format\n"},
      {put32(package, at + 8, 9), damaged + "unknown record\n"},
      {put32(package, at + 8, 3), damaged + "a record appears twice\n"},
      {put32(package, at + 12, 0xFFFFFFF0u), damaged + "a record's length runs past the end of the settings\n"},
      {put32(package, at + 12, 0), damaged + "bad label (it is empty)\n"},
      {put32(package, at + 8, 1), damaged + "the signature slot's size is out of bounds\n"},
      {put32(package, at + 16, 0x0A0A0A0A), damaged + "bad label (it holds a control character)\n"},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.err);
    EXPECT_RUN(check_bytes(r.bytes), "", r.err, 255);
  }
  // Random bytes anywhere in the settings: a message and 255, or a run of
  // what is still a valid package.
  std::mt19937 random(17);
  for (int round = 0; round < 40; ++round) {
    std::string bytes = package;
    for (int k = 0; k < 1 + round % 4; ++k) bytes[at + random() % 64] = static_cast<char>(random());
    const run_result r = check_bytes(bytes);
    SCOPED_TRACE(r.err);
    EXPECT_TRUE((r.status == 255 && r.err.starts_with(damaged) && r.err.find('\n') == r.err.size() - 1) ||
                (r.status == 0 && r.err.empty()));
  }
}

// md5 of the archive region of package, written back into its header.
std::string with_fixed_digest(std::string package, std::size_t image_end) {
  const std::string digest = unhex(md5_hex(package.substr(image_end + 24)));
  return package.replace(image_end + 8, 16, digest);
}

// Copies package, signed with an RSA key whose exponent is 65537 and
// carrying an archive of archive_size bytes, to reencoded, with the key
// inside its signature written as 00 01 00 01 for 01 00 01.
void reencode_rsa_key(const std::string& package, std::size_t archive_size, const std::string& reencoded) {
  std::string bytes = read_file(package);
  // The signature's slot, 16 bytes into the settings; its length is the
  // little-endian u32 before it.
  const std::size_t slot = bytes.rfind(std::string("QRNLSET\x01", 8), bytes.size() - 24 - archive_size) + 16;
  std::size_t slot_size = 0;
  for (int i = 3; i >= 0; --i) slot_size = slot_size << 8 | static_cast<unsigned char>(bytes[slot - 4 + i]);
  const std::size_t begin = bytes.find('\n', slot) + 1, end = bytes.find("-----END", begin);
  std::string body = bytes.substr(begin, end - begin);
  std::erase(body, '\n');
  std::string blob = shell("printf %s " + body + " | base64 -d");
  // "SSHSIG", the version, the key's length, its type "ssh-rsa", then e.
  ASSERT_EQ(blob.substr(25, 7), std::string("\0\0\0\3\1\0\1", 7));
  blob.replace(25, 7, std::string("\0\0\0\4\0\1\0\1", 8));
  ASSERT_LT(static_cast<unsigned char>(blob[13]), 0xff);
  ++blob[13];
  write_file(reencoded, blob);
  const std::string armored = "-----BEGIN SSH SIGNATURE-----\n" + shell("base64 -w 70 " + reencoded) +
                              "-----END SSH SIGNATURE-----\n";
  ASSERT_LE(armored.size(), slot_size);
  bytes.replace(slot, armored.size(), armored);
  write_file(reencoded, bytes, 0755);
}

TEST_F(SettingsTest, SignedPackagesAreCheckedBeforeAnythingHappens) {
  shell("cd " + path("") + " && ssh-keygen -q -t ed25519 -N '' -C test -f key && ssh-keygen -q -t ed25519 -N '' -f other"
        " && ssh-keygen -q -t ecdsa -N '' -f ecdsa");
  const std::string signer = shell("ssh-keygen -lf " + path("key.pub") + " | cut -d' ' -f2").substr(0, 50);
  const std::string other = shell("ssh-keygen -lf " + path("other.pub") + " | cut -d' ' -f2").substr(0, 50);
  build({"--sign", "key", "--create", "signed.run", "payload.tar", "--label", "Signed"}, "", 0);
  const std::string signed_line = "Signed by " + signer + "\n", head = "Signed\n" + VERIFIED;
  EXPECT_RUN(run_package("signed.run", {"--", "x"}), head + signed_line + made_in("signed.run") + "installed x\n", "", 0);
  EXPECT_RUN(run_package("signed.run", {"--signer", other, "--signer", signer, "--quiet"}), "installed \n", "", 0);
  EXPECT_RUN(run_package("signed.run", {"--signer", other, "--list"}), head + signed_line,
             "Package is signed by " + signer + ", not by a key given with --signer\n", 255);
  EXPECT_RUN(run_package("demo.run", {"--signer", signer, "--accept"}), LABEL + "\n" + VERIFIED,
             "Package is not signed, and --signer requires a signature\n", 255);
  EXPECT_RUN(run_package("signed.run", {"--info"}),
             "TAR size: " + kb + " KB \nTarget directory: signed.run.dir \nScript to run after the extraction: ./install.sh\n"
             "directory signed.run.dir is permanent\nLabel: Signed\nSigner: " + signer +
                 " (not checked; --check checks it)\n" + architecture_line(),
             "", 0);
  const std::string stub = stub_path();
  EXPECT_RUN(run_in_dir(stub, {"--inspect", "signed.run", "--signer", signer}),
             VERIFIED + signed_line + "Label: Signed\nTAR size: " + kb + " KB \nStub size: " +
                 std::to_string(fs::file_size(path("signed.run")) - 24 - fs::file_size(path("payload.tar"))) + " bytes\n" +
                 architecture_line(),
             "", 0);
  // The native quarnel reads a package of any of the machines the matrix builds for.
  EXPECT_EQ(run_in_dir(QUARNEL_STUB_PATH, {"--inspect", "signed.run", "--signer", signer}).out,
            run_in_dir(stub, {"--inspect", "signed.run"}).out);
  // A bare stub is told by its mark; any other program is no package.
  std::string unmarked = read_file(stub);
  unmarked[unmarked.find(std::string("QRNLSTUBQRNLSET\x01", 16))] = 'X';
  write_file(path("unmarked"), unmarked, 0755);
  const struct {
    std::string file, err;
  } not_packages[] = {
      {stub, "Cannot inspect " + stub + ": it is a bare stub, not a package\n"},
      {"/bin/ls", "Cannot inspect /bin/ls: it is not a quarnel package\n"},
      {"unmarked", "Cannot inspect unmarked: it is not a quarnel package\n"},
  };
  for (const auto& r : not_packages) EXPECT_RUN(run_in_dir(stub, {"--inspect", r.file}), "", r.err, 255);
  EXPECT_RUN(run_in_dir(stub, {"--inspect", "demo.run", "--signer", signer}), VERIFIED,
             "Package is not signed, and --signer requires a signature\n", 255);

  // Key lists, as a code host serves them: any key in any list will do. A
  // list that cannot be used stops the run before anything is shown.
  const std::string key_line = read_file(path("key.pub")), others = read_file(path("other.pub")) +
                                                                  read_file(path("ecdsa.pub"));
  write_file(path("keys.txt"), "# the team\n\n" + others + "  " + key_line);
  write_file(path("others.txt"), others);
  write_file(path("bad.txt"), key_line + "ssh-ed25519\n");
  const std::string inspected = VERIFIED + signed_line + "Label: Signed\nTAR size: " + kb + " KB \nStub size: " +
                                std::to_string(fs::file_size(path("signed.run")) - 24 -
                                               fs::file_size(path("payload.tar"))) + " bytes\n" +
                                architecture_line();
  const std::string not_listed = "Package is signed by " + signer + ", not by a key given with --signer\n";
  const struct {
    std::vector<std::string> signers;
    std::string out, err;  // of --check; --inspect adds its lines when it passes
  } lists[] = {
      {{"keys.txt"}, head + signed_line, ""},
      {{"others.txt", "--signer", signer}, head + signed_line, ""},
      {{"others.txt"}, head + signed_line, not_listed},
      {{"missing.txt"}, "", "Cannot read key list missing.txt: No such file or directory\n"},
      {{"bad.txt", "--signer", signer}, "", "Bad key list bad.txt: line 2: not TYPE BASE64 [COMMENT]\n"},
      {{"LICENSE"}, "", "Bad key list LICENSE: line 1: bad base64\n"},
  };
  for (const auto& l : lists) {
    SCOPED_TRACE(l.signers[0]);
    std::vector<std::string> args = {"--check", "--signer"};
    args.insert(args.end(), l.signers.begin(), l.signers.end());
    EXPECT_RUN(run_package("signed.run", args), l.out, l.err, l.err.empty() ? 0 : 255);
    args[0] = "signed.run";
    args.insert(args.begin(), "--inspect");
    EXPECT_RUN(run_in_dir(stub, args), l.err.empty() ? inspected : l.out.empty() ? "" : VERIFIED + signed_line, l.err,
               l.err.empty() ? 0 : 255);
  }

  // Whatever is changed, digest fixed up or not, the signature no longer
  // matches: nothing is extracted, listed or run.
  const std::string package = read_file(path("signed.run"));
  const std::size_t image_end = package.size() - 24 - fs::file_size(path("payload.tar"));
  const std::size_t label_at = package.rfind("Signed", image_end), comment_at = package.find("GCC: (");
  ASSERT_NE(comment_at, std::string::npos);
  const auto changed = [&](std::size_t at) {
    std::string bytes = package;
    bytes[at] ^= 0x01;
    return with_fixed_digest(bytes, image_end);
  };
  const std::string bad = "Bad signature: verification failed\n";
  const struct {
    const char* what;
    std::string bytes, out;
  } forged[] = {
      {"archive, digest fixed up", changed(package.size() - 700), "Signed\n" + VERIFIED},
      {"label", changed(label_at), "Rigned\n" + VERIFIED},
      {"size field", changed(image_end), "Signed\n" + VERIFIED},
      {"stub byte", changed(comment_at), "Signed\n" + VERIFIED},
  };
  for (const auto& f : forged) {
    SCOPED_TRACE(f.what);
    write_file(path("forged.run"), f.bytes, 0755);
    EXPECT_RUN(run_package("forged.run", {"--list"}), f.out, bad, 255);
    EXPECT_RUN(run_package("forged.run", {"--quiet", "--", "x"}), "", bad, 255);
    EXPECT_RUN(run_in_dir(stub, {"--inspect", "forged.run"}), VERIFIED, bad, 255);
    EXPECT_FALSE(exists(path("forged.run.dir")));
  }

  // ssh-keygen accepts the stored signature over the message: the package
  // with the signature's slot, 16 bytes into the settings, as zeros; its
  // length is its record's, the little-endian u32 before it.
  const std::size_t slot = package.rfind(std::string("QRNLSET\x01", 8), image_end) + 16;
  std::size_t slot_size = 0;
  for (int i = 3; i >= 0; --i) slot_size = slot_size << 8 | static_cast<unsigned char>(package[slot - 4 + i]);
  EXPECT_EQ(slot_size, 1024u);
  write_file(path("message"), std::string(package).replace(slot, slot_size, std::string(slot_size, '\0')));
  write_file(path("message.sig"), package.substr(slot, package.find('\0', slot) - slot));
  EXPECT_EQ(shell("ssh-keygen -Y check-novalidate -n quarnel -s " + path("message.sig") + " < " + path("message") +
                  " 2>&1"),
            "Good \"quarnel\" signature with ED25519 key " + signer + "\n");
  // Earlier releases had ssh-keygen hash with SHA-512: such a package still
  // passes, and a changed archive byte still fails it.
  write_file(path("old"), read_file(path("message")));
  shell("ssh-keygen -q -Y sign -O hashalg=sha512 -n quarnel -f " + path("key") + " " + path("old"));
  const std::string old_signature = read_file(path("old.sig"));
  ASSERT_LE(old_signature.size(), 1024u);
  std::string old = std::string(package).replace(slot, old_signature.size(), old_signature);
  old.replace(slot + old_signature.size(), 1024 - old_signature.size(), std::string(1024 - old_signature.size(), '\0'));
  write_file(path("old.run"), old, 0755);
  EXPECT_RUN(run_package("old.run", {"--check"}), head + signed_line, "", 0);
  EXPECT_EQ(run_in_dir(stub, {"--inspect", "old.run", "--signer", signer}).status, 0);
  old[old.size() - 700] ^= 0x01;
  write_file(path("old.run"), with_fixed_digest(old, image_end), 0755);
  EXPECT_RUN(run_package("old.run", {"--check"}), head, bad, 255);

  // Every other type ssh-keygen signs with, from a key file and through
  // ssh-agent: the package checks, names the key as `ssh-keygen -l` does,
  // and stock ssh-keygen accepts its signature through the documented
  // commands, which read the slot's place and length from the section.
  const std::string recipe = SIGNATURE_RECIPE;
  shell("cd " + path("") + " && ssh-agent -a agent.sock > agent.env");
  run_spec signing;
  signing.program = stub;
  signing.cwd = dir.path();
  signing.env = default_env();
  signing.env->push_back("SSH_AUTH_SOCK=" + path("agent.sock"));
  for (const std::string type : {"rsa -b 3072", "ecdsa -b 256", "ecdsa -b 384", "ecdsa -b 521"}) {
    const std::string key = type.substr(0, type.find(' ')) + type.substr(type.size() - 3);
    shell("cd " + path("") + " && ssh-keygen -q -t " + type + " -N '' -f " + key + " && ssh-keygen -q -t " + type +
          " -N '' -f " + key + "a && SSH_AUTH_SOCK=agent.sock ssh-add -q " + key + "a 2>&1 && rm " + key + "a");
    for (const std::string& signing_key : {key, key + "a.pub"}) {
      SCOPED_TRACE(signing_key);
      const std::string listed = shell("ssh-keygen -lf " + path(key + (signing_key == key ? ".pub" : "a.pub")));
      const std::string fingerprint = listed.substr(listed.find(' ') + 1, 50);
      signing.args = {"--create", "setup.run", "payload.tar", "--sign", signing_key};
      EXPECT_RUN(run(signing), "", "", 0);
      EXPECT_RUN(run_package("setup.run", {"--check"}), VERIFIED + "Signed by " + fingerprint + "\n", "", 0);
      EXPECT_EQ(shell("cd " + path("") + " && { " + recipe + "} 2>&1"),
                std::string("Good \"quarnel\" signature with ") + (key.starts_with("rsa") ? "RSA" : "ECDSA") + " key " +
                    fingerprint + "\n");
      if (signing_key == "rsa072")
        reencode_rsa_key(path("setup.run"), fs::file_size(path("payload.tar")), path("reencoded.run"));
    }
  }
  // The key in the signature, its exponent given a needless zero byte: the
  // signature does not cover the key's encoding and still holds, but the
  // fingerprint would not be the one `ssh-keygen -l` shows.
  EXPECT_RUN(run_package("reencoded.run", {"--check"}), VERIFIED, "Bad signature: public key not minimally encoded\n",
             255);
  shell("cd " + path("") + " && . ./agent.env >/dev/null && ssh-agent -k >/dev/null");

  // Keys that cannot sign are refused before the package is opened; a
  // failed signing leaves nothing runnable.
  shell("cd " + path("") + " && ssh-keygen -q -t rsa -b 1024 -N '' -f rsa1024 && ssh-keygen -q -t dsa -N '' -f dsa");
  const std::string before = read_file(path("signed.run"));
  const struct {
    const char* key;
    std::string err;
  } refused[] = {
      {"rsa1024", "Cannot sign with rsa1024: RSA keys of 1024 bits are too short (2048 at least)\n"},
      {"dsa", "Cannot sign with dsa: ssh-dss keys are not supported\n"},
  };
  for (const auto& r : refused) {
    SCOPED_TRACE(r.key);
    build({"--create", "signed.run", "payload.tar", "--sign", r.key}, r.err, 255);
    build({"--sign", r.key, "--create", "new.run", "payload.tar"}, r.err, 255);
    EXPECT_FALSE(exists(path("new.run")));
  }
  EXPECT_TRUE(read_file(path("signed.run")) == before);
  run_spec job;
  job.program = stub;
  job.args = {"--create", "signed.run", "payload.tar", "--sign", "key"};
  job.cwd = dir.path();
  EXPECT_TRUE(read_file(path("signed.run")) == before);
  fs::create_directory(path("bin"));
  write_file(path("bin/ssh-keygen"), "#!/bin/sh\necho Signing data on standard input >&2\necho boom >&2\nexit 1\n", 0755);
  job.env = std::vector<std::string>{"PATH=" + path("bin"), "LC_ALL=C"};
  EXPECT_RUN(run(job), "", "Cannot sign with key: ssh-keygen: boom\n", 255);
  EXPECT_EQ(file_mode(path("signed.run")) & 0111, 0);
}

// With no second thread to be had (an ordinary user at the process limit),
// a signed package is checked on one: the same lines, and a changed archive
// byte still fails.
TEST_F(SettingsTest, SignedCheckWithoutASecondThread) {
  REQUIRE_ROOT();
  shell("cd " + path("") + " && ssh-keygen -q -t ed25519 -N '' -f key");
  const std::string signer = shell("ssh-keygen -lf " + path("key.pub") + " | cut -d' ' -f2").substr(0, 50);
  build({"--sign", "key", "--create", "signed.run", "payload.tar"}, "", 0);
  std::string bytes = read_file(path("signed.run"));
  bytes[bytes.size() - 700] ^= 0x01;
  write_file(path("forged.run"), with_fixed_digest(bytes, bytes.size() - 24 - fs::file_size(path("payload.tar"))), 0755);
  const struct {
    const char* package;
    std::string out, err;
    int status;
  } rows[] = {
      {"./signed.run", VERIFIED + "Signed by " + signer + "\n", "", 0},
      {"./forged.run", VERIFIED, "Bad signature: verification failed\n", 255},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.package);
    run_spec job;
    job.program = r.package;
    job.args = {"--check"};
    job.cwd = dir.path();
    job.unprivileged = true;
    // qemu-user starts a thread of its own, which counts against the limit,
    // and so does a sanitized stub's leak check at exit.
    job.max_processes = stub_is_emulated() ? 2 : 1;
    job.env = default_env();
    job.env->push_back("ASAN_OPTIONS=detect_leaks=0");
    EXPECT_RUN(run(job), r.out, r.err, r.status);
  }
}

}  // namespace
}  // namespace e2e
