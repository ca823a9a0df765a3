// Windows: libpq.dll and the DLLs it needs sit beside quelmar-cli.exe and
// are loaded only when the line is used. They are loaded by full path, with
// the DLL's own folder searched for its dependencies, so that a libpq.dll
// elsewhere on PATH or in the working folder is never taken instead.
#include <windows.h>

#include "line/pq.h"

namespace quelmar::line {

namespace {

std::wstring ProgramFolder() {
  std::wstring path(MAX_PATH, L'\0');
  for (;;) {
    const DWORD n = GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
    if (n == 0) return L"";
    if (n < path.size()) {
      path.resize(n);
      break;
    }
    path.resize(path.size() * 2);
  }
  const size_t slash = path.find_last_of(L"\\/");
  return slash == std::wstring::npos ? L"" : path.substr(0, slash + 1);
}

std::string SystemText(DWORD code) {
  char* text = nullptr;
  const DWORD n = FormatMessageA(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, code, 0, reinterpret_cast<char*>(&text), 0, nullptr);
  std::string result = n > 0 && text != nullptr ? std::string(text, n) : std::string();
  if (text != nullptr) LocalFree(text);
  while (!result.empty() && (result.back() == '\n' || result.back() == '\r' ||
                             result.back() == ' ' || result.back() == '.'))
    result.pop_back();
  return "error " + std::to_string(code) + (result.empty() ? "" : ": " + result);
}

struct Loaded {
  PqApi api;
  bool ok = false;
  std::string why;
};

Loaded Load() {
  Loaded loaded;
  const std::wstring path = ProgramFolder() + L"libpq.dll";
  HMODULE module = LoadLibraryExW(path.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
  if (module == nullptr) {
    loaded.why = "cannot load libpq.dll beside quelmar-cli.exe (" + SystemText(GetLastError()) +
                 "): the line needs it and the DLLs the zip ships with it";
    return loaded;
  }
  PqApi& a = loaded.api;
#define QUELMAR_PQ_LOAD(name)                                       \
  a.name = reinterpret_cast<decltype(&::name)>(                     \
      reinterpret_cast<void (*)()>(GetProcAddress(module, #name))); \
  if (a.name == nullptr) {                                          \
    loaded.why = "libpq.dll beside quelmar-cli.exe has no " #name   \
                 ": it is too old (15 or "                          \
                 "newer is needed)";                                \
    return loaded;                                                  \
  }
  QUELMAR_PQ_FUNCTIONS(QUELMAR_PQ_LOAD)
#undef QUELMAR_PQ_LOAD
  loaded.ok = true;
  return loaded;
}

}  // namespace

const PqApi* Pq(std::string* why) {
  static const Loaded loaded = Load();
  if (!loaded.ok) {
    if (why != nullptr) *why = loaded.why;
    return nullptr;
  }
  return &loaded.api;
}

}  // namespace quelmar::line
