// quelmar.exe: the Windows desktop program.
#include "win32ui/main_window.h"

int WINAPI WinMain(HINSTANCE instance, HINSTANCE /*previous*/, LPSTR /*command_line*/,
                   int /*show*/) {
  return quelmar::win32ui::RunQuelmar(instance);
}
