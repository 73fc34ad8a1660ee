#include "record.hpp"

#include <fcntl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <optional>

namespace marlet_core {
namespace {

thread_local std::optional<HashKeys> thread_keys;

// Reads n bytes of /dev/urandom: the random source of kernels older than
// 3.17, which lack the getrandom system call.
void read_urandom(unsigned char* out, std::size_t n) {
  const int fd = open("/dev/urandom", O_RDONLY | O_CLOEXEC);
  if (fd < 0) throw InternalError("the random source could not deliver the hash keys");
  while (n != 0) {
    const ssize_t got = read(fd, out, n);
    if (got <= 0) {
      if (got < 0 && errno == EINTR) continue;
      close(fd);
      throw InternalError("the random source could not deliver the hash keys");
    }
    out += got;
    n -= static_cast<std::size_t>(got);
  }
  close(fd);
}

void fill_random(unsigned char* out, std::size_t n) {
  while (n != 0) {
    // The system call itself rather than glibc's getrandom(), which only
    // glibc 2.25 and later provide: the wheels target glibc 2.17.
    const long got = syscall(SYS_getrandom, out, n, 0);
    if (got < 0) {
      if (errno == EINTR) continue;
      if (errno == ENOSYS) return read_urandom(out, n);
      throw InternalError("the random source could not deliver the hash keys");
    }
    out += got;
    n -= static_cast<std::size_t>(got);
  }
}

}  // namespace

HashKeys next_map_keys() {
  std::optional<HashKeys>& keys = thread_keys;
  if (!keys) {
    HashKeys drawn;
    fill_random(reinterpret_cast<unsigned char*>(&drawn), sizeof drawn);
    keys = drawn;
  }
  const HashKeys current = *keys;
  ++keys->k0;  // unsigned: wraps
  return current;
}

}  // namespace marlet_core
