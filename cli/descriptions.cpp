#include "descriptions.h"

#include "code_table.h"

namespace lumox_cli {

std::string CodeDescription(int code, bool hasMessage) {
  if (hasMessage) return std::string();
  // The table's descriptions cover codes the engines pass on from the system: file errors
  // while the body is written or the upload read, and the internet library's errors.
  const CodeMeaning *meaning = FindCodeMeaning(code);
  if (meaning != nullptr && meaning->description != nullptr) return meaning->description;
  if (code >= 100 && code <= 999)
    return "the server answered with HTTP status " + std::to_string(code) + " instead of 200";
  return std::string();
}

}  // namespace lumox_cli
