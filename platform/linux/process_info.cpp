#include "platform/process_info.h"

#include <unistd.h>

#include <vector>

NativePath executable_path() {
  std::vector<char> buf(260);
  for (;;) {
    const ssize_t n = ::readlink("/proc/self/exe", buf.data(), buf.size());
    if (n < 0) return "";
    if (static_cast<std::size_t>(n) < buf.size()) return NativePath(buf.data(), static_cast<std::size_t>(n));
    buf.resize(buf.size() * 2);
  }
}

bool is_elevated() { return ::geteuid() == 0; }
