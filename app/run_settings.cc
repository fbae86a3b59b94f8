#include "app/run_settings.h"

RunSettings& TheRunSettings() {
  static RunSettings settings;
  return settings;
}
