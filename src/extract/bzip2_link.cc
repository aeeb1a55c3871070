// The stub only decompresses bzip2, but libbz2's one object for both
// directions refers to the compressor's block coder, which brings it and
// the block sorter: some 28 KB of every package that never run. The stub
// defines the block coder as an abort; the tests link libbz2's own.
#include <cstdlib>

extern "C" {

struct EState;

void BZ2_compressBlock(EState*, unsigned char) { std::abort(); }
}
