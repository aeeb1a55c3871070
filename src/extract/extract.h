// Extraction: streaming the archive into the host's tar (decoding a
// compressed one on the way), the yes/no prompts, starting the embedded
// script and removing the extraction directory.
//
// Every function that detects a failure prints exactly one message; callers
// pass the failure up without printing again.
#pragma once

#include <sys/types.h>
#include <termios.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

/// What the archive is streamed into.
enum tar_action : int32_t {
  TAR_EXTRACT = 0,  ///< "tar -xf -" inside the extraction directory
  TAR_LIST = 1,     ///< "tar -tvf -" in the current directory
  TAR_CUSTOM = 2,   ///< the command composed from --tar, in the current directory
};

/// What one extraction did to its directory, for the clean-up after it.
struct target_state {
  bool created = false;  ///< this run made the directory (it did not exist before)
  bool entered = false;  ///< the process's working directory is now the directory
  int fd = -1;           ///< the directory entered, open (close-on-exec) and locked until the process ends
};

/// Gives everything from archive_offset to the end of package to the
/// command of action as its standard input: a plain archive is the package
/// itself, positioned at archive_offset (the descriptor, and so its offset,
/// is shared with the command); a compressed one is decoded into a pipe.
/// For TAR_EXTRACT it first creates and enters target_dir (left entered on
/// return; see below), shows the share read after the "Uncompressing" line while
/// standard output is a terminal, passes interrupts on to tar, and, when
/// the real user ID is 0, afterwards runs "chown -R 0:0 .". quiet leaves
/// out the "Uncompressing" line and the share read. *target tells what
/// happened to target_dir (nothing, for other actions). A tar that
/// stops reading early is no failure by itself: its exit status decides.
/// Returns 0, or -1 after one message, or -1 silently when
/// interrupt_signal() is set; nothing is undone here.
///
/// target_dir is entered only when it is safely the effective user's: it is
/// opened (a symbolic link in its place followed only when the link belongs
/// to that user or to root), refused unless that user owns it and neither
/// its group nor others may write to it, locked with flock (a second run
/// finding it locked refuses), and entered with fchdir. A refusal is one
/// line naming the directory, the reason and the way on; nothing is
/// changed then.
int pipe_archive_to_tar(FILE* package, uint64_t archive_offset, int action, const char* tar_command,
                        const char* target_dir, target_state* target, bool quiet = false);

/// From here on SIGINT, SIGTERM and SIGHUP no longer end the program: they
/// are recorded for interrupt_signal() and forwarded to the child named by
/// forward_interrupts_to. A signal ignored at start stays ignored.
void catch_interrupts();
/// The last interrupting signal received since catch_interrupts, or 0.
int interrupt_signal();
/// Names the child (tar, then the script) that receives the interrupting
/// signals; 0 for none. Forwards at once one that came before.
void forward_interrupts_to(pid_t child);
/// While fd, a terminal, is in keys instead of its usual mode (the pager's
/// single keys), SIGINT, SIGTERM, SIGHUP and SIGQUIT first give it usual
/// back, then act as they did before: end the program (SIGQUIT's with a
/// core), or reach catch_interrupts's handler. SIGTSTP gives it usual
/// back, stops the program, and once it is continued switches to keys
/// again. A signal ignored stays ignored. fd -1 ends this and puts the
/// actions back.
void guard_terminal_mode(int fd, const termios* usual, const termios* keys);
/// Writes into a pipe whose reader has gone fail with EPIPE from here on;
/// children still start with SIGPIPE's default action.
void catch_broken_pipe();

/// A question is asked at most this many times.
constexpr int PROMPT_ATTEMPTS = 5;

/// Prints question on out (flushed) and judges the first character of one
/// line read from in, up to PROMPT_ATTEMPTS times. Returns 0 for yes (y, Y
/// or an empty line), 1 for no (n, N), -1 when no valid answer came.
int ask_yes_no(FILE* in, FILE* out, const std::string& question);

/// The two questions of --confirm, on standard input and output.
/// Return as ask_yes_no.
int ask_extract(uint64_t archive_size, const char* target_dir);
int ask_run_script(const std::vector<std::string>& script_args);

/// Writes text (a license, or a screen of one) to out, with a line end
/// after it when it has none at its end.
void print_license(FILE* out, std::string_view text);

/// The rows that line (without its line end) takes on a terminal width
/// columns wide that wraps long lines: a UTF-8 character is one column, a
/// tab runs to the next multiple of 8 (stopped at the last column), and a
/// line as wide as the terminal takes one row. 1 for an empty line, and for
/// any line when width is 0 or less (unknown).
int screen_rows(std::string_view line, int width);

/// The length of the start of text that fills at most rows such rows: whole
/// lines while they fit, then of the next line the characters that fit in
/// the rows left (at least one, when rows is 1 or more).
std::size_t screen_fill(std::string_view text, int width, int rows);

/// Shows license on out, a screen of rows at a time (screen_fill, the
/// width and height from TIOCGWINSZ) when in and out are both terminals,
/// and asks whether it is accepted: "y" or "yes" in any case accepts, "n",
/// "no" or the end of input declines at once; an empty line or any other
/// answer asks again, up to PROMPT_ATTEMPTS times. Returns 0 when
/// accepted, 1 otherwise.
int ask_license(FILE* in, FILE* out, const std::string& license);

/// The argument vector of the embedded script: "sh", "./install.sh", the
/// script arguments (pointing into script_args), then a null pointer.
std::vector<char*> script_argv(const std::vector<std::string>& script_args);

/// The environment of the embedded script: environ with every NAME=value of
/// overrides replacing the inherited variable of that name.
std::vector<std::string> script_environment(char* const* environ_vector, const std::vector<std::string>& overrides);

/// Forks and executes shell (always /bin/sh in the program) with
/// script_argv(script_args) and script_environment(environ, overrides), from
/// the current directory. Flushes both output streams first. Returns the
/// child's process id, or -1 after one message.
pid_t start_script(const std::vector<std::string>& script_args, const std::vector<std::string>& overrides = {},
                   const char* shell = "/bin/sh");

/// Removes everything below directory, an open descriptor of the
/// directory named path (which it leaves open), depth first through
/// descriptors, never following a symbolic link; then path itself, by its
/// name, only while that name still refers to directory (same device and
/// inode). Stops at the first entry that cannot be removed. The messages
/// name entries by paths composed from path. Returns 0, or -1 after the
/// messages, the last of them "Directory `PATH' has not been removed".
int remove_directory(const char* path, int directory);

/// What the archive region holds, judged from its first bytes.
enum archive_format : int32_t { FORMAT_PLAIN = 0, FORMAT_GZIP, FORMAT_BZIP2, FORMAT_XZ, FORMAT_ZSTD };
/// Leading bytes detect_format looks at (it is given fewer when the archive is shorter).
constexpr std::size_t FORMAT_PROBE_SIZE = 512;
/// By magic number: gzip 1f 8b 08; bzip2 "BZh", a digit 1-9 and a block or end-of-stream
/// magic; xz fd 37 7a 58 5a 00; zstd 28 b5 2f fd or a skippable frame 5? 2a 4d 18. "ustar"
/// at bytes 257..261 means plain whatever the start (a tar member may be named anything);
/// anything else is plain.
archive_format detect_format(const unsigned char* head, std::size_t length);
/// "gzip", "bzip2", "xz", "zstd"; "tar" for FORMAT_PLAIN.
const char* format_name(archive_format format);
/// The two ends of a decoding run.
struct decode_io {
  void* context;
  /// Fills buffer with up to size compressed bytes; returns the count, 0 at the end of the input,
  /// -1 to stop the run (the callee has printed any message).
  long (*read)(void* context, unsigned char* buffer, std::size_t size);
  /// Takes size decoded bytes; returns 0, or -1 to stop the run (the callee has printed any message).
  int (*write)(void* context, const unsigned char* data, std::size_t size);
};
/// Decodes the whole input as format into io.write: concatenated gzip members, bzip2 streams,
/// xz streams and zstd frames (skippable frames ignored) one after another to the end of the input.
/// Returns 0; -1 when io.read or io.write stopped it, or after printing one line
/// "Decompression error (FORMAT): DETAIL" on standard error (rejected data, input cut short,
/// bytes after the last complete member/stream/frame that are not another one).
int decode_archive(archive_format format, const decode_io& io);

/// What the archive from archive_offset to the end of the package open on
/// fd unpacks to, read without decoding it: a plain archive's length; xz,
/// the uncompressed sizes its stream indexes record; zstd, the content
/// sizes its frame headers record, when every frame records one; gzip, the
/// size in its last 4 bytes, which is the whole for one member under 4 GiB
/// and less for any other, never more. Returns 1 with *size set, or 0 when
/// it cannot be told (bzip2, a zstd frame without its size, bytes that do
/// not parse, a failed read); prints nothing.
int unpacked_size(int package, uint64_t archive_offset, uint64_t* size);

/// Whether size bytes fit in the file system that holds target_dir when it
/// exists, else the directory it is made in: its free blocks (f_bfree when
/// the real user ID is 0, f_bavail otherwise) times f_frsize. Returns 0
/// when they fit or the free space cannot be learnt (an empty target_dir, a
/// missing parent: making the directory says why; a file system that
/// reports no blocks, f_blocks 0), -1 after "Not enough space in DIR: the
/// archive unpacks to N KB, M KB are free", DIR made absolute against
/// start_dir.
int check_space(const char* target_dir, const char* start_dir, uint64_t size);
