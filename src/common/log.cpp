#include "common/log.h"

#include <cstdio>

namespace quelmar {

std::string FormatV(const char* format, va_list args) {
  // Try a stack buffer first: almost every line fits.
  char small[512];
  va_list copy;
  va_copy(copy, args);
  const int needed = std::vsnprintf(small, sizeof small, format, copy);
  va_end(copy);
  if (needed < 0) return {};
  if (static_cast<size_t>(needed) < sizeof small)
    return std::string(small, static_cast<size_t>(needed));
  std::string text(static_cast<size_t>(needed) + 1, '\0');
  std::vsnprintf(text.data(), text.size(), format, args);
  text.resize(static_cast<size_t>(needed));
  return text;
}

std::string Format(const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::string text = FormatV(format, args);
  va_end(args);
  return text;
}

void Log::SetSink(UiSink* sink) {
  std::lock_guard lock(mutex_);
  sink_ = sink;
}

void Log::AppendLog(int severity, const char* format, ...) {
  va_list args;
  va_start(args, format);
  AppendLogV(severity, format, args);
  va_end(args);
}

void Log::AppendLogV(int severity, const char* format, va_list args) {
  std::string text = FormatV(format, args);
  std::lock_guard lock(mutex_);
  if (sink_ != nullptr) sink_->LogText(severity, text);
}

int Log::ShowErrorBox(const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::string text = FormatV(format, args);
  va_end(args);
  std::lock_guard lock(mutex_);
  if (sink_ != nullptr) sink_->ErrorBox(text);
  return 0;
}

}  // namespace quelmar
