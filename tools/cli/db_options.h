// The command lines of the commands on the line's database (line, job):
// options that each take a value, words, and their tables and failures.
#pragma once

#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace quelmar::cli {

struct DbOptions {
  std::map<std::string, std::string> values;
  std::vector<std::string> words;
};

// Reads argv[first..] into *out; `known` names the options (each takes a
// value, as "--name VALUE" or "--name=VALUE"); --db is required. Help or a
// usage error ends the command with its exit status.
std::optional<int> ReadDbOptions(int argc, char** argv, int first, const char* command,
                                 const char* help, const std::set<std::string>& known,
                                 DbOptions* out);

// "quelmar-cli: <why>" on stderr; kExitFailure.
int DbFailure(const std::string& why);

// Columns padded to their widest cell.
void PrintTable(const std::vector<std::vector<std::string>>& rows);

}  // namespace quelmar::cli
