// Shared by the fuzz targets: the fuzzer's bytes as a readable stream.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

namespace fuzz {

/// A read-only stream over size bytes at data (which must outlive it). An
/// empty input is an empty temporary file, as fmemopen refuses size 0.
inline FILE* open_bytes(const uint8_t* data, std::size_t size) {
  if (size == 0) return tmpfile();
  return fmemopen(const_cast<uint8_t*>(data), size, "r");
}

/// Ends the run so that libFuzzer reports the input that broke a property.
#define FUZZ_CHECK(condition)                                                       \
  do {                                                                              \
    if (!(condition)) {                                                             \
      fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #condition); \
      abort();                                                                      \
    }                                                                               \
  } while (0)

}  // namespace fuzz
