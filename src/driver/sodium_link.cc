// The stub only verifies signatures: it never makes keys, random numbers or
// guarded memory. libsodium keeps sodium_memzero and sodium_memcmp, which
// the hashes and the Ed25519 check call, in one object with sodium_malloc,
// which calls randombytes_buf and sodium_misuse; linked from the library,
// those two bring its run-time CPU dispatch and every primitive it has,
// some 130 KB of every package. The stub defines them itself instead.
// Nothing on its path calls either; should anything ever, the program ends
// as libsodium's own misuse handler ends it. The tests and fuzz targets
// link the library's own.
#include <cstddef>
#include <cstdlib>

extern "C" {

void sodium_misuse(void) { abort(); }

void randombytes_buf(void* const buffer, const size_t size) {
  (void)buffer;
  (void)size;
  abort();
}

}
