// The file system calls the image files need, one implementation per
// platform: nothing else in the image code includes an OS header.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace quelmar::image::detail {

// Opens path for reading only when it is a regular file on disk, without
// ever waiting (a FIFO or a device would wait for a writer forever); null
// otherwise. *size receives the file's length.
std::FILE* OpenRegularFile(const std::string& path, int64_t* size);

#ifdef _WIN32
// Whether path names a device (COM3, NUL, \\.\pipe\x) rather than a file:
// such names are refused before they are opened, since opening a serial
// port alone raises its control lines and may reset a board.
bool IsDeviceName(const std::string& path);
#endif

// Writes bytes to a new file beside path, flushes it to disk and moves it
// over path in one step. False, with one line in *error (when given), if
// anything failed; path is then as it was, unless only the flush of its
// folder failed (the new file is in place, but a power cut may undo that).
bool ReplaceWithBytes(const std::string& path, const std::vector<uint8_t>& bytes,
                      std::string* error);

}  // namespace quelmar::image::detail
