// multipart/form-data pieces of the upload engine's body.
#include "multipart.h"

#include <stdint.h>
#include <stdio.h>
#include <string.h>

#include "Lumox.h"
#include "param_list.h"
#include "text_buffer.h"

namespace {
constexpr size_t kNameCapacity = 128;
constexpr size_t kValueCapacity = 2048;
constexpr size_t kSectionSize = 2400;

// The runtime's rand(): per-thread state that starts at 1 and is never seeded, so every
// thread makes the same sequence of boundaries in every run.
thread_local uint32_t t_randState = 1;

unsigned int NextRandom() {
  t_randState = t_randState * 214013u + 2531011u;
  return (t_randState >> 16) & 0x7FFFu;
}

struct FormBuild {
  char *formText;
  size_t formSize;
  const char *boundary;
};

// Formats one field section and appends it; LUMOX_E_TOO_LONG stops the walk.
int AppendFieldSection(void *context, int, const char *name, const char *value) {
  FormBuild *build = static_cast<FormBuild *>(context);
  char section[kSectionSize];
  memset(section, 0, sizeof section);
  int length = snprintf(section, sizeof section,
                        "--%s\r\nContent-Disposition: form-data; name=\"%s\"\r\n\r\n%s\r\n",
                        build->boundary, name, value);
  if (length < 0 || static_cast<size_t>(length) >= sizeof section) return LUMOX_E_TOO_LONG;
  return AppendText(build->formText, build->formSize, section) ? LUMOX_OK : LUMOX_E_TOO_LONG;
}

// Maps a walk's outcome to a result; a failed walk leaves formText as it was.
int FinishWalk(FormBuild *build, size_t startLength, int walked) {
  if (walked == kParamWalkDone || walked == kParamWalkNoList || walked == kParamWalkLockFailed)
    return 0;
  build->formText[startLength] = '\0';
  return LUMOX_E_TOO_LONG;
}
}  // namespace

void HttpMakeBoundary(char *boundary) {
  if (boundary == nullptr) return;
  unsigned int first = NextRandom() & 0xFFFFu;
  unsigned int second = NextRandom() & 0xFFFFu;
  unsigned int third = NextRandom() & 0xFFFFu;
  // NOLINTNEXTLINE(cert-err33-c): 27 dashes and 12 hex digits always fill it exactly.
  snprintf(boundary, kBoundaryLength + 1, "---------------------------%04X%04X%04X", first, second,
           third);
}

int HttpAddPostParaB(SAFEARRAY **params, char *formText, size_t formSize, const char *boundary) {
  if (formText == nullptr || formSize == 0 || boundary == nullptr) return LUMOX_E_INVALID_PARAMETER;
  size_t start = strnlen(formText, formSize);
  if (start >= formSize) return LUMOX_E_TOO_LONG;
  FormBuild build = {formText, formSize, boundary};
  int walked = WalkHostParams(params, kNameCapacity, kValueCapacity, 0, AppendFieldSection, &build);
  return FinishWalk(&build, start, walked);
}

int HttpAddPostParaC(char **pairs, int pairCount, char *formText, size_t formSize,
                     const char *boundary) {
  if (formText == nullptr || formSize == 0 || boundary == nullptr) return LUMOX_E_INVALID_PARAMETER;
  size_t start = strnlen(formText, formSize);
  if (start >= formSize) return LUMOX_E_TOO_LONG;
  FormBuild build = {formText, formSize, boundary};
  int walked = WalkPlainParams(pairs, pairCount, 0, AppendFieldSection, &build);
  return FinishWalk(&build, start, walked);
}

int FormatFilePartHeader(char *out, size_t size, const char *formText, const char *boundary,
                         const char *fieldName, const char *localPath) {
  if (out == nullptr || boundary == nullptr || fieldName == nullptr || localPath == nullptr)
    return LUMOX_E_INVALID_PARAMETER;
  static const char kFormat[] =
      "%s--%s\r\nContent-Disposition: form-data; name=\"%s\"; filename=\"%s\"\r\n"
      "Content-Type: application/octet-stream\r\n\r\n";
  if (formText == nullptr) formText = "";
  // Measured first, so a prefix that does not fit leaves out untouched.
  int length = snprintf(nullptr, 0, kFormat, formText, boundary, fieldName, localPath);
  if (length < 0 || static_cast<size_t>(length) >= size) return LUMOX_E_TOO_LONG;
  // NOLINTNEXTLINE(cert-err33-c): measured above
  snprintf(out, size, kFormat, formText, boundary, fieldName, localPath);
  return 0;
}

int FormatClosingDelimiter(char *out, size_t size, const char *boundary, bool afterFilePart) {
  if (out == nullptr || boundary == nullptr) return LUMOX_E_INVALID_PARAMETER;
  const char *format = afterFilePart ? "\r\n--%s--\r\n" : "--%s--\r\n";
  int length = snprintf(nullptr, 0, format, boundary);
  if (length < 0 || static_cast<size_t>(length) >= size) return LUMOX_E_TOO_LONG;
  snprintf(out, size, format, boundary);  // NOLINT(cert-err33-c): measured above
  return 0;
}
