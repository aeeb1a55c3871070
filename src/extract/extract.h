// Extraction: streaming the archive into the host's tar (decoding a
// compressed one on the way), the yes/no prompts, starting the embedded
// script and removing the extraction directory.
//
// Every function that detects a failure prints exactly one message; callers
// pass the failure up without printing again.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

/// What the archive is streamed into.
enum tar_action : int32_t {
  TAR_EXTRACT = 0,  ///< "tar -xf -" inside the extraction directory
  TAR_LIST = 1,     ///< "tar -tvf -" in the current directory
  TAR_CUSTOM = 2,   ///< the command composed from --tar, in the current directory
};

/// Streams everything from archive_offset to the end of package into the
/// command of action. For TAR_EXTRACT it first creates and enters
/// target_dir (left entered on return) and, when the real user ID is 0,
/// afterwards runs "chown -R 0:0 .". *created tells whether this call
/// created target_dir (false when it existed already or for other actions).
/// Returns 0, or -1 after one message; nothing is undone on failure.
int pipe_archive_to_tar(FILE* package, uint64_t archive_offset, int action, const char* tar_command,
                        const char* target_dir, bool* created);

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

/// The argument vector of the embedded script: "sh", "./install.sh", the
/// script arguments (pointing into script_args), then a null pointer.
std::vector<char*> script_argv(const std::vector<std::string>& script_args);

/// Forks and executes shell (always /bin/sh in the program) with
/// script_argv(script_args), from the current directory. Flushes both output
/// streams first. Returns the child's process id, or -1 after one message.
pid_t start_script(const std::vector<std::string>& script_args, const char* shell = "/bin/sh");

/// Removes path and everything below it, depth first, without following
/// symbolic links, stopping at the first entry that cannot be removed.
/// Returns 0, or nonzero after the messages.
int remove_directory(const char* path);

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
