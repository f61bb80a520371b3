#include "tool_settings.h"

#include "settings.h"

namespace lumox_cli {

void ApplyToolSettings(bool insecure, long long connectTimeoutMs, long long maxTimeMs) {
  SettingsOverride values;
  values.certCheck = insecure ? 0 : 1;
  values.connectMs = connectTimeoutMs;
  values.totalMs = maxTimeMs;
  SetSettingsOverride(values);
}

void StopLibraryTransfers() { StopTransfers(); }

}  // namespace lumox_cli
