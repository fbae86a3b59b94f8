// SPDX-License-Identifier: GPL-3.0-or-later
#include "settings/run_settings.h"

RunSettings& TheRunSettings() {
  static RunSettings settings;
  return settings;
}
