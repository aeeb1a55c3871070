// Self-inspection: where the running program's file is, what it is called,
// and where its executable image ends inside that file.
//
// Every function that detects a failure prints exactly one message on
// standard error; callers pass the failure up without printing again.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>

/// Bytes, terminating NUL included, of a composed program path and of the
/// working directory saved before extraction.
constexpr std::size_t PATH_BUFFER_SIZE = 1024;

/// Resolves argv0 the way a shell finds a command: used unchanged when it
/// holds a '/', otherwise searched along PATH. The result is not made
/// absolute. Returns the path, or nullopt after one message.
std::optional<std::string> find_program_path(const char* argv0);

/// Returns the last path component of argv0 (POSIX basename rules), or
/// nullopt after one message.
std::optional<std::string> get_program_name(const char* argv0);

/// Writes directory_length bytes of directory, '/', name and a NUL into
/// buffer; with directory_length 0 writes name alone. Checks no bound: the
/// caller guarantees directory_length + strlen(name) + 2 <= PATH_BUFFER_SIZE.
void join_path(char* buffer, const char* directory, const char* name, std::size_t directory_length);

/// Returns the end of the executable image of the ELF file open on stream:
/// the larger of the end of the section header table and the end of the
/// furthest section holding file data. Returns -1 after one message.
/// Leaves the stream positioned anywhere.
int64_t get_image_end(FILE* stream);

/// Rewinds the stream and reads and checks the identification bytes.
/// Returns the class byte (1 to 255), or -1 after one message.
int read_elf_class(FILE* stream);

/// Returns 0 when the 16 identification bytes pass, or -1 after printing
/// "ELF ident error".
int check_elf_ident(const unsigned char* ident);

/// Class-specific image end of a stream positioned at the start of the
/// file. Return as get_image_end.
int64_t elf32_image_end(FILE* stream);
int64_t elf64_image_end(FILE* stream);
