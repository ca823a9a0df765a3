// A fresh folder under the test's temporary folder, on POSIX and Windows.
#pragma once

#include <cstdlib>
#include <filesystem>
#include <string>

#include <gtest/gtest.h>

#ifndef _WIN32
#include <unistd.h>
#endif

namespace quelmar::testing {

// prefix: the folder's name up to its random part.
inline std::filesystem::path MakeTempDir(const std::string& prefix) {
  std::string templ = (std::filesystem::path(::testing::TempDir()) / (prefix + "XXXXXX")).string();
#ifdef _WIN32
  // No mkdtemp: pick a free name, then create it; a race only fails the test.
  if (_mktemp_s(templ.data(), templ.size() + 1) != 0) return {};
  std::filesystem::create_directory(templ);
  return templ;
#else
  const char* made = mkdtemp(templ.data());
  return made == nullptr ? std::filesystem::path() : std::filesystem::path(made);
#endif
}

}  // namespace quelmar::testing
