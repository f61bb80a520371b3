// File attributes of a wide (UTF-16) name, and the clearing of secrets.
#include <errno.h>
#include <string.h>
#include <sys/stat.h>

#include <string>

#include "platform_internal.h"

extern "C" DWORD WINAPI GetFileAttributesW(LPCWSTR name) {
  std::string fs;
  if (!lumox_platform::WideToFs(name, fs)) return INVALID_FILE_ATTRIBUTES;
  struct stat st;
  if (stat(fs.c_str(), &st) != 0) {
    lumox_platform::SetLastErrorFromErrno(errno, fs.c_str());
    return INVALID_FILE_ATTRIBUTES;
  }
  if (S_ISDIR(st.st_mode)) return FILE_ATTRIBUTE_DIRECTORY;
  // Write permission for nobody reads as the read-only attribute, as GetFileAttributesA says.
  return (st.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0
             ? FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_ARCHIVE
             : FILE_ATTRIBUTE_ARCHIVE;
}

extern "C" PVOID WINAPI SecureZeroMemory(PVOID memory, SIZE_T length) {
  // explicit_bzero is never treated as a dead store, however the memory is used afterwards.
  if (memory != nullptr && length > 0) explicit_bzero(memory, length);
  return memory;
}
