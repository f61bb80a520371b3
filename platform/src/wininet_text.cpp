// Text helpers every WinINet unit uses, below all of them: header text trimmed, secrets wiped.
#include "wininet_internal.h"

#include <cstring>

namespace lumox_inet {

void Wipe(std::string &text) {
  if (!text.empty()) SecureZeroMemory(&text[0], text.size());
  text.clear();
}

void Wipe(curl_slist *lines) {
  for (curl_slist *l = lines; l != nullptr; l = l->next)
    if (l->data != nullptr) SecureZeroMemory(l->data, strlen(l->data));
}

std::string Trim(const std::string &s) {
  size_t b = 0, e = s.size();
  while (b < e && (s[b] == ' ' || s[b] == '\t')) ++b;
  while (e > b && (s[e - 1] == ' ' || s[e - 1] == '\t' || s[e - 1] == '\r' || s[e - 1] == '\n'))
    --e;
  return s.substr(b, e - b);
}

}  // namespace lumox_inet
