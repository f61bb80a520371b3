// Buffers for body and file data, and copying blocks of it.
#include <sys/mman.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "platform_internal.h"

namespace lumox_platform {

#if defined(__SANITIZE_ADDRESS__)
// Under AddressSanitizer the buffers come from the heap, where overruns are caught.
void BulkRelease::operator()(char *p) const { std::free(p); }

BulkBuffer NewBulkBuffer(size_t size) {
  void *p = nullptr;
  if (posix_memalign(&p, 4096, size) != 0) p = nullptr;
  return BulkBuffer(static_cast<char *>(p), BulkRelease{size});
}
#else
void BulkRelease::operator()(char *p) const {
  if (p) munmap(p, size);
}

BulkBuffer NewBulkBuffer(size_t size) {
  void *p = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (p == MAP_FAILED) return BulkBuffer(nullptr, BulkRelease{0});
  return BulkBuffer(static_cast<char *>(p), BulkRelease{size});
}
#endif

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
