// The walks that keep the settings catalogue and the setting objects of the partition in step.
#pragma once
#include <string>

namespace zemir {

// Directory -> registry and catalogue. True when every setting not skipped was opened and read.
bool _zemirAP_ReadSettings();
// Creates the setting objects that do not exist yet. True when no creation failed.
bool _zemirAP_CreateSettings();
// Catalogue -> directory. True when every written setting was opened and set.
bool _zemirAP_SaveSettings();
// The value of lastSettingsUpdateTimeCounter for the next save.
std::u16string NextSettingsUpdateCounter();

}  // namespace zemir
