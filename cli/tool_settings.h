// What lumox sets in the library it links in, for its own process only.
#ifndef LUMOX_CLI_TOOL_SETTINGS_H
#define LUMOX_CLI_TOOL_SETTINGS_H

namespace lumox_cli {

// Full certificate checks unless `insecure` (then the library's relaxed checks); a limit of
// -1 leaves that setting to Lumox.ini beside the lumox program.
void ApplyToolSettings(bool insecure, long long connectTimeoutMs, long long maxTimeMs);

// Makes a later StopLibraryTransfers end a transfer in whatever it waits for (connecting,
// TLS, sending, the reply's head, the body) by closing its request.
void StopEndsEveryWait();

// Ends a running transfer: at its next block of the body, and after StopEndsEveryWait at
// once (it returns an error). Safe to call from any thread.
void StopLibraryTransfers();

// The bytes the transfers of this process have moved so far, counted by the library as it
// sends and receives them; a total is -1 until the body's length is announced.
struct TransferCounts {
  long long sent = 0;
  long long sendTotal = -1;
  long long received = 0;
  long long receiveTotal = -1;
};
TransferCounts CurrentCounts();

// Starts counting (before the transfer). With `streamBody`, the reply body that would be
// saved into a file (the download, an upload's reply) goes to standard output instead as it
// arrives; a failed write ends the transfer with the system's error.
void WatchTransfers(bool streamBody);

}  // namespace lumox_cli

#endif  // LUMOX_CLI_TOOL_SETTINGS_H
