// The log: printf-style text handed to the UI sink, one call at a time.
#pragma once

#include <cstdarg>
#include <mutex>
#include <string>

#include "common/ui_sink.h"

namespace quelmar {

class Log {
 public:
  explicit Log(UiSink* sink = nullptr) : sink_(sink) {}
  Log(const Log&) = delete;
  Log& operator=(const Log&) = delete;

  // Replaces the sink; null makes the log silent (text is still formatted).
  void SetSink(UiSink* sink);

  // Appends exactly the formatted text, with no line end of its own.
  // Serialised: text from two threads never interleaves within one call.
  // There is no length limit.
  void AppendLog(int severity, const char* format, ...) __attribute__((format(printf, 3, 4)));
  void AppendLogV(int severity, const char* format, va_list args);

  // Reports through the sink's error box; always returns 0 so that a failing
  // step can report and yield its failure result in one statement.
  int ShowErrorBox(const char* format, ...) __attribute__((format(printf, 2, 3)));

 private:
  std::mutex mutex_;
  UiSink* sink_;
};

// printf-style formatting into a string of any length.
std::string FormatV(const char* format, va_list args);
std::string Format(const char* format, ...) __attribute__((format(printf, 1, 2)));

}  // namespace quelmar
