// Command and control identifiers shared by the front ends and the core.
#pragma once

#include <cstdint>

namespace quelmar {

// Commands of the main window (operator requests).
inline constexpr int ID_START_FLASH_CODE = 40002;
inline constexpr int ID_SELECT_PORT = 40012;
inline constexpr int ID_OPEN_FILE_CODE = 40014;
inline constexpr int ID_START_FLASH_DATA = 40016;
inline constexpr int ID_OPEN_FILE_DATA = 40017;
inline constexpr int ID_RESET = 40019;

// Commands of the port worker.
inline constexpr int ID_COM_OPEN = 40007;
inline constexpr int ID_COM_CLOSE = 40008;
inline constexpr int ID_COM_START_FLASH_CODE = 40013;
inline constexpr int ID_COM_START_FLASH_DATA = 40015;
inline constexpr int ID_COM_RESET = 40018;

// Controls of the main dialog whose enabled state the core changes.
inline constexpr int IDC_COMPORT = 1000;
inline constexpr int IDC_UPDATE_CODE = 1002;
inline constexpr int IDC_UPDATE_FLASH = 1003;
inline constexpr int IDC_OPEN_CODE = 1009;
inline constexpr int IDC_OPEN_FLASH = 1010;
inline constexpr int IDC_REBOOT = 1011;
// The other controls of the main dialog.
inline constexpr int IDC_LOG_VIEW = 1006;  // LOG_VIEW placeholder
inline constexpr int IDC_EXIT = 1007;
inline constexpr int IDC_PROGRESS = 1008;  // PROGRESS placeholder

}  // namespace quelmar
