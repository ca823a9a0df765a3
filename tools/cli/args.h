// quelmar-cli's command lines, read with CLI11. Each parser prints the
// command's help for -h/--help and reports a usage error as
// "quelmar-cli: <message>" plus a hint; it then returns the exit code to end
// with (0 after help, 2 after an error), or nullopt to go on.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace quelmar::cli {

// One argument, named name in the usage errors: identify PORT, reboot PORT,
// info FILE.
std::optional<int> ParseOneArgument(int argc, char** argv, const char* help, const char* name,
                                    std::string* value);
// ports: no arguments.
std::optional<int> ParseNoArguments(int argc, char** argv, const char* help);

struct PackArgs {
  std::string out;
  char encoding = 'F';
  std::string bank_a, bank_b;
  std::vector<std::string> inputs;
};
// pack-code (banks true) and pack-data: -o OUT, --encoding with one of the
// two letters in `encodings`, inputs.
std::optional<int> ParsePack(int argc, char** argv, const char* help, const char* encodings,
                             bool banks, PackArgs* args);

struct FlashArgs {
  std::vector<std::string> ports;
  std::optional<std::string> code;
  std::optional<std::string> data;
  bool reboot = false;
  bool auto_mode = false;
  unsigned count = 0;  // --count: 0 = no limit
  std::optional<std::string> log_dir;
};
std::optional<int> ParseFlash(int argc, char** argv, const char* help, FlashArgs* args);

}  // namespace quelmar::cli
