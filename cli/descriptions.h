// Short English descriptions of the result codes that the library's message table leaves to
// its general message, printed by `lumox` after that message.
#ifndef LUMOX_CLI_DESCRIPTIONS_H
#define LUMOX_CLI_DESCRIPTIONS_H

#include <string>

namespace lumox_cli {

// The description of `code`, or an empty text when the code has none of lumox's own.
// `hasMessage` says whether the library has a message of its own for the code; an HTTP
// status without one is described by its number.
std::string CodeDescription(int code, bool hasMessage);

}  // namespace lumox_cli

#endif  // LUMOX_CLI_DESCRIPTIONS_H
