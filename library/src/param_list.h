// The two forms of a parameter list: a host's automation array of (name, value) string
// records, and a plain char* array of name, value, name, value...
#pragma once
#include <windows.h>
#include <oleauto.h>

// One element of a host array: two automation strings, name first.
struct HostParamPair {
  BSTR name;
  BSTR value;
};
