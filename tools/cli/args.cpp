// The one translation unit that includes CLI11 (a large header): every
// sub-command's options are declared here.
#include "args.h"

#include <CLI/CLI.hpp>
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "production/profile.h"

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
  std::string records, profile, serial_at, serial_format, serial_state, serial_start;
  app.add_option("--records", records)->type_name("FILE");
  app.add_flag("--json", args->json);
  app.add_option("--profile", profile)->type_name("FILE");
  app.add_option("--serial-at", serial_at)->type_name("WHERE");
  app.add_option("--serial-format", serial_format)->type_name("FMT");
  app.add_option("--serial-state", serial_state)->type_name("FILE");
  app.add_option("--serial-start", serial_start)->type_name("N");
  app.add_option("PORT", args->ports);
  if (auto done = Run(app, argc, argv, help)) return done;
  bool has_code = app.count("--code") != 0, has_data = app.count("--data") != 0;
  bool has_log_dir = app.count("--log-dir") != 0, has_count = app.count("--count") != 0;
  if (app.count("--records") != 0) {
    if (records.empty()) return UsageError(argv[0], "--records needs a FILE");
    args->records = records;
  }
  if (app.count("--serial-at") != 0) {
    production::FieldDef f;
    f.name = "serial";
    std::string why;
    if (!production::ParseWhere(serial_at, &f.where, &why))
      return UsageError(argv[0], "--serial-at: " + why);
    if (app.count("--serial-format") != 0 &&
        !production::ParseFormat(serial_format, &f.format, &f.pattern, &why))
      return UsageError(argv[0], "--serial-format: " + why);
    if (app.count("--serial-start") != 0 && !production::ParseNumber(serial_start, &f.start))
      return UsageError(argv[0], "--serial-start takes a number, not '" + serial_start + "'");
    if (serial_state.empty()) return UsageError(argv[0], "--serial-at needs --serial-state FILE");
    f.state_path = serial_state;
    if (!production::SettleSize(&f, false, &why))
      return UsageError(argv[0], "--serial-format: " + why);
    args->fields.push_back(f);
  } else if (app.count("--serial-format") + app.count("--serial-state") +
                 app.count("--serial-start") !=
             0) {
    return UsageError(argv[0],
                      "--serial-format, --serial-state and --serial-start go with --serial-at");
  }
  if (app.count("--profile") != 0) {
    production::Profile p;
    std::string why;
    if (!production::LoadProfile(profile, &p, &why)) {
      std::fprintf(stderr, "quelmar-cli: %s\n", why.c_str());
      return kExitFailure;
    }
    // The command line wins: its ports replace the profile's, its options
    // theirs, its --serial-* a profile field of that name.
    if (args->ports.empty()) args->ports = p.ports;
    // A pin goes with the profile's file: --code or --data replace both.
    if (app.count("--code") == 0 && p.code) {
      code = *p.code;
      args->code_sha256 = p.code_sha256;
    }
    if (app.count("--data") == 0 && p.data) {
      data = *p.data;
      args->data_sha256 = p.data_sha256;
    }
    if (!args->records) args->records = p.records;
    if (app.count("--log-dir") == 0 && p.log_dir) log_dir = *p.log_dir;
    if (!args->reboot) args->reboot = p.reboot.value_or(false);
    if (!args->auto_mode) args->auto_mode = p.auto_mode.value_or(false);
    if (app.count("--count") == 0 && p.count) count = std::to_string(*p.count);
    args->retries = p.retries.value_or(0);
    args->label_template = p.label_template;
    args->label_printer = p.label_printer;
    args->label_timeout_ms = p.label_timeout_ms;
    for (auto& field : p.fields) {
      const bool replaced = std::any_of(args->fields.begin(), args->fields.end(),
                                        [&](const auto& f) { return f.name == field.name; });
      if (!replaced) args->fields.push_back(std::move(field));
    }
    args->profile = production::FileHash{profile, p.sha256};
    args->line = p.line;
    args->scan = p.scan;
    args->scan_pattern = p.scan_pattern;
    args->slot_pattern = p.slot_pattern;
    args->scanner = p.scanner;
    args->scanner_baud = p.scanner_baud;
    has_code = has_code || p.code.has_value();
    has_data = has_data || p.data.has_value();
    has_log_dir = has_log_dir || p.log_dir.has_value();
    has_count = has_count || p.count.has_value();
  }
  if (has_count) {
    char* end = nullptr;
    const unsigned long n = std::strtoul(count.c_str(), &end, 10);
    if (count.empty() || *end != '\0' || count[0] == '-' || n == 0 || n > 1000000)
      return UsageError(argv[0],
                        "--count takes a number of boards from 1 to 1000000, not '" + count + "'");
    args->count = static_cast<unsigned>(n);
  }
  if (has_code) args->code = code;
  if (has_data) args->data = data;
  if (has_log_dir) {
    if (log_dir.empty()) return UsageError(argv[0], "--log-dir needs a DIR");
    args->log_dir = log_dir;
  }
  if (args->ports.empty()) return UsageError(argv[0], "missing PORT");
  if (has_count && !args->auto_mode) return UsageError(argv[0], "--count goes with --auto");
  // A released job brings its images, fields and steps from the line.
  if (args->line && !args->line->job.empty()) {
    for (const char* option : {"--code", "--data", "--reboot", "--serial-at"}) {
      if (app.count(option) != 0)
        return UsageError(argv[0], std::string(option) +
                                       " goes without a profile's [line] job: "
                                       "the job brings its images and fields");
    }
    return std::nullopt;
  }
  if (!args->code && !args->data && !args->reboot)
    return UsageError(argv[0], "nothing to do: give --code, --data or --reboot");
  return std::nullopt;
}

std::optional<int> ParseRecords(int argc, char** argv, const char* help, RecordsArgs* args) {
  CLI::App app(argv[0]);
  Configure(app);
  std::string value;
  app.add_option("--serial", value)->type_name("V");
  std::string unit;
  app.add_option("--unit", unit)->type_name("ID");
  app.add_flag("--failed", args->failed);
  app.add_flag("--csv", args->csv);
  app.add_flag("--summary", args->summary);
  std::string db, job;
  app.add_option("--db", db)->type_name("CONNINFO");
  app.add_option("--job", job)->type_name("NAME[@V]");
  app.add_option("FILE", args->file);
  if (auto done = Run(app, argc, argv, help, "FILE")) return done;
  if (app.count("--db") != 0) args->db = db;
  if (args->file.empty() && !args->db) return UsageError(argv[0], "missing FILE or --db CONNINFO");
  if (!args->file.empty() && args->db)
    return UsageError(argv[0], "give FILE or --db CONNINFO, not both");
  if (app.count("--serial") != 0) args->value = value;
  if (app.count("--unit") != 0) {
    if (unit.empty()) return UsageError(argv[0], "--unit: the unit ID is empty");
    args->unit = unit;
  }
  if (app.count("--job") != 0) {
    if (!args->db) return UsageError(argv[0], "--job goes with --db CONNINFO");
    production::JobName name;
    std::string why;
    if (!production::ParseJobName(job, &name, &why)) return UsageError(argv[0], "--job: " + why);
    args->job = name;
  }
  return std::nullopt;
}

}  // namespace quelmar::cli
