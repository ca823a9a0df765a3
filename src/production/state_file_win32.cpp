#include <windows.h>

#include "common/error_text.h"
#include "common/utf8_path.h"
#include "production/state_file.h"

namespace quelmar::production {

namespace {

bool NotThere(DWORD error) {
  return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
}

}  // namespace

bool FindStateFile(const std::string& path, StateFile* file, std::string* why) {
  *file = StateFile{path, false, false};
  auto cannot = [&](DWORD error) {
    *why = "cannot look at the state file '" + path + "': " + Win32ErrorText(error);
    return false;
  };
  DWORD attributes = GetFileAttributesW(WideFromUtf8(path).c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) {
    const DWORD error = GetLastError();
    return NotThere(error) ? true : cannot(error);
  }
  if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
    // Opened through the link, the handle names the file it leads to.
    HANDLE target = CreateFileW(WideFromUtf8(path).c_str(), FILE_READ_ATTRIBUTES,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (target == INVALID_HANDLE_VALUE) {
      const DWORD error = GetLastError();
      if (!NotThere(error)) return cannot(error);
      *why = "the state file '" + path + "' is a link to a file that does not exist";
      return false;
    }
    std::wstring real(32768, L'\0');
    const DWORD n = GetFinalPathNameByHandleW(target, real.data(), 32767, FILE_NAME_NORMALIZED);
    const DWORD error = GetLastError();
    CloseHandle(target);
    if (n == 0 || n >= 32767) return cannot(error);
    real.resize(n);
    if (real.rfind(L"\\\\?\\UNC\\", 0) == 0) {
      real = L"\\\\" + real.substr(8);
    } else if (real.rfind(L"\\\\?\\", 0) == 0) {
      real = real.substr(4);
    }
    file->path = Utf8FromWide(real);
    attributes = GetFileAttributesW(real.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) return cannot(GetLastError());
  }
  if ((attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_DEVICE)) != 0) {
    *why = "the state file '" + path + "' is not a regular file";
    return false;
  }
  file->exists = true;
  file->read_only = (attributes & FILE_ATTRIBUTE_READONLY) != 0;
  return true;
}

}  // namespace quelmar::production
