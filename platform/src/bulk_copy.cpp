// Copying blocks of body data.
#include <cstdint>
#include <cstring>

#include "platform_internal.h"

namespace lumox_platform {

void CopyBulk(char *to, const char *from, size_t n) {
  uintptr_t distance = (reinterpret_cast<uintptr_t>(to) - reinterpret_cast<uintptr_t>(from)) & 4095;
  if (n < 4096 || distance == 0 || distance >= 64) {
    std::memcpy(to, from, n);
    return;
  }
  // Fixed-size pieces compile to vector moves, never to the string instruction that
  // stalls at this distance.
  size_t i = 0;
  for (; i + 64 <= n; i += 64) std::memcpy(to + i, from + i, 64);
  std::memcpy(to + i, from + i, n - i);
}

}  // namespace lumox_platform
