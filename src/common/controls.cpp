#include "common/controls.h"

#include "common/ids.h"

namespace quelmar {

void LockControls(UiSink& ui) {
  ui.SetControlEnabled(IDC_COMPORT, false);
  ui.SetControlEnabled(IDC_OPEN_CODE, false);
  ui.SetControlEnabled(IDC_OPEN_FLASH, false);
  ui.SetControlEnabled(IDC_UPDATE_FLASH, false);
  ui.SetControlEnabled(IDC_UPDATE_CODE, false);
  ui.SetControlEnabled(IDC_REBOOT, false);
}

void UnlockControls(UiSink& ui, bool has_code_image, bool has_data_image) {
  ui.SetControlEnabled(IDC_COMPORT, true);
  ui.SetControlEnabled(IDC_OPEN_CODE, true);
  ui.SetControlEnabled(IDC_OPEN_FLASH, true);
  if (has_code_image) ui.SetControlEnabled(IDC_UPDATE_CODE, true);
  if (has_data_image) ui.SetControlEnabled(IDC_UPDATE_FLASH, true);
  ui.SetControlEnabled(IDC_REBOOT, true);
}

void DisablePortActions(UiSink& ui) {
  ui.SetControlEnabled(IDC_UPDATE_CODE, false);
  ui.SetControlEnabled(IDC_UPDATE_FLASH, false);
  ui.SetControlEnabled(IDC_REBOOT, false);
}

void SetUpdateCodeEnabled(UiSink& ui, bool enabled) {
  ui.SetControlEnabled(IDC_UPDATE_CODE, enabled);
}
void SetUpdateFlashEnabled(UiSink& ui, bool enabled) {
  ui.SetControlEnabled(IDC_UPDATE_FLASH, enabled);
}
void SetRebootEnabled(UiSink& ui, bool enabled) {
  ui.SetControlEnabled(IDC_REBOOT, enabled);
}

}  // namespace quelmar
