#include "db_options.h"

#include <algorithm>
#include <cstdio>

#include "cli.h"

namespace quelmar::cli {

std::optional<int> ReadDbOptions(int argc, char** argv, int first, const char* command,
                                 const char* help, const std::set<std::string>& known,
                                 DbOptions* out) {
  for (int i = first; i < argc; ++i) {
    if (IsHelp(argv[i])) {
      std::fputs(help, stdout);
      return kExitOk;
    }
  }
  bool words_only = false;
  for (int i = first; i < argc; ++i) {
    std::string arg = argv[i];
    if (words_only || arg.size() < 2 || arg[0] != '-') {
      out->words.push_back(arg);
      continue;
    }
    if (arg == "--") {
      words_only = true;
      continue;
    }
    std::string value;
    bool has_value = false;
    const size_t equals = arg.find('=');
    if (equals != std::string::npos) {
      value = arg.substr(equals + 1);
      arg.resize(equals);
      has_value = true;
    }
    if (known.count(arg) == 0) return UsageError(command, "unknown option '" + arg + "'");
    if (!has_value) {
      if (i + 1 >= argc) return UsageError(command, arg + " needs a value");
      value = argv[++i];
    }
    if (!out->values.emplace(arg, value).second)
      return UsageError(command, arg + " may be given once");
  }
  if (out->values.count("--db") == 0) return UsageError(command, "missing --db CONNINFO");
  return std::nullopt;
}

int DbFailure(const std::string& why) {
  std::fprintf(stderr, "quelmar-cli: %s\n", why.c_str());
  return kExitFailure;
}

void PrintTable(const std::vector<std::vector<std::string>>& rows) {
  std::vector<size_t> widths;
  for (const auto& row : rows) {
    widths.resize(std::max(widths.size(), row.size()));
    for (size_t i = 0; i < row.size(); ++i) widths[i] = std::max(widths[i], row[i].size());
  }
  for (const auto& row : rows) {
    std::string line;
    for (size_t i = 0; i < row.size(); ++i) {
      line += row[i];
      if (i + 1 < row.size()) line += std::string(widths[i] - row[i].size() + 2, ' ');
    }
    std::printf("%s\n", line.c_str());
  }
}

}  // namespace quelmar::cli
