// Walks over the two forms of a parameter list, handing each pair to a visitor.
#include "param_list.h"

#include <string.h>

namespace {

// Converts one automation string into buffer (capacity bytes, zero-filled here). Returns
// false when the converted text would not leave room for its terminator.
bool ConvertToAnsi(BSTR text, char *buffer, size_t capacity) {
  memset(buffer, 0, capacity);
  UINT length = SysStringLen(text);
  if (length == 0) return true;
  int written = WideCharToMultiByte(CP_ACP, 0, text, static_cast<int>(length), buffer,
                                    static_cast<int>(capacity - 1), nullptr, nullptr);
  if (written <= 0) {
    memset(buffer, 0, capacity);
    return false;
  }
  return true;
}

}  // namespace

int WalkHostParams(SAFEARRAY **params, size_t nameCapacity, size_t valueCapacity, int maxPairs,
                   ParamVisitor visit, void *context) {
  if (params == nullptr || *params == nullptr) return kParamWalkNoList;
  if (nameCapacity < 1 || nameCapacity > kMaxParamCapacity || valueCapacity < 1 ||
      valueCapacity > kMaxParamCapacity || visit == nullptr)
    return kParamWalkTooLong;
  SAFEARRAY *array = *params;
  if (FAILED(SafeArrayLock(array))) return kParamWalkLockFailed;

  int result = kParamWalkDone;
  ULONG count = array->rgsabound[0].cElements;
  if (maxPairs > 0 && count > static_cast<ULONG>(maxPairs)) {
    result = kParamWalkTooMany;
  } else {
    // The lower bound is not consulted: the walk starts at the first element in memory.
    const HostParamPair *elements = static_cast<const HostParamPair *>(array->pvData);
    char name[kMaxParamCapacity];
    char value[kMaxParamCapacity];
    for (ULONG i = 0; elements != nullptr && i < count; ++i) {
      if (elements[i].name == nullptr || elements[i].value == nullptr) break;
      if (!ConvertToAnsi(elements[i].name, name, nameCapacity) ||
          !ConvertToAnsi(elements[i].value, value, valueCapacity)) {
        result = kParamWalkTooLong;
        break;
      }
      int visited = visit(context, static_cast<int>(i), name, value);
      if (visited != 0) {
        result = visited;
        break;
      }
    }
    memset(name, 0, sizeof name);
    memset(value, 0, sizeof value);
  }
  SafeArrayUnlock(array);
  return result;
}

int WalkPlainParams(char **pairs, int pairCount, int maxPairs, ParamVisitor visit, void *context) {
  if (maxPairs > 0 && pairCount > maxPairs) return kParamWalkTooMany;
  if (pairs == nullptr || pairCount <= 0 || visit == nullptr) return kParamWalkDone;
  for (int i = 0; i < pairCount; ++i) {
    // In size_t: 2 * i overflows int for counts above 2^30 when no limit applies (POST).
    const char *name = pairs[2 * static_cast<size_t>(i)];
    const char *value = pairs[2 * static_cast<size_t>(i) + 1];
    if (name == nullptr || value == nullptr) break;
    int visited = visit(context, i, name, value);
    if (visited != 0) return visited;
  }
  return kParamWalkDone;
}
