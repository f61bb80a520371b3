// Moves one file through libLumox.so and reports the process's peak resident set size.
//   lumox_bench_driver LIBRARY download URL LOCALFILE
//   lumox_bench_driver LIBRARY upload URL LOCALFILE
// Prints "result=<code> bytes=<size of LOCALFILE> seconds=<s> peak_rss_kib=<VmHWM>".
#include <dlfcn.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>

namespace {

using DownloadFileC = int (*)(const char *, char **, int, const char *, int);
using UploadFileC = int (*)(const char *, char **, int, const char *, const char *,
                            const char *);

long PeakRssKib() {
  FILE *status = fopen("/proc/self/status", "r");
  if (status == nullptr) return -1;
  char line[256];
  long kib = -1;
  while (fgets(line, sizeof line, status) != nullptr) {
    if (strncmp(line, "VmHWM:", 6) == 0) {
      sscanf(line + 6, "%ld", &kib);
      break;
    }
  }
  fclose(status);
  return kib;
}

double Now() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return ts.tv_sec + ts.tv_nsec / 1e9;
}

}  // namespace

int main(int argc, char **argv) {
  if (argc != 5 || (strcmp(argv[2], "download") != 0 && strcmp(argv[2], "upload") != 0)) {
    fprintf(stderr, "usage: %s LIBRARY download|upload URL LOCALFILE\n", argv[0]);
    return 2;
  }
  void *library = dlopen(argv[1], RTLD_NOW | RTLD_LOCAL);
  if (library == nullptr) {
    fprintf(stderr, "cannot load %s: %s\n", argv[1], dlerror());
    return 2;
  }
  double start = Now();
  int result;
  if (strcmp(argv[2], "download") == 0) {
    auto download = reinterpret_cast<DownloadFileC>(dlsym(library, "HttpDownloadFileC"));
    if (download == nullptr) return 2;
    result = download(argv[3], nullptr, 0, argv[4], 0);
  } else {
    auto upload = reinterpret_cast<UploadFileC>(dlsym(library, "HttpUploadFileC"));
    if (upload == nullptr) return 2;
    result = upload(argv[3], nullptr, 0, argv[4], "file", nullptr);
  }
  double seconds = Now() - start;
  struct stat st;
  long long bytes = stat(argv[4], &st) == 0 ? static_cast<long long>(st.st_size) : -1;
  printf("result=%d bytes=%lld seconds=%.1f peak_rss_kib=%ld\n", result, bytes, seconds,
         PeakRssKib());
  return result == 0 ? 0 : 1;
}
