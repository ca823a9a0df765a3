// The control sets: named groups of enable/disable operations on the main
// dialog's controls. They never show or hide anything and never touch Exit.
#pragma once

#include "common/ui_sink.h"

namespace quelmar {

// Disables the port drop-down, both open buttons, both update buttons and
// Reboot, in that order.
void LockControls(UiSink& ui);
// Enables the drop-down and both open buttons, each update button only when
// its image is present, and Reboot. Never disables anything.
void UnlockControls(UiSink& ui, bool has_code_image, bool has_data_image);
// Disables Update Code, Update Flash and Reboot.
void DisablePortActions(UiSink& ui);
void SetUpdateCodeEnabled(UiSink& ui, bool enabled);
void SetUpdateFlashEnabled(UiSink& ui, bool enabled);
void SetRebootEnabled(UiSink& ui, bool enabled);

}  // namespace quelmar
