// Automation strings and arrays. A BSTR points just past a 4-byte byte count at UTF-16
// characters that are followed by a 2-byte terminator. A SAFEARRAY descriptor made here
// carries a hidden header in front so that only our own blocks are ever freed.
#include <stdlib.h>
#include <string.h>

#include "platform_internal.h"

namespace {

// Allocates room for `bytes` bytes of content; the content and the terminator are zeroed.
BSTR AllocateBstr(size_t bytes) {
  if (bytes > 0x7FFFFFF0u) return nullptr;
  // Byte count, content, a terminating NUL byte and a whole 2-byte terminator after it.
  size_t total = sizeof(uint32_t) + bytes + sizeof(WCHAR) + 1;
  unsigned char *block = static_cast<unsigned char *>(calloc(1, total));
  if (!block) return nullptr;
  uint32_t count = static_cast<uint32_t>(bytes);
  memcpy(block, &count, sizeof count);
  return reinterpret_cast<BSTR>(block + sizeof(uint32_t));
}

const uint32_t kDescriptorMagic = 0x4C4D5341u;  // "ASML": a descriptor of this library
const size_t kHiddenSize = 16;

uint32_t *HiddenHeader(SAFEARRAY *array) {
  return reinterpret_cast<uint32_t *>(reinterpret_cast<unsigned char *>(array) - kHiddenSize);
}

// Element count of all dimensions; false when the byte size would overflow.
bool DataSize(const SAFEARRAY *array, size_t &size) {
  uint64_t cells = 1;
  for (USHORT d = 0; d < array->cDims; ++d) {
    cells *= array->rgsabound[d].cElements;
    if (cells > 0xFFFFFFFFu) return false;
  }
  uint64_t bytes = cells * array->cbElements;
  if (bytes > 0x7FFFFFFFu) return false;
  size = static_cast<size_t>(bytes);
  return true;
}

}  // namespace

extern "C" BSTR WINAPI SysAllocString(const OLECHAR *text) {
  if (!text) return nullptr;
  size_t length = 0;
  while (text[length]) ++length;
  if (length > 0x3FFFFFF0u) return nullptr;
  return SysAllocStringLen(text, static_cast<UINT>(length));
}

extern "C" BSTR WINAPI SysAllocStringLen(const OLECHAR *text, UINT length) {
  if (length > 0x3FFFFFF0u) return nullptr;
  BSTR result = AllocateBstr(static_cast<size_t>(length) * sizeof(OLECHAR));
  if (result && text) memcpy(result, text, static_cast<size_t>(length) * sizeof(OLECHAR));
  return result;
}

extern "C" BSTR WINAPI SysAllocStringByteLen(LPCSTR bytes, UINT length) {
  BSTR result = AllocateBstr(length);
  if (result && bytes) memcpy(result, bytes, length);
  return result;
}

extern "C" void WINAPI SysFreeString(BSTR text) {
  if (!text) return;
  free(reinterpret_cast<unsigned char *>(text) - sizeof(uint32_t));
}

extern "C" UINT WINAPI SysStringByteLen(BSTR text) {
  if (!text) return 0;
  uint32_t count;
  memcpy(&count, reinterpret_cast<unsigned char *>(text) - sizeof(uint32_t), sizeof count);
  return count;
}

extern "C" UINT WINAPI SysStringLen(BSTR text) { return SysStringByteLen(text) / sizeof(OLECHAR); }

extern "C" HRESULT WINAPI SafeArrayAllocDescriptor(UINT dims, SAFEARRAY **out) {
  if (dims == 0 || dims >= 0x10000) return E_INVALIDARG;
  if (!out) return E_POINTER;
  size_t size = kHiddenSize + sizeof(SAFEARRAY) + sizeof(SAFEARRAYBOUND) * (dims - 1);
  unsigned char *block = static_cast<unsigned char *>(calloc(1, size));
  if (!block) {
    *out = nullptr;
    return E_OUTOFMEMORY;
  }
  SAFEARRAY *array = reinterpret_cast<SAFEARRAY *>(block + kHiddenSize);
  *HiddenHeader(array) = kDescriptorMagic;
  array->cDims = static_cast<USHORT>(dims);
  *out = array;
  return S_OK;
}

extern "C" HRESULT WINAPI SafeArrayAllocData(SAFEARRAY *array) {
  if (!array) return E_INVALIDARG;
  size_t size;
  if (!DataSize(array, size)) return E_OUTOFMEMORY;
  void *data = calloc(1, size ? size : 1);
  if (!data) return E_OUTOFMEMORY;
  array->pvData = data;
  return S_OK;
}

extern "C" HRESULT WINAPI SafeArrayDestroyData(SAFEARRAY *array) {
  if (!array) return E_INVALIDARG;
  if (array->cLocks) return DISP_E_ARRAYISLOCKED;
  if (!array->pvData) return S_OK;
  size_t size = 0;
  bool sized = DataSize(array, size);
  if ((array->fFeatures & FADF_BSTR) && sized && array->cbElements == sizeof(BSTR)) {
    BSTR *strings = static_cast<BSTR *>(array->pvData);
    for (size_t i = 0; i < size / sizeof(BSTR); ++i) {
      SysFreeString(strings[i]);
      strings[i] = nullptr;
    }
  }
  if (array->fFeatures & FADF_STATIC) {
    if (sized) memset(array->pvData, 0, size);
    return S_OK;
  }
  free(array->pvData);
  array->pvData = nullptr;
  return S_OK;
}

extern "C" HRESULT WINAPI SafeArrayDestroyDescriptor(SAFEARRAY *array) {
  if (!array) return S_OK;
  if (array->cLocks) return DISP_E_ARRAYISLOCKED;
  if (*HiddenHeader(array) != kDescriptorMagic) return S_OK;  // not made here: not ours to free
  *HiddenHeader(array) = 0;
  free(HiddenHeader(array));
  return S_OK;
}

extern "C" HRESULT WINAPI SafeArrayLock(SAFEARRAY *array) {
  if (!array) return E_INVALIDARG;
  ULONG locks = __atomic_add_fetch(&array->cLocks, 1u, __ATOMIC_ACQ_REL);
  if (locks > 0xFFFFu) {  // at most 65535 locks at a time
    __atomic_sub_fetch(&array->cLocks, 1u, __ATOMIC_ACQ_REL);
    return E_UNEXPECTED;
  }
  return S_OK;
}

extern "C" HRESULT WINAPI SafeArrayUnlock(SAFEARRAY *array) {
  if (!array) return E_INVALIDARG;
  ULONG locks = __atomic_sub_fetch(&array->cLocks, 1u, __ATOMIC_ACQ_REL);
  if (static_cast<LONG>(locks) < 0) {
    __atomic_add_fetch(&array->cLocks, 1u, __ATOMIC_ACQ_REL);
    return E_UNEXPECTED;
  }
  return S_OK;
}
