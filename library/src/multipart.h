// multipart/form-data pieces: boundary, field sections, file-part header, closing delimiter.
#pragma once
#include <windows.h>
#include <oleauto.h>
#include <stddef.h>

constexpr size_t kBoundaryLength = 39;
constexpr size_t kFormTextSize = 65536;

// Writes a 39-character boundary and its terminator into boundary (at least 40 bytes).
// Each thread makes the same sequence of boundaries in every run.
void HttpMakeBoundary(char *boundary);

// Append one field section per pair to formText (NUL-terminated, in a buffer of formSize bytes). A
// list that is absent or cannot be locked adds nothing. Return 0; LUMOX_E_TOO_LONG when a converted
// name exceeds 127 bytes or a value 2047 bytes (host form), a section 2399 bytes, or the form text
// would not fit, and formText is then left as it was; LUMOX_E_INVALID_PARAMETER for a null formText
// or boundary.
int HttpAddPostParaB(SAFEARRAY **params, char *formText, size_t formSize, const char *boundary);
int HttpAddPostParaC(char **pairs, int pairCount, char *formText, size_t formSize,
                     const char *boundary);

// Body prefix of an upload: formText (may be null) followed by the file-part header, in a buffer
// that must not overlap formText. Returns 0, LUMOX_E_INVALID_PARAMETER for a null argument, or
// LUMOX_E_TOO_LONG when it does not fit (out untouched).
int FormatFilePartHeader(char *out, size_t size, const char *formText, const char *boundary,
                         const char *fieldName, const char *localPath);
// Closing delimiter: "\r\n--B--\r\n" after a file part, "--B--\r\n" after fields alone.
// Returns 0, LUMOX_E_INVALID_PARAMETER or LUMOX_E_TOO_LONG (out untouched).
int FormatClosingDelimiter(char *out, size_t size, const char *boundary, bool afterFilePart);
