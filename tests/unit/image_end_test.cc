// The ELF image end, measured on synthetic files of both classes and on the
// built stub itself.
#include <sys/stat.h>

#include <cstring>

#include "self/self.h"
#include "support.h"

namespace {

using namespace test_support;

struct section {
  uint32_t type;
  uint64_t offset, size;
};
constexpr uint32_t PROGBITS = 1, NOBITS = 8;

// Header and entry field positions of the two classes.
struct layout {
  std::size_t header, shoff, shoff_width, shentsize, shnum, entry, type, offset, size, width;
};
constexpr layout L32 = {52, 32, 4, 46, 48, 40, 4, 16, 20, 4};
constexpr layout L64 = {64, 40, 8, 58, 60, 64, 4, 24, 32, 8};

// Little-endian, the byte order of the hosts the program is built for.
void put(std::string& bytes, std::size_t at, uint64_t value, std::size_t width) {
  if (bytes.size() < at + width) bytes.resize(at + width);
  for (std::size_t i = 0; i < width; ++i) bytes[at + i] = static_cast<char>(value >> (8 * i));
}

// A file of class elf_class (1 or 2) with the given table, long exactly
// enough to hold the header and the entries at their fixed spacing.
// shentsize 0 stands for the fixed entry size.
std::string make_elf(int elf_class, uint64_t shoff, const std::vector<section>& sections,
                     uint16_t shentsize = 0) {
  const layout& l = elf_class == 1 ? L32 : L64;
  std::string bytes(l.header, '\0');
  std::memcpy(bytes.data(), "\x7F" "ELF", 4);
  bytes[4] = static_cast<char>(elf_class);
  bytes[5] = 1;
  bytes[6] = 1;
  put(bytes, l.shoff, shoff, l.shoff_width);
  put(bytes, l.shentsize, shentsize ? shentsize : l.entry, 2);
  put(bytes, l.shnum, sections.size(), 2);
  for (std::size_t i = 0; i < sections.size(); ++i) {
    const std::size_t at = shoff + i * l.entry;
    put(bytes, at + l.entry - 1, 0, 1);  // the whole entry exists
    put(bytes, at + l.type, sections[i].type, 4);
    put(bytes, at + l.offset, sections[i].offset, l.width);
    put(bytes, at + l.size, sections[i].size, l.width);
  }
  return bytes;
}

struct measured {
  int64_t end;
  std::string err;
};

measured measure(const std::string& bytes) {
  TempDir dir;
  write_file(dir / "elf", bytes);
  unique_file f = open_read(dir / "elf");
  testing::internal::CaptureStderr();
  const int64_t end = get_image_end(f.get());
  return {end, testing::internal::GetCapturedStderr()};
}

TEST(ImageEnd, WorkedExample32) {
  // 19 entries: the null entry, 16 small sections, .bss and the name table.
  std::vector<section> s(19, section{0, 0, 0});
  for (int i = 1; i <= 16; ++i) s[i] = {PROGBITS, 0x1000u * i, 0x100};
  s[17] = {NOBITS, 418652, 104380};
  s[18] = {PROGBITS, 433940, 142};
  const std::string bytes = make_elf(1, 434084, s);
  ASSERT_EQ(bytes.size(), 434844u);
  const measured m = measure(bytes);
  EXPECT_EQ(m.end, 434844);
  EXPECT_EQ(m.err, "");
}

TEST(ImageEnd, SectionsAndTableTable) {
  struct row {
    const char* what;
    uint64_t shoff;
    std::vector<section> sections;
    uint16_t shentsize;
    int64_t expected;
  };
  const std::vector<row> rows = {
      {"only the table", 200, {{0, 0, 0}, {PROGBITS, 64, 100}}, 0, -2},
      {"data after the table", 200, {{0, 0, 0}, {PROGBITS, 5000, 7}}, 0, 5007},
      {"nobits after the table", 200, {{0, 0, 0}, {NOBITS, 5000, 7}}, 0, -2},
      {"furthest is not last", 200, {{PROGBITS, 900, 100}, {PROGBITS, 300, 10}}, 0, 1000},
      {"no entries", 4321, {}, 0, 4321},
      // The table end uses e_shentsize, the entries are read at the fixed
      // spacing: entry 2 lies at shoff + 2 x fixed size.
      {"shentsize larger, table end", 1000, {{0, 0, 0}, {PROGBITS, 10, 10}, {PROGBITS, 20, 20}}, 100, 1300},
      {"shentsize larger, entry 2", 1000, {{0, 0, 0}, {0, 0, 0}, {PROGBITS, 5000, 10}}, 100, 5010},
      {"shentsize smaller, table end", 1000, {{0, 0, 0}, {PROGBITS, 10, 10}, {0, 0, 0}}, 8, 1024},
      {"shentsize smaller, entry 1", 1000, {{0, 0, 0}, {PROGBITS, 2000, 10}, {0, 0, 0}}, 8, 2010},
  };
  for (int elf_class : {1, 2}) {
    const std::size_t entry = elf_class == 1 ? 40 : 64;
    for (const row& r : rows) {
      SCOPED_TRACE(testing::Message() << "class " << elf_class << ": " << r.what);
      // -2 stands for the end of the table at the fixed spacing.
      const int64_t expected = r.expected == -2 ? static_cast<int64_t>(r.shoff + entry * r.sections.size()) : r.expected;
      std::string bytes = make_elf(elf_class, r.shoff, r.sections, r.shentsize);
      if (bytes.size() < r.shoff) bytes.resize(r.shoff);
      const measured m = measure(bytes);
      EXPECT_EQ(m.end, expected);
      EXPECT_EQ(m.err, "");
    }
  }
}

TEST(ImageEnd, ArithmeticWidthFollowsTheClass) {
  // 0xFFFFFFF0 + 0x20 wraps to 0x10 in the 32-bit class only.
  const std::vector<section> s = {{PROGBITS, 0xFFFFFFF0u, 0x20}};
  EXPECT_EQ(measure(make_elf(1, 100, s)).end, 140);
  EXPECT_EQ(measure(make_elf(2, 100, s)).end, 0x100000010);
  // A 32-bit file needs only its 52-byte header.
  EXPECT_EQ(measure(make_elf(1, 52, {})).end, 52);
}

TEST(ImageEnd, MalformedFilesTable) {
  auto with = [](std::string bytes, std::size_t at, char value) {
    bytes[at] = value;
    return bytes;
  };
  auto cut = [](std::string bytes, std::size_t size) {
    bytes.resize(size);
    return bytes;
  };
  const std::string e32 = make_elf(1, 100, {{0, 0, 0}, {PROGBITS, 10, 10}});
  const std::string e64 = make_elf(2, 100, {{0, 0, 0}, {PROGBITS, 10, 10}});
  const std::string ident_read = "ELF ident read error: Success\n";
  const std::string header_read = "ELF header read error: Success\n";
  const std::string table_read = "ELF section header read error: Success\n";
  const struct {
    const char* what;
    std::string bytes;
    std::string err;
  } rows[] = {
      {"empty file", "", ident_read},
      {"15 bytes", cut(e32, 15), ident_read},
      {"bad magic 0", with(e32, 0, 0x7E), "ELF ident error\n"},
      {"bad magic 3", with(e64, 3, 'f'), "ELF ident error\n"},
      {"class 0", with(e32, 4, 0), "ELF ident error\n"},
      {"data 0", with(e32, 5, 0), "ELF ident error\n"},
      {"version 0", with(e64, 6, 0), "ELF ident error\n"},
      {"version 2", with(e64, 6, 2), "ELF ident error\n"},
      {"class 3", with(e32, 4, 3), "Unknown ELF class\n"},
      {"class 255", with(e64, 4, '\xFF'), "Unknown ELF class\n"},
      {"32-bit, 16 bytes", cut(e32, 16), header_read},
      {"32-bit, 51 bytes", cut(e32, 51), header_read},
      {"64-bit, 16 bytes", cut(e64, 16), header_read},
      {"64-bit, 63 bytes", cut(e64, 63), header_read},
      {"32-bit, no table", make_elf(1, 0, {}), "Cannot find ELF section header\n"},
      {"64-bit, no table", make_elf(2, 0, {}), "Cannot find ELF section header\n"},
      {"32-bit, table cut by one byte", cut(e32, e32.size() - 1), table_read},
      {"64-bit, table cut by one byte", cut(e64, e64.size() - 1), table_read},
      {"64-bit, table missing", cut(e64, 100), table_read},
      {"table beyond any file offset", make_elf(2, 1ull << 63, {}), "Seek to section header error: Invalid argument\n"},
      {"end beyond any file offset", make_elf(2, 100, {{PROGBITS, 0x7FFFFFFFFFFFFF00, 0x1000}}),
       "ELF image end out of range\n"},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.what);
    const measured m = measure(r.bytes);
    EXPECT_EQ(m.end, -1);
    EXPECT_EQ(m.err, r.err);
  }
}

TEST(ImageEnd, BuiltStubEndsAtItsImage) {
  const std::string stub = read_file(QUARNEL_STUB_PATH);
  ASSERT_GT(stub.size(), 0u);
  EXPECT_EQ(measure(stub).end, static_cast<int64_t>(stub.size()));
  // Appended bytes are not part of the image.
  EXPECT_EQ(measure(stub + std::string(100, 'x')).end, static_cast<int64_t>(stub.size()));
}

// The five machines of the end-to-end suite are named there, from real
// stubs; here the cases no stub is built for.
TEST(ImageEnd, ArchitectureNames) {
  const struct {
    int elf_class;
    bool big_endian;
    uint16_t machine;
    const char* want;
  } rows[] = {
      {1, true, 22, "s390 (32-bit, big-endian)"},  // 31-bit S/390
      {2, false, 243, "ELF machine 243 (64-bit, little-endian)"},
      {1, true, 0, "ELF machine 0 (32-bit, big-endian)"},
  };
  for (const auto& r : rows) {
    elf_image image;
    image.elf_class = r.elf_class;
    image.big_endian = r.big_endian;
    image.machine = r.machine;
    EXPECT_EQ(describe_architecture(image), r.want);
  }
}

}  // namespace
