#include "settings/run_settings.h"

RunSettings& TheRunSettings() {
  static RunSettings settings;
  return settings;
}
