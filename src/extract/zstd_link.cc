// The stub decodes zstd frames of the format every zstd since 1.0 writes.
// libzstd's decoder also reaches the decoders of the 0.5, 0.6 and 0.7
// development formats (2016), some 90 KB of every package, for a frame of
// theirs that follows a current one; a payload that begins with one is not
// taken for zstd at all. The stub defines their entry points itself: a
// stream context that decodes nothing and answers "Version not supported",
// and frame queries that find no frame, so the library reports such a frame
// as it reports any it does not know. The tests link libzstd's own.
#include <zstd.h>
#include <zstd_errors.h>

#include <cstddef>

namespace {

// What the library's error codes are: the negated enumerator.
constexpr std::size_t unsupported() { return static_cast<std::size_t>(-ZSTD_error_version_unsupported); }
constexpr std::size_t unknown() { return static_cast<std::size_t>(-ZSTD_error_prefix_unknown); }

// The one context every legacy stream gets: never read or written.
char legacy_context;

}  // namespace

#define QUARNEL_LEGACY_ZSTD(V)                                                                                       \
  void* ZBUFF##V##_createDCtx(void) { return &legacy_context; }                                                     \
  std::size_t ZBUFF##V##_freeDCtx(void*) { return 0; }                                                             \
  std::size_t ZBUFF##V##_decompressInitDictionary(void*, const void*, std::size_t) { return unsupported(); }       \
  std::size_t ZBUFF##V##_decompressContinue(void*, void*, std::size_t* written, const void*, std::size_t* read) { \
    *written = 0;                                                                                                  \
    *read = 0;                                                                                                     \
    return unsupported();                                                                                          \
  }                                                                                                                \
  void* ZSTD##V##_createDCtx(void) { return nullptr; }                                                             \
  std::size_t ZSTD##V##_freeDCtx(void*) { return 0; }                                                              \
  std::size_t ZSTD##V##_decompress_usingDict(void*, void*, std::size_t, const void*, std::size_t, const void*,     \
                                             std::size_t) {                                                        \
    return unsupported();                                                                                          \
  }                                                                                                                \
  std::size_t ZSTD##V##_getFrameParams(void*, const void*, std::size_t) { return unknown(); }                      \
  void ZSTD##V##_findFrameSizeInfoLegacy(const void*, std::size_t, std::size_t* size, unsigned long long* bound) { \
    *size = unknown();                                                                                             \
    *bound = ZSTD_CONTENTSIZE_ERROR;                                                                               \
  }

extern "C" {
QUARNEL_LEGACY_ZSTD(v05)
QUARNEL_LEGACY_ZSTD(v06)
QUARNEL_LEGACY_ZSTD(v07)
}
