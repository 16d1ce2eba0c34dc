#include "platform/random.h"

#include <sys/random.h>

#include <cerrno>
#include <stdexcept>

#include "platform/encoding.h"

Bytes random_bytes(std::size_t n) {
  Bytes out(n);
  std::size_t got = 0;
  while (got < n) {
    const ssize_t r = ::getrandom(out.data() + got, n - got, 0);
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) throw std::runtime_error("the secure random generator failed");
    got += static_cast<std::size_t>(r);
  }
  return out;
}

std::string random_hex(std::size_t n) { return to_hex(random_bytes(n)); }
