// The library's messages and the two exports that describe a result code.
#include "messages.h"

#include <string.h>
#include <windows.h>
#include <oleauto.h>

#include "Lumox.h"
#include "code_table.h"
#include "module.h"
#include "trace_log.h"

const char kFallbackMessage[] = "不明なエラーが発生しました。";

namespace {

constexpr size_t kWorkSize = 512;

}  // namespace

int LoadMessage(int code, char *buffer, size_t size) {
  if (buffer == nullptr || size == 0) return -1;
  const CodeMeaning *meaning = FindCodeMeaning(code);
  const char16_t *text = meaning != nullptr ? meaning->message : nullptr;
  if (text == nullptr) return 0;
  size_t wideLength = 0;
  while (text[wideLength] != 0) ++wideLength;
  char converted[kWorkSize];
  memset(converted, 0, sizeof converted);
  int length =
      WideCharToMultiByte(CP_ACP, 0, reinterpret_cast<LPCWSTR>(text), static_cast<int>(wideLength),
                          converted, static_cast<int>(sizeof converted - 1), nullptr, nullptr);
  if (length <= 0 || static_cast<size_t>(length) >= size) return -1;
  memcpy(buffer, converted, static_cast<size_t>(length));
  buffer[length] = '\0';
  return length;
}

extern "C" LUMOX_API int LUMOX_CALL HttpGetErrStr(int code, BSTR *message) {
  if (message == nullptr) return LUMOX_E_INVALID_PARAMETER;
  char work[kWorkSize];
  memset(work, 0, sizeof work);
  if (LoadMessage(code, work, sizeof work) <= 0) {
    memset(work, 0, sizeof work);
    memcpy(work, kFallbackMessage, sizeof kFallbackMessage);
  }
  TraceLog("IF", "GetErrStr。Code:%d----%s", code, work);
  SetResultString(message, work);
  return LUMOX_OK;
}

extern "C" LUMOX_API int LUMOX_CALL HttpGetErrStrC(int code, char *buffer,
                                                   unsigned int bufferSize) {
  char work[kWorkSize];
  memset(work, 0, sizeof work);
  if (buffer == nullptr) return LUMOX_E_INVALID_PARAMETER;
  int length = LoadMessage(code, work, sizeof work);
  if (length > 0) {
    if (static_cast<unsigned int>(length) >= bufferSize) return LUMOX_E_BUFFER_TOO_SMALL;
    memcpy(buffer, work, static_cast<size_t>(length) + 1);
    return LUMOX_OK;
  }
  const size_t fallbackLength = sizeof kFallbackMessage - 1;
  if (bufferSize < fallbackLength + 1) return LUMOX_E_NO_MESSAGE;
  memcpy(buffer, kFallbackMessage, fallbackLength + 1);
  return LUMOX_OK;
}
