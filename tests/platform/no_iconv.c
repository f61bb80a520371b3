/* Preloaded by the test "codepage_without_converters": a C library whose character set
   converters are missing, as in a slim container. Every iconv_open fails. */
#include <errno.h>
#include <iconv.h>

iconv_t iconv_open(const char *to, const char *from) {
  (void)to;
  (void)from;
  errno = EINVAL;
  return (iconv_t)-1;
}
