// A loadable copy of the file layer for the unload tests: it writes through a handle it
// leaves open, so the library is unloaded with a write in flight and bytes still gathered.
#include <windows.h>

// Writes `size` bytes of a pattern (byte i is i * 7 % 251) to a new file in 1,024-byte
// blocks and returns without closing it; false when a call failed.
extern "C" __attribute__((visibility("default"))) bool WriteWithoutClosing(const char *path,
                                                                           unsigned size) {
  HANDLE h =
      CreateFileA(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return false;
  char block[1024];
  for (unsigned at = 0; at < size; at += sizeof block) {
    unsigned n = size - at < sizeof block ? size - at : sizeof block;
    for (unsigned i = 0; i < n; ++i) block[i] = static_cast<char>((at + i) * 7 % 251);
    DWORD written = 0;
    if (!WriteFile(h, block, n, &written, nullptr) || written != n) return false;
  }
  return true;
}
