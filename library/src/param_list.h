// The two forms of a parameter list: a host's automation array of (name, value) string
// records, and a plain char* array of name, value, name, value...
#pragma once
#include <windows.h>
#include <oleauto.h>
#include <stddef.h>

// One element of a host array: two automation strings, name first.
struct HostParamPair {
  BSTR name;
  BSTR value;
};

// Outcomes of a walk. A visitor's own nonzero result also ends the walk and is passed on.
enum ParamWalkResult {
  kParamWalkDone = 0,         // every pair up to the count or the first absent text
  kParamWalkNoList = -1,      // no list: null variable, null array, null pairs
  kParamWalkLockFailed = -2,  // SafeArrayLock refused the array
  kParamWalkTooMany = -3,     // more pairs declared than maxPairs
  kParamWalkTooLong = -4,     // a converted name or value does not fit its capacity
};

// Called once per pair in list order with NUL-terminated ANSI texts. Returns 0 to go on;
// anything else stops the walk and becomes its result.
typedef int (*ParamVisitor)(void *context, int index, const char *name, const char *value);

// Largest conversion capacity a host-array walk supports.
constexpr size_t kMaxParamCapacity = 2048;

// Host-array form: locks *params, converts each name and value from UTF-16 to the ANSI
// code page into zero-filled buffers of nameCapacity and valueCapacity bytes (a text must
// leave room for its terminator), and unlocks the array before returning. maxPairs > 0
// rejects a larger declared count before any pair is read.
int WalkHostParams(SAFEARRAY **params, size_t nameCapacity, size_t valueCapacity, int maxPairs,
                   ParamVisitor visit, void *context);

// Plain-array form: pairs[2i] is a name, pairs[2i+1] its value. Null pairs or a count of
// 0 or less is an empty list (kParamWalkDone); a count above maxPairs (> 0) is
// kParamWalkTooMany.
int WalkPlainParams(char **pairs, int pairCount, int maxPairs, ParamVisitor visit, void *context);
