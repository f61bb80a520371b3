// What lumox sets in the library it links in, for its own process only.
#ifndef LUMOX_CLI_TOOL_SETTINGS_H
#define LUMOX_CLI_TOOL_SETTINGS_H

namespace lumox_cli {

// Full certificate checks unless `insecure` (then the library's relaxed checks); a limit of
// -1 leaves that setting to Lumox.ini beside the lumox program.
void ApplyToolSettings(bool insecure, long long connectTimeoutMs, long long maxTimeMs);

// Ends a running transfer at its next block of the body (it returns 12002).
void StopLibraryTransfers();

}  // namespace lumox_cli

#endif  // LUMOX_CLI_TOOL_SETTINGS_H
