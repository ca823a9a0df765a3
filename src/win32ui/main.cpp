// quelmar.exe: the Windows desktop program.
#include <cstring>
#include <string>

#include "version/version.h"
#include "win32ui/main_window.h"

namespace {

// A GUI program has no console of its own: the answer goes to the handle it
// was given (a pipe or file), else to the console it was started from.
void WriteToCaller(const std::string& text) {
  HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
  HANDLE console = INVALID_HANDLE_VALUE;
  if ((out == nullptr || out == INVALID_HANDLE_VALUE) && AttachConsole(ATTACH_PARENT_PROCESS)) {
    console =
        CreateFileA("CONOUT$", GENERIC_WRITE, FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
    out = console;
  }
  if (out != nullptr && out != INVALID_HANDLE_VALUE) {
    DWORD written = 0;
    WriteFile(out, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
  }
  if (console != INVALID_HANDLE_VALUE) CloseHandle(console);
}

}  // namespace

int WINAPI WinMain(HINSTANCE instance, HINSTANCE /*previous*/, LPSTR command_line, int /*show*/) {
  // The program takes no arguments; --version only tells which build it is.
  if (command_line != nullptr && std::strcmp(command_line, "--version") == 0) {
    WriteToCaller(std::string("quelmar ") + quelmar::VersionString() + "\n");
    return 0;
  }
  return quelmar::win32ui::RunQuelmar(instance);
}
