// Win32 side of a label command: the program with the label on its stdin.
#include <windows.h>

#include <algorithm>
#include <string>

#include "common/deadline.h"
#include "common/error_text.h"
#include "common/utf8_path.h"
#include "production/label.h"

namespace quelmar::production {

namespace {

// One argument quoted as CommandLineToArgvW reads it back.
std::wstring Quoted(const std::wstring& arg) {
  if (!arg.empty() && arg.find_first_of(L" \t\"") == std::wstring::npos) return arg;
  std::wstring out = L"\"";
  size_t backslashes = 0;
  for (const wchar_t c : arg) {
    if (c == L'\\') {
      ++backslashes;
      continue;
    }
    out.append(c == L'"' ? backslashes * 2 + 1 : backslashes, L'\\');
    backslashes = 0;
    out += c;
  }
  out.append(backslashes * 2, L'\\');
  return out + L"\"";
}

}  // namespace

bool RunWithInput(const std::vector<std::string>& argv, const std::string& input,
                  std::chrono::milliseconds timeout, int* status, std::string* why) {
  const Deadline deadline(timeout);
  if (argv.empty()) {
    *why = "no command to run";
    return false;
  }
  SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
  HANDLE read_end = nullptr, write_end = nullptr;
  if (!CreatePipe(&read_end, &write_end, &inherit, 0)) {
    *why = "cannot run '" + argv[0] + "': " + Win32ErrorText(GetLastError());
    return false;
  }
  SetHandleInformation(write_end, HANDLE_FLAG_INHERIT, 0);
  std::wstring line;
  for (const std::string& a : argv) line += (line.empty() ? L"" : L" ") + Quoted(WideFromUtf8(a));
  STARTUPINFOW start{};
  start.cb = sizeof start;
  start.dwFlags = STARTF_USESTDHANDLES;
  start.hStdInput = read_end;
  start.hStdOutput = GetStdHandle(STD_OUTPUT_HANDLE);
  start.hStdError = GetStdHandle(STD_ERROR_HANDLE);
  PROCESS_INFORMATION process{};
  const BOOL made = CreateProcessW(nullptr, line.data(), nullptr, nullptr, TRUE, CREATE_NO_WINDOW,
                                   nullptr, nullptr, &start, &process);
  const DWORD made_error = GetLastError();
  CloseHandle(read_end);
  if (!made) {
    CloseHandle(write_end);
    *why = "cannot run '" + argv[0] + "': " + Win32ErrorText(made_error);
    return false;
  }
  CloseHandle(process.hThread);
  // The writes run on their own thread so that a program that never reads
  // cannot hold this one past the deadline.
  struct Feed {
    HANDLE pipe;
    const std::string* input;
    size_t written;
  } feed{write_end, &input, 0};
  HANDLE writer = CreateThread(
      nullptr, 0,
      [](LPVOID p) -> DWORD {
        auto* f = static_cast<Feed*>(p);
        while (f->written < f->input->size()) {
          DWORD n = 0;
          const DWORD chunk =
              static_cast<DWORD>(std::min<size_t>(f->input->size() - f->written, 1 << 16));
          if (!WriteFile(f->pipe, f->input->data() + f->written, chunk, &n, nullptr)) break;
          f->written += n;
        }
        // The end of its input: the program sees it once all is written.
        CloseHandle(f->pipe);
        return 0;
      },
      &feed, 0, nullptr);
  const DWORD waited =
      WaitForSingleObject(process.hProcess, static_cast<DWORD>(deadline.MillisLeft()));
  if (waited != WAIT_OBJECT_0) TerminateProcess(process.hProcess, 1);
  WaitForSingleObject(process.hProcess, INFINITE);
  // The program has ended: a write still blocked fails once the pipe closes.
  if (writer == nullptr) CloseHandle(write_end);
  if (writer) {
    CancelSynchronousIo(writer);
    WaitForSingleObject(writer, INFINITE);
    CloseHandle(writer);
  }
  DWORD code = 0;
  GetExitCodeProcess(process.hProcess, &code);
  CloseHandle(process.hProcess);
  if (waited != WAIT_OBJECT_0) {
    *why =
        "'" + argv[0] + "' did not end within " + std::to_string(timeout.count()) + " ms: killed";
    return false;
  }
  *status = static_cast<int>(code);
  if (feed.written < input.size() && *status == 0) {
    *why = "'" + argv[0] + "' ended before it read the whole label";
    return false;
  }
  return true;
}

}  // namespace quelmar::production
