// The one translation unit that includes CLI11 (a large header): every
// sub-command's options are declared here.
#include "args.h"

#include <CLI/CLI.hpp>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "cli.h"

namespace quelmar::cli {
namespace {

// A parser with our own help text and error wording: CLI11's help flag is
// replaced, and words it does not know are collected and named by us.
void Configure(CLI::App& app) {
  app.set_help_flag();
  app.allow_extras();
  app.positionals_at_end(false);
  // A device path such as /dev/ttyUSB0 is a word, not a "/option", also
  // where CLI11 takes Windows-style options by default.
  app.allow_windows_style_options(false);
}

// Parses; prints help or a usage error when that ends the command.
// `positional` names the positional argument for "only one ... may be given".
std::optional<int> Run(CLI::App& app, int argc, char** argv, const char* help,
                       const char* positional = nullptr) {
  for (int i = 1; i < argc; ++i) {
    if (std::string_view(argv[i]) == "--") break;
    if (IsHelp(argv[i])) {
      std::fputs(help, stdout);
      return kExitOk;
    }
  }
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    return UsageError(argv[0], e.what());
  }
  for (const std::string& extra : app.remaining()) {
    if (extra.size() > 1 && extra[0] == '-')
      return UsageError(argv[0], "unknown option '" + extra + "'");
    if (positional != nullptr)
      return UsageError(argv[0], std::string("only one ") + positional + " may be given");
    return UsageError(argv[0], "unexpected argument '" + extra + "'");
  }
  return std::nullopt;
}

}  // namespace

std::optional<int> ParseOneArgument(int argc, char** argv, const char* help, const char* name,
                                    std::string* value) {
  CLI::App app(argv[0]);
  Configure(app);
  app.add_option(name, *value);
  if (auto done = Run(app, argc, argv, help, name)) return done;
  if (app.count(name) == 0) return UsageError(argv[0], std::string("missing ") + name);
  return std::nullopt;
}

std::optional<int> ParseNoArguments(int argc, char** argv, const char* help) {
  CLI::App app(argv[0]);
  Configure(app);
  return Run(app, argc, argv, help);
}

std::optional<int> ParsePack(int argc, char** argv, const char* help, const char* encodings,
                             bool banks, PackArgs* args) {
  CLI::App app(argv[0]);
  Configure(app);
  std::string letter;
  app.add_option("-o,--output", args->out)->type_name("OUT");
  app.add_option("--encoding", letter)->type_name("LETTER");
  if (banks) {
    app.add_option("--bank-a", args->bank_a)->type_name("FILE");
    app.add_option("--bank-b", args->bank_b)->type_name("FILE");
  }
  app.add_option("INPUT", args->inputs);
  if (auto done = Run(app, argc, argv, help)) return done;
  if (app.count("--encoding") != 0) {
    if (letter.size() != 1 || std::strchr(encodings, letter[0]) == nullptr)
      return UsageError(argv[0], "encoding must be " + std::string(1, encodings[0]) + " or " +
                                     std::string(1, encodings[1]) + ", not '" + letter + "'");
    args->encoding = letter[0];
  }
  if (args->out.empty()) return UsageError(argv[0], "missing -o OUT");
  return std::nullopt;
}

std::optional<int> ParseFlash(int argc, char** argv, const char* help, FlashArgs* args) {
  CLI::App app(argv[0]);
  Configure(app);
  std::string code, data, log_dir, count;
  app.add_option("--code", code)
      ->type_name("FILE")
      ->multi_option_policy(CLI::MultiOptionPolicy::Throw);
  app.add_option("--data", data)
      ->type_name("FILE")
      ->multi_option_policy(CLI::MultiOptionPolicy::Throw);
  app.add_flag("--reboot", args->reboot);
  app.add_flag("--auto", args->auto_mode);
  app.add_option("--count", count)->type_name("N");
  app.add_option("--log-dir", log_dir)->type_name("DIR");
  app.add_option("PORT", args->ports);
  if (auto done = Run(app, argc, argv, help)) return done;
  if (app.count("--count") != 0) {
    char* end = nullptr;
    const unsigned long n = std::strtoul(count.c_str(), &end, 10);
    if (count.empty() || *end != '\0' || count[0] == '-' || n == 0 || n > 1000000)
      return UsageError(argv[0],
                        "--count takes a number of boards from 1 to 1000000, not '" + count + "'");
    args->count = static_cast<unsigned>(n);
  }
  if (app.count("--code") != 0) args->code = code;
  if (app.count("--data") != 0) args->data = data;
  if (app.count("--log-dir") != 0) {
    if (log_dir.empty()) return UsageError(argv[0], "--log-dir needs a DIR");
    args->log_dir = log_dir;
  }
  if (args->ports.empty()) return UsageError(argv[0], "missing PORT");
  if (app.count("--count") != 0 && !args->auto_mode)
    return UsageError(argv[0], "--count goes with --auto");
  if (!args->code && !args->data && !args->reboot)
    return UsageError(argv[0], "nothing to do: give --code, --data or --reboot");
  return std::nullopt;
}

}  // namespace quelmar::cli
