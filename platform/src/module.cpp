// Modules over the dynamic loader. An HMODULE is the base address of the loaded object
// (dladdr's dli_fbase), as on Windows, so a handle from GetModuleHandleExA and one from
// LoadLibraryA are the same value. Objects loaded by LoadLibraryA keep their dlopen handle
// in a table until the matching FreeLibrary.
#include <dlfcn.h>
#include <errno.h>
#include <link.h>
#include <string.h>
#include <unistd.h>

#include <mutex>
#include <string>
#include <vector>

#include "platform_internal.h"

using lumox_platform::AnsiToFs;
using lumox_platform::Fail;
using lumox_platform::FsToAnsi;

namespace {

struct Loaded {
  void *base;
  void *handle;  // one dlopen reference per LoadLibraryA call is kept: count of them
  unsigned count;
};

std::mutex g_modulesMutex;
std::vector<Loaded> g_loaded;

// Base address of the object a dlopen handle refers to.
void *BaseOfHandle(void *handle) {
  struct link_map *map = nullptr;
  if (dlinfo(handle, RTLD_DI_LINKMAP, &map) != 0 || !map) return nullptr;
  Dl_info info;
  if (map->l_ld && dladdr(map->l_ld, &info) != 0 && info.dli_fbase) return info.dli_fbase;
  return reinterpret_cast<void *>(map->l_addr);
}

bool ProgramPath(std::string &path) {
  char buffer[4096];
  ssize_t n = readlink("/proc/self/exe", buffer, sizeof buffer);
  if (n <= 0 || static_cast<size_t>(n) >= sizeof buffer) return false;
  path.assign(buffer, static_cast<size_t>(n));
  return true;
}

// The file of the module whose base address is `module`; false when there is none.
bool LookUpModulePath(HMODULE module, std::string &path) {
  if (!module) return ProgramPath(path);
  Dl_info info;
  if (dladdr(module, &info) == 0 || info.dli_fbase != static_cast<void *>(module)) return false;
  if (!info.dli_fname || !*info.dli_fname) return ProgramPath(path);
  // The main program is reported under the name it was started with.
  void *self = dlopen(nullptr, RTLD_NOW);
  bool isProgram = false;
  if (self) {
    isProgram = BaseOfHandle(self) == info.dli_fbase;
    dlclose(self);
  }
  if (isProgram) return ProgramPath(path);
  char resolved[4096];
  if (realpath(info.dli_fname, resolved))
    path = resolved;
  else
    path = info.dli_fname;
  return true;
}

// The module that holds this code (the library itself, or the program it is linked into)
// keeps its file while this code runs, so its path is looked up once: the library asks
// for it several times per transfer, and each look-up resolves the path anew. The copy
// needs no destructor, as the library's unload hooks still ask for it.
bool ModulePath(HMODULE module, std::string &path) {
  static std::once_flag once;
  static HMODULE self = nullptr;
  static char selfPath[4096];
  static size_t selfLength = 0;
  std::call_once(once, [] {
    Dl_info info;
    std::string found;
    if (dladdr(reinterpret_cast<void *>(&LookUpModulePath), &info) != 0 && info.dli_fbase &&
        LookUpModulePath(static_cast<HMODULE>(info.dli_fbase), found) &&
        found.size() < sizeof selfPath) {
      memcpy(selfPath, found.c_str(), found.size() + 1);
      selfLength = found.size();
      self = static_cast<HMODULE>(info.dli_fbase);
    }
  });
  if (module && module == self) {
    path.assign(selfPath, selfLength);
    return true;
  }
  return LookUpModulePath(module, path);
}

}  // namespace

extern "C" DWORD WINAPI GetModuleFileNameA(HMODULE module, LPSTR buffer, DWORD size) {
  std::string fsPath;
  if (!ModulePath(module, fsPath)) return Fail(ERROR_MOD_NOT_FOUND, 0);
  std::string path = FsToAnsi(fsPath);
  if (size == 0 || !buffer) return Fail(ERROR_INSUFFICIENT_BUFFER, 0);
  // Windows copies what fits, terminates it and returns the buffer size when it was cut.
  if (path.size() >= size) {
    memcpy(buffer, path.data(), size - 1);
    buffer[size - 1] = '\0';
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return size;
  }
  memcpy(buffer, path.c_str(), path.size() + 1);
  SetLastError(ERROR_SUCCESS);
  return static_cast<DWORD>(path.size());
}

extern "C" DWORD WINAPI GetModuleFileNameW(HMODULE module, LPWSTR buffer, DWORD size) {
  std::string fsPath;
  if (!ModulePath(module, fsPath)) return Fail(ERROR_MOD_NOT_FOUND, 0);
  std::u16string path;
  lumox_platform::FsToWide(fsPath, path);
  if (size == 0 || !buffer) return Fail(ERROR_INSUFFICIENT_BUFFER, 0);
  if (path.size() >= size) {
    memcpy(buffer, path.data(), (size - 1) * sizeof(WCHAR));
    buffer[size - 1] = 0;
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return size;
  }
  memcpy(buffer, path.c_str(), (path.size() + 1) * sizeof(WCHAR));
  SetLastError(ERROR_SUCCESS);
  return static_cast<DWORD>(path.size());
}

extern "C" BOOL WINAPI GetModuleHandleExA(DWORD flags, LPCSTR name, HMODULE *module) {
  const DWORD known = GET_MODULE_HANDLE_EX_FLAG_PIN | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT |
                      GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS;
  if (module) *module = nullptr;
  if (!module || (flags & ~known) ||
      ((flags & GET_MODULE_HANDLE_EX_FLAG_PIN) &&
       (flags & GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT))) {
    return Fail(ERROR_INVALID_PARAMETER);
  }
  void *base = nullptr;
  std::string fileName;
  if (flags & GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS) {
    Dl_info info;
    if (!name || dladdr(name, &info) == 0 || !info.dli_fbase) return Fail(ERROR_MOD_NOT_FOUND);
    base = info.dli_fbase;
    if (info.dli_fname) fileName = info.dli_fname;
  } else if (!name) {
    void *self = dlopen(nullptr, RTLD_NOW);
    base = self ? BaseOfHandle(self) : nullptr;
    if (self) dlclose(self);
  } else {
    std::string fs = AnsiToFs(name);
    void *handle = dlopen(fs.c_str(), RTLD_NOW | RTLD_NOLOAD);
    if (handle) {
      base = BaseOfHandle(handle);
      dlclose(handle);
      fileName = fs;
    }
  }
  if (!base) return Fail(ERROR_MOD_NOT_FOUND);
  // Without UNCHANGED_REFCOUNT the caller owns a reference, released by FreeLibrary.
  if (!(flags & GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT) && !fileName.empty()) {
    int extra = (flags & GET_MODULE_HANDLE_EX_FLAG_PIN) ? RTLD_NODELETE : 0;
    void *handle = dlopen(fileName.c_str(), RTLD_NOW | RTLD_NOLOAD | extra);
    if (handle && !(flags & GET_MODULE_HANDLE_EX_FLAG_PIN)) {
      std::lock_guard<std::mutex> lock(g_modulesMutex);
      bool found = false;
      for (Loaded &entry : g_loaded) {
        if (entry.base == base) {
          ++entry.count;
          dlclose(handle);  // the entry's handle already stands for the object
          found = true;
          break;
        }
      }
      if (!found) g_loaded.push_back(Loaded{base, handle, 1});
    } else if (handle) {
      dlclose(handle);  // pinned by RTLD_NODELETE
    }
  }
  *module = static_cast<HMODULE>(base);
  return TRUE;
}

extern "C" HMODULE WINAPI LoadLibraryA(LPCSTR name) {
  if (!name || !*name) return Fail(ERROR_INVALID_PARAMETER, nullptr);
  std::string fs = AnsiToFs(name);
  void *handle = dlopen(fs.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!handle) {
    // A file that is there but is no loadable object is a bad image; a missing file or a
    // missing dependency is a missing module.
    const char *why = dlerror();  // NOLINT(concurrency-mt-unsafe): glibc keeps it per thread
    bool badImage = access(fs.c_str(), F_OK) == 0 && why &&
                    (strstr(why, "invalid ELF header") || strstr(why, "file too short") ||
                     strstr(why, "wrong ELF class"));
    return Fail(badImage ? ERROR_BAD_EXE_FORMAT : ERROR_MOD_NOT_FOUND, nullptr);
  }
  void *base = BaseOfHandle(handle);
  if (!base) {
    dlclose(handle);
    return Fail(ERROR_MOD_NOT_FOUND, nullptr);
  }
  std::lock_guard<std::mutex> lock(g_modulesMutex);
  for (Loaded &entry : g_loaded) {
    if (entry.base == base) {
      ++entry.count;
      dlclose(handle);
      return static_cast<HMODULE>(base);
    }
  }
  g_loaded.push_back(Loaded{base, handle, 1});
  return static_cast<HMODULE>(base);
}

extern "C" BOOL WINAPI FreeLibrary(HMODULE module) {
  void *handle = nullptr;
  {
    std::lock_guard<std::mutex> lock(g_modulesMutex);
    for (size_t i = 0; i < g_loaded.size(); ++i) {
      if (g_loaded[i].base == static_cast<void *>(module)) {
        if (--g_loaded[i].count == 0) {
          handle = g_loaded[i].handle;
          g_loaded.erase(g_loaded.begin() + static_cast<std::ptrdiff_t>(i));
        } else {
          return TRUE;
        }
        break;
      }
    }
  }
  if (handle) {
    dlclose(handle);  // the last reference: the object's unload hooks run here
    return TRUE;
  }
  Dl_info info;
  if (module && dladdr(module, &info) != 0 && info.dli_fbase == static_cast<void *>(module)) {
    return TRUE;  // a module this caller holds no reference of its own to
  }
  return Fail(ERROR_MOD_NOT_FOUND);
}

extern "C" FARPROC WINAPI GetProcAddress(HMODULE module, LPCSTR name) {
  if (!name) return Fail(ERROR_PROC_NOT_FOUND, nullptr);
  void *handle = nullptr;
  bool own = false;
  {
    std::lock_guard<std::mutex> lock(g_modulesMutex);
    for (const Loaded &entry : g_loaded) {
      if (entry.base == static_cast<void *>(module)) {
        handle = entry.handle;
        break;
      }
    }
  }
  if (!handle) {
    Dl_info info;
    if (!module) {
      handle = dlopen(nullptr, RTLD_NOW);
    } else if (dladdr(module, &info) != 0 && info.dli_fbase == static_cast<void *>(module) &&
               info.dli_fname) {
      handle = dlopen(info.dli_fname, RTLD_NOW | RTLD_NOLOAD);
      if (!handle) handle = dlopen(nullptr, RTLD_NOW);  // the main program
    }
    if (!handle) return Fail(ERROR_MOD_NOT_FOUND, nullptr);
    own = true;
  }
  dlerror();  // NOLINT(concurrency-mt-unsafe): glibc keeps it per thread
  void *symbol = dlsym(handle, name);
  // Only the module's own symbols count, not those of the objects it depends on.
  Dl_info where;
  if (symbol && module &&
      (dladdr(symbol, &where) == 0 || where.dli_fbase != static_cast<void *>(module))) {
    symbol = nullptr;
  }
  if (own) dlclose(handle);
  if (!symbol) return Fail(ERROR_PROC_NOT_FOUND, nullptr);
  return reinterpret_cast<FARPROC>(symbol);
}
