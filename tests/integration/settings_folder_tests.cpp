// Lumox.ini beside a library whose folder is named with characters outside the ANSI code
// page (Korean, and a Latin ligature): the settings are found there, so "CertCheck=1" refuses
// the test CA, unknown here, with 12045 and nothing written. A Lumox.ini that cannot be read
// (a folder of that name) keeps the checks on as well. Its own program: Wine keeps
// certificate decisions for the whole process, and nothing here may relax one first.
#ifdef _WIN32
#include <windows.h>
#else
#include <dlfcn.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#include <string>

#include "integration_support.h"

namespace lumox_it {
namespace {

std::string LibraryFileName() {
  std::string built = BuiltLibraryPath();
  return built.substr(built.find_last_of("/\\") + 1);
}

// One folder under a scratch folder, with a copy of the library and its Lumox.ini, named in
// UTF-8 and reached through the wide calls on Windows, the file-system names on Linux.
class WideFolder {
 public:
  WideFolder(const std::string &base, const std::string &utf8Name) {
#ifdef _WIN32
    dir_ = Wide(base) + L"\\" + Wide(utf8Name, CP_UTF8);
    CreateDirectoryW(dir_.c_str(), nullptr);
    library_ = dir_ + L"\\" + Wide(LibraryFileName());
    ok_ = CopyFileW(Wide(BuiltLibraryPath()).c_str(), library_.c_str(), FALSE) != FALSE;
#else
    dir_ = base + "/" + utf8Name;
    mkdir(dir_.c_str(), 0700);
    library_ = dir_ + "/" + LibraryFileName();
    ok_ = Write(library_, ReadFileBytes(BuiltLibraryPath()));
#endif
  }
  ~WideFolder() {
    if (module_ != nullptr) Unload();
#ifdef _WIN32
    DeleteFileW(library_.c_str());
    DeleteFileW(Ini().c_str());
    RemoveDirectoryW(Ini().c_str());
    RemoveDirectoryW(dir_.c_str());
#else
    unlink(library_.c_str());
    unlink(Ini().c_str());
    rmdir(Ini().c_str());
    rmdir(dir_.c_str());
#endif
  }
  bool ok() const { return ok_; }
  bool WriteIni(const std::string &text) {
#ifdef _WIN32
    HANDLE f = CreateFileW(Ini().c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    if (f == INVALID_HANDLE_VALUE) return false;
    DWORD written = 0;
    bool done = WriteFile(f, text.data(), static_cast<DWORD>(text.size()), &written, nullptr) &&
                written == text.size();
    return CloseHandle(f) && done;
#else
    return Write(Ini(), text);
#endif
  }
  // Lumox.ini as a folder: there, but no file anyone can read.
  bool MakeIniAFolder() {
#ifdef _WIN32
    DeleteFileW(Ini().c_str());
    return CreateDirectoryW(Ini().c_str(), nullptr) != FALSE;
#else
    unlink(Ini().c_str());
    return mkdir(Ini().c_str(), 0700) == 0;
#endif
  }
  DownloadFileCFn Load() {
#ifdef _WIN32
    module_ = LoadLibraryW(library_.c_str());
    if (module_ == nullptr) return nullptr;
    return reinterpret_cast<DownloadFileCFn>(
        reinterpret_cast<void *>(GetProcAddress(module_, "HttpDownloadFileC")));
#else
    module_ = dlopen(library_.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (module_ == nullptr) return nullptr;
    return reinterpret_cast<DownloadFileCFn>(dlsym(module_, "HttpDownloadFileC"));
#endif
  }
  void Unload() {
#ifdef _WIN32
    FreeLibrary(module_);
#else
    dlclose(module_);
#endif
    module_ = nullptr;
  }

 private:
#ifdef _WIN32
  static std::wstring Wide(const std::string &text, UINT codePage = CP_ACP) {
    wchar_t out[1024] = {0};
    MultiByteToWideChar(codePage, 0, text.c_str(), -1, out, 1024);
    return out;
  }
  std::wstring Ini() const { return dir_ + L"\\Lumox.ini"; }
  std::wstring dir_, library_;
  HMODULE module_ = nullptr;
#else
  static bool Write(const std::string &path, const std::string &bytes) {
    FILE *f = fopen(path.c_str(), "wb");
    if (f == nullptr) return false;
    bool done = fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
    return fclose(f) == 0 && done;
  }
  std::string Ini() const { return dir_ + "/Lumox.ini"; }
  std::string dir_, library_;
  void *module_ = nullptr;
#endif
  bool ok_ = false;
};

TEST(SettingsFolder, CheckedTransferRefusesTheUnknownCaFromAnyFolder) {
  REQUIRE_SERVER();
  Scratch files;
  struct Case {
    const char *folder;
    bool iniIsAFolder;
  } cases[] = {
      {u8"한글", false},
      {u8"\u0132", false},  // Ĳ
      {u8"한글", true},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(std::string(c.folder) + (c.iniIsAFolder ? " (Lumox.ini a folder)" : ""));
    WideFolder folder(files.dir(), c.folder);
    ASSERT_TRUE(folder.ok());
    ASSERT_TRUE(c.iniIsAFolder ? folder.MakeIniAFolder()
                               : folder.WriteIni("[HTTP_SETTING]\r\nCertCheck=1\r\n"));
    DownloadFileCFn download = folder.Load();
    ASSERT_NE(download, nullptr);
    std::string id = UniqueId("wide-folder");
    std::string target = files.Path("w.bin");
    EXPECT_EQ(12045, download(HttpsUrl(Server().httpsPort, id, "body/10").c_str(), nullptr, 0,
                              target.c_str(), 0));
    EXPECT_TRUE(Records(id).empty());
    EXPECT_FALSE(FileExists(target));
  }
}

}  // namespace
}  // namespace lumox_it
