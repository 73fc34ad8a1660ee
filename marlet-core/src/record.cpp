#include "record.hpp"

#include <fcntl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <optional>

namespace marlet_core {
namespace {

thread_local std::optional<HashKeys> thread_keys;

// Fills out[0, n) by calls of read(out, n), which return how many bytes
// they gave, or -1 with errno set; false when the source fails.
template <class Read>
bool read_all(unsigned char* out, std::size_t n, Read read) {
  while (n != 0) {
    const long got = read(out, n);
    if (got <= 0) {
      if (got < 0 && errno == EINTR) continue;
      return false;
    }
    out += got;
    n -= static_cast<std::size_t>(got);
  }
  return true;
}

void fill_random(unsigned char* out, std::size_t n) {
  // The system call itself rather than glibc's getrandom(), which only
  // glibc 2.25 and later provide: the wheels target glibc 2.17.
  bool ok = read_all(out, n, [](unsigned char* p, std::size_t k) { return syscall(SYS_getrandom, p, k, 0); });
  if (!ok && errno == ENOSYS) {  // kernels older than 3.17: /dev/urandom
    const int fd = open("/dev/urandom", O_RDONLY | O_CLOEXEC);
    ok = fd >= 0 && read_all(out, n, [fd](unsigned char* p, std::size_t k) { return static_cast<long>(read(fd, p, k)); });
    if (fd >= 0) close(fd);
  }
  if (!ok) throw InternalError("the random source could not deliver the hash keys");
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
