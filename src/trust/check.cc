// The check every run of a package makes before anything else: the
// archive's MD5 against the header and, for a signed package, the
// signature over the whole file. The archive is read once; the two digests
// each get a core when there are two.
#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <sys/types.h>
#include <tomcrypt.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <limits>
#include <memory>

#include "trust/trust.h"

namespace {

// Blocks handed from the reader, which also does MD5, to the thread that
// hashes the signed message. The hashing thread is the faster one, so it
// waits; it is woken only when half the ring is ready, since every wake-up
// is a system call and, in a virtual machine, an interrupt to the other
// core (woken for every block, the two threads took as long as one). The
// other half is the reader's slack while the hashing thread gets a core.
constexpr int RING_BLOCKS = 16;
constexpr uint64_t HASH_BATCH = RING_BLOCKS / 2;
constexpr std::size_t RING_BLOCK_SIZE = 64 * 1024;

struct hash_ring {
  pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;
  pthread_cond_t changed = PTHREAD_COND_INITIALIZER;  // either count moved, or the reader finished
  std::unique_ptr<unsigned char[]> blocks;
  std::size_t lengths[RING_BLOCKS] = {};
  uint64_t filled = 0;    // blocks the reader has handed over
  uint64_t hashed = 0;    // blocks the hashing thread is done with
  bool finished = false;  // the reader hands over no more
  message_hash* message = nullptr;
};

unsigned char* ring_block(hash_ring* ring, uint64_t n) {
  return ring->blocks.get() + (n % RING_BLOCKS) * RING_BLOCK_SIZE;
}

// The hashing thread: every block handed over, in order, until the reader
// has finished and nothing is left. Once woken it goes on while there is
// any block to hash, and waits again only when it has caught up, so that
// it sleeps once per batch rather than once per block.
void* hash_ring_blocks(void* argument) {
  auto* ring = static_cast<hash_ring*>(argument);
  pthread_mutex_lock(&ring->lock);
  for (;;) {
    while (ring->filled - ring->hashed < HASH_BATCH && !ring->finished) pthread_cond_wait(&ring->changed, &ring->lock);
    if (ring->hashed == ring->filled) break;
    while (ring->hashed < ring->filled) {
      const uint64_t n = ring->hashed;
      pthread_mutex_unlock(&ring->lock);
      message_hash_update(ring->message, ring_block(ring, n), ring->lengths[n % RING_BLOCKS]);
      pthread_mutex_lock(&ring->lock);
      ++ring->hashed;
      pthread_cond_signal(&ring->changed);
    }
  }
  pthread_mutex_unlock(&ring->lock);
  return nullptr;
}

// Starts the hashing thread with every signal blocked, so that a signal
// the run handles always reaches the thread that reads. Returns 0, or -1
// when the system cannot start a thread.
int start_hashing(hash_ring* ring, pthread_t* thread) {
  sigset_t all, previous;
  sigfillset(&all);
  pthread_sigmask(SIG_SETMASK, &all, &previous);
  const int started = pthread_create(thread, nullptr, hash_ring_blocks, ring);
  pthread_sigmask(SIG_SETMASK, &previous, nullptr);
  return started == 0 ? 0 : -1;
}

void finish_hashing(hash_ring* ring, pthread_t thread) {
  pthread_mutex_lock(&ring->lock);
  ring->finished = true;
  pthread_cond_signal(&ring->changed);
  pthread_mutex_unlock(&ring->lock);
  pthread_join(thread, nullptr);
}

// One block of the archive at offset into block: its length, 0 at the end,
// -1 after "Read file error". A stream without a descriptor of its own (one
// in memory) is read through stdio from where it stands.
ssize_t read_archive_block(FILE* package, int fd, off_t offset, unsigned char* block, std::size_t size) {
  for (;;) {
    const ssize_t got = fd >= 0 ? pread(fd, block, size, offset) : static_cast<ssize_t>(fread(block, 1, size, package));
    if (got < 0 && errno == EINTR) continue;
    if (got < 0 || (fd < 0 && got == 0 && ferror(package))) {
      fputs("Read file error\n", stderr);
      return -1;
    }
    return got;
  }
}

}  // namespace

int hashing_threads() {
  cpu_set_t cpus;
  CPU_ZERO(&cpus);
  if (sched_getaffinity(0, sizeof cpus, &cpus) == 0) return CPU_COUNT(&cpus) >= 2 ? 2 : 1;
  return sysconf(_SC_NPROCESSORS_ONLN) >= 2 ? 2 : 1;
}

int hash_signed_prefix(FILE* package, uint64_t archive_offset, uint64_t slot_offset, uint64_t slot_size,
                       message_hash* hash) {
  unsigned char block[COPY_BLOCK_SIZE];
  if (seek_package(package, 0) != 0) {
    fputs("Read file error\n", stderr);
    return -1;
  }
  for (uint64_t at = 0; at < archive_offset;) {
    const std::size_t want =
        archive_offset - at < sizeof block ? static_cast<std::size_t>(archive_offset - at) : sizeof block;
    if (fread(block, 1, want, package) != want) {
      fputs("Read file error\n", stderr);
      return -1;
    }
    // The slot's own bytes count as zeros: the signature cannot sign itself.
    const uint64_t from = std::max(at, slot_offset), to = std::min(at + want, slot_offset + slot_size);
    if (from < to) std::memset(block + (from - at), 0, static_cast<std::size_t>(to - from));
    message_hash_update(hash, block, want);
    at += want;
  }
  return 0;
}

int verify_signed_archive(FILE* package, uint64_t archive_offset, const unsigned char stored[DIGEST_BYTES],
                          message_hash* message, progress_meter* meter, int threads) {
  if (archive_offset > static_cast<uint64_t>(std::numeric_limits<off_t>::max())) {
    errno = EINVAL;
    perror("Seek to tar error");
    return -1;
  }
  const int fd = fileno(package);
  if (fd < 0 && seek_package(package, archive_offset) != 0) {
    perror("Seek to tar error");
    return -1;
  }
  hash_ring ring;
  ring.message = message;
  ring.blocks.reset(new unsigned char[RING_BLOCKS * RING_BLOCK_SIZE]);
  pthread_t thread{};
  const bool threaded = threads >= 2 && start_hashing(&ring, &thread) == 0;
  hash_state md5;
  md5_init(&md5);
  auto offset = static_cast<off_t>(archive_offset);
  int result = 0;
  for (uint64_t n = 0;; ++n) {
    if (threaded) {
      // The block about to be overwritten must have been hashed.
      pthread_mutex_lock(&ring.lock);
      while (n - ring.hashed >= RING_BLOCKS) pthread_cond_wait(&ring.changed, &ring.lock);
      pthread_mutex_unlock(&ring.lock);
    }
    unsigned char* block = ring_block(&ring, n);
    const ssize_t got = read_archive_block(package, fd, offset, block, RING_BLOCK_SIZE);
    if (got <= 0) {
      result = static_cast<int>(got);
      break;
    }
    if (threaded) {
      pthread_mutex_lock(&ring.lock);
      ring.lengths[n % RING_BLOCKS] = static_cast<std::size_t>(got);
      ring.filled = n + 1;
      if (ring.filled - ring.hashed >= HASH_BATCH) pthread_cond_signal(&ring.changed);
      pthread_mutex_unlock(&ring.lock);
    } else {
      message_hash_update(message, block, static_cast<std::size_t>(got));
    }
    md5_process(&md5, block, static_cast<unsigned long>(got));
    offset += got;
    progress_advance(meter, static_cast<uint64_t>(got));
  }
  if (threaded) finish_hashing(&ring, thread);
  if (result != 0) return -1;
  unsigned char computed[DIGEST_BYTES];
  md5_done(&md5, computed);
  return std::memcmp(stored, computed, DIGEST_BYTES);
}

int verify_package(FILE* package, const package_header& header, uint64_t archive_offset,
                   const package_settings& settings, bool talk, std::string* signer) {
  // The signature names the hash of its message, so it is read first; one
  // that cannot be read is reported after the digest, as any bad signature.
  ssh_signature sig;
  message_hash message;
  const char* unreadable = nullptr;
  if (settings.is_signed) {
    unreadable = read_ssh_signature(settings.signature, &sig);
    if (unreadable == nullptr) {
      message_hash_start(&message, sig.hash);
      if (hash_signed_prefix(package, archive_offset, settings.signature_offset, settings.signature_slot_size,
                             &message) != 0) return -1;
    }
  }
  const bool hashing = settings.is_signed && unreadable == nullptr;
  progress_meter meter;
  if (talk) {
    fputs("Verifying archive integrity... ", stdout);
    progress_start(&meter, stdout, archive_length(package, archive_offset));
  }
  fflush(stdout);
  // An unsigned package has MD5 alone to compute, and no use for a thread.
  const int verified =
      hashing ? verify_signed_archive(package, archive_offset, header.digest, &message, &meter, hashing_threads())
              : verify_archive(package, archive_offset, header.digest, &meter);
  progress_end(&meter);
  if (verified != 0) {
    if (talk)
      puts("Failed.");
    else
      fputs("Verifying archive integrity... Failed.\n", stderr);
    return -1;
  }
  if (talk) puts("Succeed.");
  fflush(stdout);
  signer->clear();
  if (!settings.is_signed) return 0;
  if (unreadable != nullptr) {
    fprintf(stderr, "Bad signature: %s\n", unreadable);
    return -1;
  }
  unsigned char digest[MESSAGE_DIGEST_MAX];
  message_hash_finish(&message, digest);
  if (verify_ssh_signature(sig, digest) != 0) return -1;
  *signer = key_fingerprint(sig.public_key_blob);
  if (talk) printf("Signed by %s\n", signer->c_str());
  fflush(stdout);
  return 0;
}
