/* A plain C caller of the library: canonicalises a URL, downloads by GET and by POST,
 * uploads the downloaded file and keeps the reply, goes through a proxy, and prints
 * every result code with its message. Messages are Shift-JIS; on Linux they are shown
 * converted to the terminal's UTF-8.
 *
 *   lumox_demo BASE_URL WORK_DIR [PROXY_HOST PROXY_PORT PROXY_USER PROXY_PASSWORD]
 *
 * BASE_URL names a server that understands the test server's paths (tests/server).
 */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "Lumox.h"

#ifndef _WIN32
#include <iconv.h>
#endif

static void show_message(int code) {
  char sjis[512];
  char shown[1024];
  if (HttpGetErrStrC(code, sjis, sizeof(sjis)) != 0) {
    printf("    (no message)\n");
    return;
  }
#ifdef _WIN32
  snprintf(shown, sizeof(shown), "%s", sjis);
#else
  iconv_t cd = iconv_open("UTF-8", "CP932");
  char *in = sjis, *out = shown;
  size_t inLeft = strlen(sjis), outLeft = sizeof(shown) - 1;
  if (cd == (iconv_t)-1 || iconv(cd, &in, &inLeft, &out, &outLeft) == (size_t)-1) {
    snprintf(shown, sizeof(shown), "%s", sjis);
  } else {
    *out = '\0';
  }
  if (cd != (iconv_t)-1) iconv_close(cd);
#endif
  printf("    message: %s\n", shown);
}

static int report(const char *what, int code) {
  printf("%-44s -> %d\n", what, code);
  if (code != 0) show_message(code);
  return code != 0;
}

static long file_size(const char *path) {
  FILE *f = fopen(path, "rb");
  long size;
  if (!f) return -1;
  fseek(f, 0, SEEK_END);
  size = ftell(f);
  fclose(f);
  return size;
}

int main(int argc, char **argv) {
  char url[1100], path[600], reply[600], canonical[1100];
  char *pairs[] = {"Name1", "Value1", "Name2", "Value2"};
  int failures = 0;
  const char *base, *dir;
  if (argc != 3 && argc != 7) {
    fprintf(stderr, "usage: %s BASE_URL WORK_DIR [PROXY_HOST PROXY_PORT PROXY_USER PROXY_PASSWORD]\n",
            argv[0]);
    return 2;
  }
  base = argv[1];
  dir = argv[2];

  snprintf(url, sizeof(url), "%s/x/demo/../demo/body/1000?a=1 2", base);
  failures += report("HttpParseURLC", HttpParseURLC(url, canonical, sizeof(canonical)));
  printf("    %s\n    => %s\n", url, canonical);

  snprintf(url, sizeof(url), "%s/x/demo/body/100000", base);
  snprintf(path, sizeof(path), "%s/download.bin", dir);
  failures += report("HttpDownloadFileC (GET, 2 pairs)", HttpDownloadFileC(url, pairs, 2, path, 0));
  printf("    %s: %ld bytes\n", path, file_size(path));

  snprintf(url, sizeof(url), "%s/x/demo/hdr/LFile-Length/6/text/posted", base);
  snprintf(path, sizeof(path), "%s/posted.txt", dir);
  failures += report("HttpDownloadFileC (POST, 2 fields)", HttpDownloadFileC(url, pairs, 2, path, 1));
  printf("    %s: %ld bytes\n", path, file_size(path));

  snprintf(url, sizeof(url), "%s/x/demo/echo", base);
  snprintf(path, sizeof(path), "%s/download.bin", dir);
  snprintf(reply, sizeof(reply), "%s/reply.txt", dir);
  failures += report("HttpUploadFileC (multipart, reply kept)",
                     HttpUploadFileC(url, pairs, 2, path, "inputfieldname", reply));
  printf("    %s: %ld bytes (the echoed multipart body)\n", reply, file_size(reply));

  snprintf(url, sizeof(url), "%s/x/demo/status/404", base);
  snprintf(path, sizeof(path), "%s/missing.bin", dir);
  report("HttpDownloadFileC (a missing resource)", HttpDownloadFileC(url, NULL, 0, path, 0));

  if (argc == 7) {
    snprintf(url, sizeof(url), "%s/x/demo/body/5000", base);
    snprintf(path, sizeof(path), "%s/proxied.bin", dir);
    failures += report("HttpDownloadFileExC (through the proxy)",
                       HttpDownloadFileExC(url, NULL, 0, path, 0, 0, argv[3], atoi(argv[4]), argv[5],
                                           argv[6]));
    printf("    %s: %ld bytes\n", path, file_size(path));
    snprintf(url, sizeof(url), "%s/x/demo/text/thanks", base);
    snprintf(path, sizeof(path), "%s/download.bin", dir);
    failures += report("HttpUploadFileExC (through the proxy)",
                       HttpUploadFileExC(url, NULL, 0, path, "inputfieldname", "", 0, argv[3],
                                         atoi(argv[4]), argv[5], argv[6]));
  }
  printf("%s\n", failures ? "some transfers failed" : "all transfers succeeded");
  return failures ? 1 : 0;
}
