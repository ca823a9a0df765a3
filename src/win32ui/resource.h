// Identifiers of quelmar.exe's resources. The resource script cannot read
// common/ids.h, so it gets the dialog's control ids here; C++ takes them
// from common/ids.h (the Windows tests check both name the same controls).
#pragma once

#define IDD_MAIN_DIALOG 103
#define IDI_QUELMAR 1

#ifdef RC_INVOKED
#define IDC_COMPORT 1000
#define IDC_UPDATE_CODE 1002
#define IDC_UPDATE_FLASH 1003
#define IDC_LOG_VIEW 1006
#define IDC_EXIT 1007
#define IDC_PROGRESS 1008
#define IDC_OPEN_CODE 1009
#define IDC_OPEN_FLASH 1010
#define IDC_REBOOT 1011
#endif
