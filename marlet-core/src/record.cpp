#include "record.hpp"

#include <sys/random.h>

#include <cerrno>
#include <cstring>

namespace marlet_core {
namespace {

struct ThreadKeys {
  bool ready = false;
  HashKeys keys{};
};

thread_local ThreadKeys thread_keys;

void fill_random(unsigned char* out, std::size_t n) {
  while (n != 0) {
    ssize_t got = getrandom(out, n, 0);
    if (got < 0) {
      if (errno == EINTR) continue;
      throw InternalError("the random source could not deliver the hash keys");
    }
    out += got;
    n -= static_cast<std::size_t>(got);
  }
}

}  // namespace

HashKeys next_map_keys() {
  ThreadKeys& t = thread_keys;
  if (!t.ready) {
    unsigned char bytes[16];
    fill_random(bytes, sizeof bytes);
    std::memcpy(&t.keys.k0, bytes, 8);
    std::memcpy(&t.keys.k1, bytes + 8, 8);
    t.ready = true;
  }
  HashKeys current = t.keys;
  ++t.keys.k0;  // unsigned: wraps
  return current;
}

}  // namespace marlet_core
