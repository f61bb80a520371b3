// Code page conversions (932 and UTF-8) both ways: the size a call asks for is the size it
// writes, one unit less fails with ERROR_INSUFFICIENT_BUFFER, and texts without invalid or
// unmappable characters come back unchanged from a round trip.
#include <windows.h>

#include <fuzzer/FuzzedDataProvider.h>
#include <string.h>

#include <string>
#include <vector>

#include "fuzz_check.h"

namespace {

const DWORD kWcErrInvalidChars = 0x80;

// Converts bytes to UTF-16, checking the buffer-size rules. False when the call fails.
bool ToWide(UINT codePage, DWORD flags, const std::string &bytes, std::u16string &out) {
  out.clear();
  if (bytes.empty()) return true;
  int n = MultiByteToWideChar(codePage, flags, bytes.data(), static_cast<int>(bytes.size()),
                              nullptr, 0);
  if (n == 0) {
    FUZZ_CHECK(GetLastError() == ERROR_NO_UNICODE_TRANSLATION);
    return false;
  }
  FUZZ_CHECK(n > 0 && static_cast<size_t>(n) <= bytes.size());
  std::vector<WCHAR> buffer(static_cast<size_t>(n) + 1, 0xABCD);
  FUZZ_CHECK(MultiByteToWideChar(codePage, flags, bytes.data(), static_cast<int>(bytes.size()),
                                 buffer.data(), n) == n);
  FUZZ_CHECK(buffer[static_cast<size_t>(n)] == 0xABCD);  // nothing written past the size
  if (n > 1) {
    SetLastError(0);
    FUZZ_CHECK(MultiByteToWideChar(codePage, flags, bytes.data(), static_cast<int>(bytes.size()),
                                   buffer.data(), n - 1) == 0);
    FUZZ_CHECK(GetLastError() == ERROR_INSUFFICIENT_BUFFER);
  }
  out.assign(reinterpret_cast<const char16_t *>(buffer.data()), static_cast<size_t>(n));
  return true;
}

// Converts UTF-16 to bytes, checking the buffer-size rules; `usedDefault` may be null.
bool ToBytes(UINT codePage, DWORD flags, const std::u16string &text, std::string &out,
             BOOL *usedDefault) {
  out.clear();
  if (text.empty()) {
    if (usedDefault) *usedDefault = FALSE;
    return true;
  }
  LPCWSTR wide = reinterpret_cast<LPCWSTR>(text.data());
  int length = static_cast<int>(text.size());
  int n = WideCharToMultiByte(codePage, flags, wide, length, nullptr, 0, nullptr, usedDefault);
  if (n == 0) {
    FUZZ_CHECK(GetLastError() == ERROR_NO_UNICODE_TRANSLATION);
    return false;
  }
  FUZZ_CHECK(n > 0 && static_cast<size_t>(n) <= text.size() * 3);
  std::vector<char> buffer(static_cast<size_t>(n) + 1, '\x5A');
  BOOL used = FALSE;
  FUZZ_CHECK(WideCharToMultiByte(codePage, flags, wide, length, buffer.data(), n, nullptr,
                                 usedDefault ? &used : nullptr) == n);
  FUZZ_CHECK(buffer[static_cast<size_t>(n)] == '\x5A');
  if (usedDefault) FUZZ_CHECK(used == *usedDefault);
  if (n > 1) {
    SetLastError(0);
    FUZZ_CHECK(WideCharToMultiByte(codePage, flags, wide, length, buffer.data(), n - 1, nullptr,
                                   nullptr) == 0);
    FUZZ_CHECK(GetLastError() == ERROR_INSUFFICIENT_BUFFER);
  }
  out.assign(buffer.data(), static_cast<size_t>(n));
  return true;
}

std::u16string WideFrom(const std::string &bytes) {
  std::u16string text(bytes.size() / 2, u'\0');
  memcpy(&text[0], bytes.data(), text.size() * 2);
  return text;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size > 8192) return 0;
  FuzzedDataProvider input(data, size);
  const uint8_t mode = input.ConsumeIntegral<uint8_t>() % 4;
  std::string bytes = input.ConsumeRemainingBytesAsString();
  std::u16string wide, back;
  std::string encoded;
  switch (mode) {
    case 0: {  // code page 932 bytes
      ToWide(CP_ACP, 0, bytes, wide);
      if (ToWide(CP_ACP, MB_ERR_INVALID_CHARS, bytes, wide)) {
        BOOL used = TRUE;
        FUZZ_CHECK(ToBytes(CP_ACP, WC_NO_BEST_FIT_CHARS, wide, encoded, &used));
        FUZZ_CHECK(!used);
        FUZZ_CHECK(ToWide(CP_ACP, MB_ERR_INVALID_CHARS, encoded, back));
        FUZZ_CHECK(back == wide);  // the same characters, though duplicate codes may change
      }
      break;
    }
    case 1: {  // UTF-16 to code page 932
      wide = WideFrom(bytes);
      BOOL used = TRUE;
      ToBytes(CP_ACP, 0, wide, encoded, &used);
      FUZZ_CHECK(ToBytes(CP_ACP, WC_NO_BEST_FIT_CHARS, wide, encoded, &used));
      if (!used) {
        FUZZ_CHECK(ToWide(CP_ACP, 0, encoded, back));
        FUZZ_CHECK(back == wide);
      }
      break;
    }
    case 2: {  // UTF-8 bytes
      ToWide(CP_UTF8, 0, bytes, wide);
      if (ToWide(CP_UTF8, MB_ERR_INVALID_CHARS, bytes, wide)) {
        FUZZ_CHECK(ToBytes(CP_UTF8, kWcErrInvalidChars, wide, encoded, nullptr));
        FUZZ_CHECK(encoded == bytes);
      }
      break;
    }
    default: {  // UTF-16 to UTF-8
      wide = WideFrom(bytes);
      ToBytes(CP_UTF8, 0, wide, encoded, nullptr);
      if (ToBytes(CP_UTF8, kWcErrInvalidChars, wide, encoded, nullptr)) {
        FUZZ_CHECK(ToWide(CP_UTF8, MB_ERR_INVALID_CHARS, encoded, back));
        FUZZ_CHECK(back == wide);
      }
      break;
    }
  }
  return 0;
}
