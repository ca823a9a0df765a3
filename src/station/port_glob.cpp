#include "station/port_glob.h"

namespace quelmar::station {

bool IsGlob(std::string_view text) {
  return text.find_first_of("*?") != std::string_view::npos;
}

bool GlobMatch(std::string_view glob, std::string_view name) {
  // Iterative, with one back-track point: linear enough for port names.
  size_t g = 0, n = 0, star = std::string_view::npos, mark = 0;
  while (n < name.size()) {
    if (g < glob.size() && (glob[g] == '?' || glob[g] == name[n])) {
      ++g;
      ++n;
    } else if (g < glob.size() && glob[g] == '*') {
      star = g++;
      mark = n;
    } else if (star != std::string_view::npos) {
      g = star + 1;
      n = ++mark;
    } else {
      return false;
    }
  }
  while (g < glob.size() && glob[g] == '*') ++g;
  return g == glob.size();
}

}  // namespace quelmar::station
