// multipart/form-data pieces: boundary, field sections, file-part header, closing delimiter.
#pragma once
#include <windows.h>
#include <oleauto.h>
#include <stddef.h>

constexpr size_t kBoundaryLength = 39;
constexpr size_t kFormTextSize = 65536;

// Writes a 39-character boundary and its terminator into boundary (at least 40 bytes).
void HttpMakeBoundary(char *boundary);

// Append one field section per pair to formText (NUL-terminated, in a buffer of formSize
// bytes). Return 0, or 10001 when a converted name exceeds 127 bytes, a value 2047 bytes,
// a section 2399 bytes, or the form text would not fit; formText is then unusable.
int HttpAddPostParaB(SAFEARRAY **params, char *formText, size_t formSize, const char *boundary);
int HttpAddPostParaC(char **pairs, int pairCount, char *formText, size_t formSize,
                     const char *boundary);

// Body prefix of an upload: formText followed by the file-part header. Returns 0 or 10001.
int FormatFilePartHeader(char *out, size_t size, const char *formText, const char *boundary,
                         const char *fieldName, const char *localPath);
// Closing delimiter: "\r\n--B--\r\n" after a file part, "--B--\r\n" after fields alone.
int FormatClosingDelimiter(char *out, size_t size, const char *boundary, bool afterFilePart);
