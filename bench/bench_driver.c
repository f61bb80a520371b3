// Moves one file through libLumox.so and reports the process's peak resident set size.
//   lumox_bench_driver LIBRARY download URL LOCALFILE [THREADS]
//   lumox_bench_driver LIBRARY upload URL LOCALFILE [THREADS]
// With THREADS (1 to 64) the transfer runs that many times at once, one thread each; a
// download then goes to LOCALFILE.0, LOCALFILE.1, ... and an upload sends LOCALFILE each
// time. Prints "result=<code> bytes=<size> seconds=<s> peak_rss_kib=<VmHWM>": result is
// the first non-zero code of any thread, bytes the sum of the local files' sizes.
#include <dlfcn.h>
#include <pthread.h>
#include <stdbool.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>

typedef int (*DownloadFileC)(const char *, char **, int, const char *, int);
typedef int (*UploadFileC)(const char *, char **, int, const char *, const char *, const char *);

struct Job {
  bool upload;
  void *entry;
  const char *url;
  char path[4096];
  int result;
};

static long PeakRssKib(void) {
  FILE *status = fopen("/proc/self/status", "r");
  if (status == NULL) return -1;
  char line[256];
  long kib = -1;
  while (fgets(line, sizeof line, status) != NULL) {
    if (strncmp(line, "VmHWM:", 6) == 0) {
      sscanf(line + 6, "%ld", &kib);
      break;
    }
  }
  fclose(status);
  return kib;
}

static double Now(void) {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return ts.tv_sec + ts.tv_nsec / 1e9;
}

static void *Run(void *arg) {
  struct Job *job = arg;
  if (job->upload) {
    job->result = ((UploadFileC)job->entry)(job->url, NULL, 0, job->path, "file", NULL);
  } else {
    job->result = ((DownloadFileC)job->entry)(job->url, NULL, 0, job->path, 0);
  }
  return NULL;
}

int main(int argc, char **argv) {
  int threads = argc == 6 ? atoi(argv[5]) : 1;
  if ((argc != 5 && argc != 6) || threads < 1 || threads > 64 ||
      (strcmp(argv[2], "download") != 0 && strcmp(argv[2], "upload") != 0)) {
    fprintf(stderr, "usage: %s LIBRARY download|upload URL LOCALFILE [THREADS]\n", argv[0]);
    return 2;
  }
  // Lazy binding, as a program linked against the library gets it and as curl's executable
  // has libcurl: RTLD_NOW would also bind the functions of every library libcurl depends on
  // (about 2,000 of Kerberos, LDAP, GMP and the like, which no transfer calls), half a
  // millisecond that curl does not pay and that is no part of a transfer.
  void *library = dlopen(argv[1], RTLD_LAZY | RTLD_LOCAL);
  if (library == NULL) {
    fprintf(stderr, "cannot load %s: %s\n", argv[1], dlerror());
    return 2;
  }
  bool upload = strcmp(argv[2], "upload") == 0;
  void *entry = dlsym(library, upload ? "HttpUploadFileC" : "HttpDownloadFileC");
  if (entry == NULL) return 2;

  static struct Job jobs[64];
  pthread_t ids[64];
  for (int i = 0; i < threads; ++i) {
    jobs[i].upload = upload;
    jobs[i].entry = entry;
    jobs[i].url = argv[3];
    if (threads == 1 || upload)
      snprintf(jobs[i].path, sizeof jobs[i].path, "%s", argv[4]);
    else
      snprintf(jobs[i].path, sizeof jobs[i].path, "%s.%d", argv[4], i);
  }
  double start = Now();
  if (threads == 1) {
    Run(&jobs[0]);
  } else {
    for (int i = 0; i < threads; ++i) {
      if (pthread_create(&ids[i], NULL, Run, &jobs[i]) != 0) return 2;
    }
    for (int i = 0; i < threads; ++i) pthread_join(ids[i], NULL);
  }
  double seconds = Now() - start;
  int result = 0;
  long long bytes = 0;
  for (int i = 0; i < threads; ++i) {
    if (result == 0) result = jobs[i].result;
    struct stat st;
    if (upload && i > 0) continue;
    bytes += stat(jobs[i].path, &st) == 0 ? (long long)st.st_size : 0;
  }
  printf("result=%d bytes=%lld seconds=%.3f peak_rss_kib=%ld\n", result, bytes, seconds,
         PeakRssKib());
  return result == 0 ? 0 : 1;
}
