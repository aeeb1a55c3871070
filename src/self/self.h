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
#include <vector>

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

/// One section header, as much of it as the program uses.
struct elf_section {
  std::string name;  ///< from the section name table; empty when it has none
  uint32_t type = 0;
  uint64_t offset = 0, size = 0;
};

/// The parts of an ELF file's headers that settings are read from and
/// written into, in the file's own class and byte order (EI_DATA), which
/// need not be the host's.
struct elf_image {
  int elf_class = 0;        ///< 1 (32-bit) or 2 (64-bit)
  bool big_endian = false;  ///< EI_DATA 2
  uint16_t machine = 0;     ///< e_machine
  uint64_t shoff = 0;       ///< e_shoff
  uint32_t shnum = 0;       ///< e_shnum
  uint32_t shstrndx = 0;    ///< e_shstrndx
  std::string header;       ///< the ELF header's bytes
  std::string table;        ///< the section header table's bytes, e_shnum fixed-size entries
  std::string names;        ///< the section name table's bytes
  std::vector<elf_section> sections;
  uint64_t end = 0;  ///< the image end, measured as get_image_end measures it
};

/// Reads the ELF header and section header table of the file open on
/// stream (a regular file of file_size bytes) and resolves the section
/// names. Returns 0, or -1 after one message. A table or name table that
/// lies past the end of the file is a failure.
int read_elf_image(FILE* stream, uint64_t file_size, elf_image* image);

/// The machine the image is for, as "s390x (64-bit, big-endian)": its name
/// as qemu-user spells it (x86_64, i386, aarch64, arm, s390x; "ELF machine
/// N" for others), then its class and byte order.
std::string describe_architecture(const elf_image& image);

/// Index in image.sections of the first section called name, or -1.
int find_elf_section(const elf_image& image, const char* name);

/// What the builder writes to give an image one more section: header, the
/// image's bytes from the end of its header to copy_end, the section's
/// bytes (which so start at copy_end), then tail (the name table with the
/// new name, padding, and the section header table with one more entry),
/// so that the new image ends where tail ends.
struct elf_addition {
  std::string header;     ///< the ELF header with e_shoff and e_shnum moved
  uint64_t copy_end = 0;  ///< where the old image is cut off, and the section starts
  std::string tail;
};

/// Plans the addition of a section called name with size bytes of data
/// (not allocated, not loaded) to image. Returns 0, or -1 after one message
/// when the image's layout does not allow it.
int plan_elf_addition(const elf_image& image, const char* name, uint64_t size, elf_addition* plan);
