// The profile (INI) reader behind the settings file: any file content, any section and
// key names, read as integers and as text; a section appended behind the content is always
// found.
#include <windows.h>

#include <fuzzer/FuzzedDataProvider.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <algorithm>
#include <string>

#include "fuzz_check.h"

namespace {

std::string g_dir;

std::string Lower(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(), [](char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
  });
  return text;
}

void WriteFile(const std::string &path, const std::string &contents) {
  FILE *file = fopen(path.c_str(), "wb");
  FUZZ_CHECK(file != nullptr);
  FUZZ_CHECK(fwrite(contents.data(), 1, contents.size(), file) == contents.size());
  fclose(file);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  char dir[] = "/tmp/lumox-fuzz-ini-XXXXXX";
  FUZZ_CHECK(mkdtemp(dir) != nullptr);
  g_dir = dir;
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size > 65536) return 0;
  FuzzedDataProvider input(data, size);
  std::string section = input.ConsumeRandomLengthString(40);
  std::string key = input.ConsumeRandomLengthString(40);
  std::string contents = input.ConsumeRemainingBytesAsString();
  std::string path = g_dir + "/Lumox.ini";

  WriteFile(path, contents);
  const char *settingsKeys[] = {"LogOn", "Connect", "Receive", "Send", "Total"};
  for (const char *k : settingsKeys) GetPrivateProfileIntA("HTTP_SETTING", k, -7, path.c_str());
  UINT first = GetPrivateProfileIntA(section.c_str(), key.c_str(), 5, path.c_str());
  FUZZ_CHECK(first == GetPrivateProfileIntA(section.c_str(), key.c_str(), 5, path.c_str()));
  if (contents.find('[') == std::string::npos) FUZZ_CHECK(first == 5u);

  // The text of the same key, cut to a small buffer: terminated, never longer than the buffer.
  char text[9];
  memset(text, 'X', sizeof text);
  DWORD length = GetPrivateProfileStringA(section.c_str(), key.c_str(), "d", text, 8, path.c_str());
  FUZZ_CHECK(length <= 7 && text[length] == '\0' && strlen(text) == length && text[8] == 'X');

  // A section of a new name behind the content is read whatever came before it.
  if (Lower(contents).find("zzprobe") == std::string::npos) {
    WriteFile(path, contents + "\n[ZzProbe]\nProbeKey = 0x3039\n");
    FUZZ_CHECK(GetPrivateProfileIntA("zzprobe", "PROBEKEY", 5, path.c_str()) == 12345u);
  }
  unlink(path.c_str());
  return 0;
}
