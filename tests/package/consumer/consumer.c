/* A program built the way a user builds against an installed Lumox: only <Lumox.h> and the
 * library. It runs transfers against the test server and prints one line per check,
 * "ok NAME" or "FAIL NAME: why"; it exits 0 only when every check passed.
 *
 *   consumer BASE_URL WORK_DIR ID_PREFIX
 */
#include <Lumox.h>

#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

static int failures;

static void report(const char *name, int ok, const char *why) {
  if (ok) {
    printf("ok %s\n", name);
  } else {
    printf("FAIL %s: %s\n", name, why);
    ++failures;
  }
}

static long read_file(const char *path, unsigned char *buffer, long size) {
  FILE *f = fopen(path, "rb");
  long n;
  if (!f) return -1;
  n = (long)fread(buffer, 1, (size_t)size, f);
  fclose(f);
  return n;
}

static int contains(const unsigned char *hay, long hayLength, const void *needle, long length) {
  long i;
  for (i = 0; i + length <= hayLength; ++i) {
    if (memcmp(hay + i, needle, (size_t)length) == 0) return 1;
  }
  return 0;
}

/* An automation string as a host makes it: byte count, UTF-16 units, 2-byte terminator. */
#ifdef _WIN32
static BSTR make_bstr(const char *ascii) {
  OLECHAR wide[64];
  UINT n = 0;
  while (ascii[n] && n < 63) {
    wide[n] = (OLECHAR)ascii[n];
    ++n;
  }
  return SysAllocStringLen(wide, n);
}

static void free_bstr(BSTR s) { SysFreeString(s); }
#else
static BSTR make_bstr(const char *ascii) {
  size_t n = strlen(ascii), i;
  unsigned char *block = calloc(1, 4 + 2 * n + 2);
  uint32_t bytes = (uint32_t)(2 * n);
  BSTR s = (BSTR)(void *)(block + 4);
  memcpy(block, &bytes, 4);
  for (i = 0; i < n; ++i) s[i] = (OLECHAR)ascii[i];
  return s;
}

/* The library allocates a result string as one block from 4 bytes before the pointer. */
static void free_bstr(BSTR s) {
  if (s) free((char *)s - 4);
}
#endif

int main(int argc, char **argv) {
  static unsigned char data[65536];
  char url[1024], file[1024], reply[1024], message[512], why[256];
  long n, i;
  int rc, pattern = 1;
  const char *base, *dir, *prefix;
  if (argc != 4) {
    fprintf(stderr, "usage: consumer BASE_URL WORK_DIR ID_PREFIX\n");
    return 2;
  }
  base = argv[1];
  dir = argv[2];
  prefix = argv[3];

  /* A download by GET with two parameters and the length header. */
  {
    char *pairs[] = {"Name1", "Value1", "Name2", "Value 2"};
    snprintf(url, sizeof url, "%s/x/%s-get/body/3000/hdr/LFile-Length/3000", base, prefix);
    snprintf(file, sizeof file, "%s/%s-get.bin", dir, prefix);
    rc = HttpDownloadFileC(url, pairs, 2, file, 0);
    snprintf(why, sizeof why, "result %d", rc);
    report("download by GET returns 0", rc == 0, why);
    n = read_file(file, data, sizeof data);
    for (i = 0; i < n; ++i) pattern = pattern && data[i] == (unsigned char)(i % 251);
    snprintf(why, sizeof why, "%ld bytes, pattern %d", n, pattern);
    report("downloaded file holds the 3000 bytes sent", n == 3000 && pattern, why);
  }

  /* An upload of that file with one form field; the server echoes the body it received. */
  {
    char *pairs[] = {"Kind", "test"};
    snprintf(url, sizeof url, "%s/x/%s-put/echo", base, prefix);
    snprintf(reply, sizeof reply, "%s/%s-reply.bin", dir, prefix);
    rc = HttpUploadFileC(url, pairs, 1, file, "upfile", reply);
    snprintf(why, sizeof why, "result %d", rc);
    report("multipart upload returns 0", rc == 0, why);
    {
      static unsigned char sent[3000];
      static const char field[] = "name=\"Kind\"\r\n\r\ntest\r\n";
      static const char part[] = "name=\"upfile\"; filename=\"";
      long got = read_file(reply, data, sizeof data);
      for (i = 0; i < 3000; ++i) sent[i] = (unsigned char)(i % 251);
      snprintf(why, sizeof why, "reply of %ld bytes", got);
      report("server received the field and the whole file",
             got > 3000 && contains(data, got, field, (long)strlen(field)) &&
                 contains(data, got, part, (long)strlen(part)) && contains(data, got, sent, 3000),
             why);
    }
  }

  /* The automation form with an array made by hand: the types of Lumox.h as the library
   * reads them. The test runner checks the query string in the server's record. */
  {
    BSTR strings[6];
    SAFEARRAY array;
    SAFEARRAY *variable = &array;
    strings[0] = make_bstr("Name1");
    strings[1] = make_bstr("Value1");
    strings[2] = make_bstr("Name2");
    strings[3] = make_bstr("Value2");
    strings[4] = NULL; /* a third, unset pair ends the list */
    strings[5] = NULL;
    memset(&array, 0, sizeof array);
    array.cDims = 1;
    array.cbElements = 2 * sizeof(BSTR);
    array.pvData = strings;
    array.rgsabound[0].cElements = 3;
    snprintf(url, sizeof url, "%s/x/%s-auto/body/10", base, prefix);
    snprintf(file, sizeof file, "%s/%s-auto.bin", dir, prefix);
    rc = HttpDownloadFile(url, &variable, file, 0);
    snprintf(why, sizeof why, "result %d, locks left %u", rc, (unsigned)array.cLocks);
    report("download through the automation form returns 0", rc == 0 && array.cLocks == 0, why);
    for (i = 0; i < 4; ++i) free_bstr(strings[i]);
  }

  /* A status other than 200 is the result, and leaves no file. */
  {
    FILE *f;
    snprintf(url, sizeof url, "%s/x/%s-missing/status/404", base, prefix);
    snprintf(file, sizeof file, "%s/%s-missing.bin", dir, prefix);
    rc = HttpDownloadFileC(url, NULL, 0, file, 0);
    f = fopen(file, "rb");
    snprintf(why, sizeof why, "result %d, file %s", rc, f ? "left" : "absent");
    report("404 is returned and leaves no file", rc == 404 && f == NULL, why);
    if (f) fclose(f);
  }

  /* Messages in Shift-JIS, through both forms. */
  {
    /* "ダウンロードしたファイルのサイズがサーバーと合いません。" */
    static const char sizeMismatch[] =
        "\x83\x5f\x83\x45\x83\x93\x83\x8d\x81\x5b\x83\x68\x82\xb5\x82\xbd\x83\x74\x83\x40\x83\x43"
        "\x83\x8b\x82\xcc\x83\x54\x83\x43\x83\x59\x82\xaa\x83\x54\x81\x5b\x83\x6f\x81\x5b\x82\xc6"
        "\x8d\x87\x82\xa2\x82\xdc\x82\xb9\x82\xf1\x81\x42";
    /* "要求された URI は存在しない。" */
    static const char notFound[] =
        "\x97\x76\x8b\x81\x82\xb3\x82\xea\x82\xbd\x20\x55\x52\x49\x20\x82\xcd\x91\xb6\x8d\xdd\x82"
        "\xb5\x82\xc8\x82\xa2\x81\x42";
    BSTR text = NULL;
    uint32_t bytes = 0;
    rc = HttpGetErrStrC(LUMOX_E_SIZE_MISMATCH, message, sizeof message);
    report("HttpGetErrStrC gives the message of 10011",
           rc == 0 && strcmp(message, sizeMismatch) == 0, message);
    rc = HttpGetErrStrC(LUMOX_E_SIZE_MISMATCH, message, (unsigned)strlen(sizeMismatch));
    report("HttpGetErrStrC with a buffer one byte short gives 10006",
           rc == LUMOX_E_BUFFER_TOO_SMALL, "other result");
    rc = HttpGetErrStr(404, &text);
    if (text) memcpy(&bytes, (char *)text - 4, 4);
    snprintf(why, sizeof why, "result %d, %u bytes", rc, (unsigned)bytes);
    report("HttpGetErrStr stores the ANSI bytes of the 404 message",
           rc == 0 && text && bytes == strlen(notFound) && memcmp(text, notFound, bytes) == 0, why);
    free_bstr(text);
  }

  return failures == 0 ? 0 : 1;
}
