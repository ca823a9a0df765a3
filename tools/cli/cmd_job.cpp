// quelmar-cli job: released jobs in the line's database. An engineer
// releases a product's images and profile as the next version of a job;
// the stations fetch exactly those bytes, checked by SHA-256.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <system_error>
#include <vector>

#include "cli.h"
#include "common/log.h"
#include "common/utf8_path.h"
#include "db_options.h"
#include "image/build_output.h"
#include "image/image_store.h"
#include "image/image_writer.h"
#include "line/job_run.h"
#include "line/line_db.h"
#include "production/durable_file.h"
#include "production/plan.h"
#include "production/profile.h"
#include "production/sha256.h"

namespace quelmar::cli {
namespace {

// A label's ZPL template, as the line's database takes it.
constexpr size_t kMaxLabelTemplate = 64 * 1024;

constexpr char kHelp[] =
    "Usage: quelmar-cli job release PROFILE.toml --name NAME [--quantity N]\n"
    "                              [--note TEXT] --db CONNINFO\n"
    "       quelmar-cli job list --db CONNINFO\n"
    "       quelmar-cli job show NAME[@V] --db CONNINFO\n"
    "       quelmar-cli job retire NAME@V --db CONNINFO\n"
    "       quelmar-cli job export NAME[@V] -o DIR --db CONNINFO\n"
    "\n"
    "A job is a product as the line makes it: its code and data images, its\n"
    "fields and its reboot, released into the line's database as the next\n"
    "version of NAME, with the number of boards ordered. A station whose\n"
    "profile says [line] job = \"NAME\" (or \"NAME@V\") fetches it at start and\n"
    "writes exactly the bytes released. 'quelmar-cli job COMMAND --help'\n"
    "tells more.\n"
    "\n"
    "  release  a profile's images and fields as the next version of a job\n"
    "  list     every version: its state, boards made and in progress\n"
    "  show     one version: its counts, images, bundle hash and profile\n"
    "  retire   no station starts a new board of a version\n"
    "  export   a version's files, profile, manifest and release.json\n"
    "\n"
    "NAME: 1 to 64 letters, digits, '_', '-' and '.'. NAME@V names version V;\n"
    "NAME alone the newest released version.\n"
    "CONNINFO as for 'quelmar-cli line' (see 'quelmar-cli line --help').\n"
    "Releasing and retiring take an engineer's role.\n"
    "\n"
    "Exit status: 0 done, 1 refused (a profile, a file or the database) or\n"
    "the database did not answer, 2 usage error.\n";

constexpr char kReleaseHelp[] =
    "Usage: quelmar-cli job release PROFILE.toml --name NAME [--quantity N]\n"
    "                              [--note TEXT] --db CONNINFO\n"
    "\n"
    "Loads and checks the profile as a run would: its code file (.fcode or\n"
    "build output: ELF, Intel HEX, S-record), its data file (.fdata), their\n"
    "pins (code_sha256, data_sha256), its fields placed in them, each\n"
    "field's pool in the line's database, its [label] template. Then stores\n"
    "the files' bytes as read (the template's too), the profile's text and\n"
    "the bundle hash as the next version of NAME, and prints the version and\n"
    "its hash.\n"
    "\n"
    "The profile describes the product only: a station's own keys (ports,\n"
    "listen, token, hostnames, records, log_dir, name, auto, count,\n"
    "label.printer, label.timeout_ms, and [line] station, spool and job) are\n"
    "refused. Every field takes its values from a pool of the line\n"
    "(pool = \"...\").\n"
    "\n"
    "  --name NAME     the job: 1 to 64 letters, digits, '_', '-' and '.'\n"
    "  --quantity N    the boards ordered: no station starts a board past N\n"
    "                  OK boards and boards in progress (default: no limit)\n"
    "  --note TEXT     a note kept with the version (at most 1000 bytes)\n";

constexpr char kListHelp[] =
    "Usage: quelmar-cli job list --db CONNINFO\n"
    "\n"
    "Lists every version of every job: NAME@V, released or retired, the OK\n"
    "boards made of the quantity (\"3/500\"; \"3/-\" without a limit), the\n"
    "boards in progress (counted and not filed yet), who released it and\n"
    "when, and the start of its bundle hash.\n";

constexpr char kShowHelp[] =
    "Usage: quelmar-cli job show NAME[@V] --db CONNINFO\n"
    "\n"
    "Shows a version of a job (NAME alone: the newest released one): its\n"
    "state, its boards, who released it and when, its note, who retired it,\n"
    "its bundle hash, each image's file name, format, size and SHA-256, and\n"
    "the profile as released.\n";

constexpr char kRetireHelp[] =
    "Usage: quelmar-cli job retire NAME@V --db CONNINFO\n"
    "\n"
    "Retires version V of the job: no station starts a new board of it;\n"
    "boards running finish. A station that names the job without a version\n"
    "changes over between boards to the newest released version; one that\n"
    "names this version stops starting boards.\n";

constexpr char kExportHelp[] =
    "Usage: quelmar-cli job export NAME[@V] -o DIR --db CONNINFO\n"
    "\n"
    "Writes a version of a job (NAME alone: the newest released one) into\n"
    "DIR, made when missing, after checking it against its bundle hash:\n"
    "each image under its file name, profile.toml (the profile's text),\n"
    "manifest (the text the bundle hash is the SHA-256 of: 'sha256sum\n"
    "manifest' shows it) and release.json (the version, its counts and its\n"
    "images). A file of those names already in DIR refuses the export;\n"
    "nothing is overwritten.\n";

// The load's error lines, for one line of our own.
class LoadErrors final : public NullUiSink {
 public:
  void LogText(int severity, std::string_view text) override {
    if (severity == kSeverityError) text_ += text;
  }
  // What was said since the last call, its lines joined by "; ".
  std::string Take() {
    std::string joined;
    size_t start = 0;
    while (start < text_.size()) {
      size_t end = text_.find('\n', start);
      if (end == std::string::npos) end = text_.size();
      std::string line = text_.substr(start, end - start);
      while (!line.empty() && (line.back() == ' ' || line.back() == '\r')) line.pop_back();
      if (!line.empty()) joined += (joined.empty() ? "" : "; ") + line;
      start = end + 1;
    }
    text_.clear();
    return joined.empty() ? "it does not load" : joined;
  }

 private:
  std::string text_;
};

bool ReadBytes(const std::string& path, std::string* bytes, std::string* why) {
  std::FILE* file = OpenFile(path, "rb");
  if (file == nullptr) {
    *why = "cannot read '" + path + "'";
    return false;
  }
  bytes->clear();
  char buffer[65536];
  size_t n = 0;
  while ((n = std::fread(buffer, 1, sizeof buffer, file)) > 0) bytes->append(buffer, n);
  const bool failed = std::ferror(file) != 0;
  std::fclose(file);
  if (failed) *why = "cannot read '" + path + "'";
  return !failed;
}

std::string FileName(const std::string& path) {
  return Utf8FromPath(PathFromUtf8(path).filename());
}

std::string Count(size_t n, const char* one) {
  return std::to_string(n) + " " + one + (n == 1 ? "" : "s");
}

// NAME or NAME@V of a command's one word.
std::optional<int> OneJobName(const DbOptions& options, const char* command,
                              production::JobName* name) {
  if (options.words.empty()) return UsageError(command, "missing NAME");
  if (options.words.size() > 1)
    return UsageError(command, "unexpected argument '" + options.words[1] + "'");
  std::string why;
  if (!production::ParseJobName(options.words[0], name, &why)) return UsageError(command, why);
  return std::nullopt;
}

bool Open(line::LineDb* db, const DbOptions& options, std::string* why) {
  return db->Connect(options.values.at("--db"), why) && db->CheckSchema(why);
}

// The image of `kind` the profile names, loaded as a run loads it, and
// its bytes as read. False with one line naming the profile.
bool LoadImage(const std::string& profile, const std::string& kind, const std::string& path,
               image::ImageStore* images, LoadErrors* errors, line::JobImage* out,
               std::string* why) {
  const bool code = kind == "code";
  const std::string what = profile + ": " + kind + " '" + path + "'";
  if (!(code ? images->LoadCodeImageFromPath(path) : images->LoadDataImageFromPath(path))) {
    *why = what + ": " + errors->Take();
    return false;
  }
  // A file with two empty sections loads, but there is nothing to write.
  if (code && !images->HasCodeImage()) {
    *why = what + ": both code banks are empty: nothing to write";
    return false;
  }
  const auto& loaded = code ? images->CodeFile() : images->DataFile();
  std::string bytes;
  if (!ReadBytes(path, &bytes, why)) {
    *why = profile + ": " + *why;
    return false;
  }
  const std::string read = production::Sha256Hex(bytes.data(), bytes.size());
  if (!loaded || loaded->digest != read) {
    *why = what + " changed while it was read (SHA-256 " +
           (loaded ? loaded->digest : std::string("unknown")) + " loaded, " + read +
           " read after): release it again";
    return false;
  }
  const auto* head = reinterpret_cast<const uint8_t*>(bytes.data());
  const image::FileFormat format =
      image::DetectFormat(head, std::min(bytes.size(), image::kDetectBytes), path);
  const std::string name = line::JobFormat(format);
  if (code ? name.empty() || name == "fdata" : name != "fdata") {
    *why = what + " is " + image::FormatName(format) + ", not a " + kind + " image";
    return false;
  }
  *out = line::JobImage{kind, FileName(path), name, std::move(bytes), read};
  return true;
}

// The release a profile makes, checked as a station will run it. False
// with *why: one line, or one line per station key.
bool MakeJobRelease(const std::string& path, line::JobRelease* release,
                    std::vector<line::PoolField>* fields, bool* reboot, std::string* why) {
  production::Profile profile;
  if (!production::LoadProfile(path, &profile, why)) return false;
  const std::vector<std::string> keys = production::StationKeys(profile);
  if (!keys.empty()) {
    std::string lines;
    for (const std::string& key : keys)
      lines += (lines.empty() ? "" : "\n") + path + ": '" + key +
               "' belongs to a station, not to a job: remove it";
    *why = lines;
    return false;
  }
  if (!profile.code && !profile.data && !profile.reboot.value_or(false)) {
    *why = path + ": nothing to release: give 'code', 'data' or 'reboot'";
    return false;
  }
  for (const production::FieldDef& f : profile.fields) {
    if (f.pool.empty() && !f.from_scan) {
      *why = path + ": field '" + f.name +
             "' takes no pool: a job's fields take their values from the line's pools";
      return false;
    }
  }
  LoadErrors errors;
  Log log(&errors);
  image::ImageStore images(log);
  // The hashes are of the bytes loaded, taken as they are read.
  production::Sha256FileDigest digest;
  images.SetFileDigest(&digest);
  const std::pair<const char*, const std::optional<std::string>*> files[] = {
      {"code", &profile.code}, {"data", &profile.data}};
  for (const auto& [kind, file] : files) {
    if (!*file) continue;
    line::JobImage image;
    if (!LoadImage(path, kind, **file, &images, &errors, &image, why)) return false;
    release->images.push_back(std::move(image));
  }
  // The label's template goes with the job as its text, in its bundle hash
  // like the images; the station's profile names the printer.
  if (profile.label_template) {
    line::JobImage label{"label", FileName(*profile.label_template), "zpl", "", ""};
    if (!ReadBytes(*profile.label_template, &label.bytes, why)) {
      *why = path + ": 'label.template': " + *why;
      return false;
    }
    if (label.bytes.size() > kMaxLabelTemplate) {
      *why = path + ": 'label.template' '" + *profile.label_template + "' is larger than " +
             std::to_string(kMaxLabelTemplate / 1024) + " KiB";
      return false;
    }
    label.sha256 = production::Sha256Hex(label.bytes.data(), label.bytes.size());
    release->images.push_back(std::move(label));
  }
  // An export writes every file of a job into one folder beside these.
  for (size_t n = 0; n < release->images.size(); ++n) {
    const std::string& file = release->images[n].file;
    bool taken = file == "profile.toml" || file == "manifest" || file == "release.json";
    for (size_t k = 0; k < n; ++k) taken = taken || file == release->images[k].file;
    if (taken) {
      *why = path + ": the " + release->images[n].kind + " file is named '" + file +
             "', as another file of the job is: rename it";
      return false;
    }
  }
  // A pinned file is released only with the SHA-256 the profile pins.
  if (!production::CheckImagePin(images.CodeFile(), "code_sha256", profile.code_sha256, why) ||
      !production::CheckImagePin(images.DataFile(), "data_sha256", profile.data_sha256, why)) {
    *why = path + ": " + *why;
    return false;
  }
  production::FieldPlan plan;
  if (!plan.Prepare(profile.fields, images, why)) {
    *why = path + ": " + *why;
    return false;
  }
  if (!ReadBytes(path, &release->profile, why)) return false;
  if (production::Sha256Hex(release->profile.data(), release->profile.size()) != profile.sha256) {
    *why = path + " changed while it was read: release it again";
    return false;
  }
  // The station loads the images from the bytes stored, not from the files.
  line::Job job;
  job.summary.name = release->name;
  job.profile = release->profile;
  job.images = release->images;
  std::shared_ptr<production::Release> made;
  if (!line::MakeRelease(job, &made, fields, why)) {
    *why = path + ": as a station loads it: " + *why;
    return false;
  }
  *reboot = made->reboot;
  return true;
}

int Release(int argc, char** argv) {
  const char* command = "job release";
  DbOptions options;
  if (auto done = ReadDbOptions(argc, argv, 2, command, kReleaseHelp,
                                {"--db", "--name", "--quantity", "--note"}, &options))
    return *done;
  if (options.words.empty()) return UsageError(command, "missing PROFILE.toml");
  if (options.words.size() > 1)
    return UsageError(command, "unexpected argument '" + options.words[1] + "'");
  const auto& v = options.values;
  if (v.count("--name") == 0) return UsageError(command, "missing --name NAME");
  production::JobName name;
  std::string why;
  if (!production::ParseJobName(v.at("--name"), &name, &why)) return UsageError(command, why);
  if (name.version)
    return UsageError(command,
                      "--name takes a job's name without a version: the database "
                      "gives the next one ('" +
                          v.at("--name") + "')");
  line::JobRelease release;
  release.name = name.name;
  if (v.count("--quantity") != 0) {
    uint64_t n = 0;
    if (!production::ParseNumber(v.at("--quantity"), &n) || n == 0 ||
        n > static_cast<uint64_t>(INT64_MAX))
      return UsageError(command, "--quantity takes a number of boards from 1 up, not '" +
                                     v.at("--quantity") + "'");
    release.quantity = n;
  }
  if (v.count("--note") != 0) release.note = v.at("--note");

  const std::string path = options.words[0];
  std::vector<line::PoolField> fields;
  bool reboot = false;
  if (!MakeJobRelease(path, &release, &fields, &reboot, &why)) {
    for (size_t start = 0; start < why.size();) {
      const size_t end = std::min(why.find('\n', start), why.size());
      std::fprintf(stderr, "quelmar-cli: %s\n", why.substr(start, end - start).c_str());
      start = end + 1;
    }
    return kExitFailure;
  }
  line::LineDb db;
  int version = 0;
  std::string sha256;
  if (!Open(&db, options, &why) || !db.CheckFields(fields, &why)) return DbFailure(why);
  if (!db.ReleaseJob(release, &version, &sha256, &why)) return DbFailure(why);
  std::string holds;
  for (const line::JobImage& i : release.images)
    holds += i.kind + " " + i.file + " (" + std::to_string(i.bytes.size()) + " bytes, sha256 " +
             i.sha256 + "), ";
  holds += Count(fields.size(), "field");
  if (reboot) holds += ", reboot";
  holds += release.quantity ? ", quantity " + std::to_string(*release.quantity)
                            : std::string(", no limit");
  std::printf("Released %s version %d (sha256 %s): %s.\n", release.name.c_str(), version,
              sha256.c_str(), holds.c_str());
  return kExitOk;
}

std::string Made(const line::JobSummary& s) {
  return std::to_string(s.made) + "/" + (s.quantity ? std::to_string(*s.quantity) : "-");
}

int List(int argc, char** argv) {
  DbOptions options;
  if (auto done = ReadDbOptions(argc, argv, 2, "job list", kListHelp, {"--db"}, &options))
    return *done;
  if (!options.words.empty())
    return UsageError("job list", "unexpected argument '" + options.words[0] + "'");
  line::LineDb db;
  std::string why;
  std::vector<line::JobSummary> jobs;
  if (!Open(&db, options, &why) || !db.Jobs(&jobs, &why)) return DbFailure(why);
  if (jobs.empty()) {
    std::printf("No jobs.\n");
    return kExitOk;
  }
  std::vector<std::vector<std::string>> rows = {
      {"JOB", "STATE", "MADE", "IN PROGRESS", "RELEASED BY", "RELEASED", "SHA256"}};
  for (const auto& j : jobs)
    rows.push_back({line::JobLabel(j.name, j.version), j.state, Made(j),
                    std::to_string(j.in_progress), j.released_by, j.released_at,
                    j.sha256.substr(0, 16)});
  PrintTable(rows);
  return kExitOk;
}

// A version fetched and checked, with what `job list` knows of it.
bool FetchChecked(line::LineDb& db, const production::JobName& name, line::Job* job,
                  std::string* why) {
  if (db.FetchJob(name.name, name.version, job, why) != line::LineDb::Got::kOk) return false;
  std::vector<line::JobSummary> jobs;
  if (!db.Jobs(&jobs, why)) return false;
  for (const line::JobSummary& s : jobs) {
    if (s.name == job->summary.name && s.version == job->summary.version) {
      job->summary.released_by = s.released_by;
      job->summary.released_at = s.released_at;
      job->summary.note = s.note;
      job->summary.retired_by = s.retired_by;
      job->summary.retired_at = s.retired_at;
    }
  }
  return line::CheckJob(*job, why);
}

int Show(int argc, char** argv) {
  const char* command = "job show";
  DbOptions options;
  production::JobName name;
  if (auto done = ReadDbOptions(argc, argv, 2, command, kShowHelp, {"--db"}, &options))
    return *done;
  if (auto done = OneJobName(options, command, &name)) return *done;
  line::LineDb db;
  line::Job job;
  std::string why;
  if (!Open(&db, options, &why) || !FetchChecked(db, name, &job, &why)) return DbFailure(why);
  const line::JobSummary& s = job.summary;
  std::printf("Job %s: %s\n", line::JobLabel(s.name, s.version).c_str(), s.state.c_str());
  const std::string of = s.quantity ? "of " + std::to_string(*s.quantity) : "(no limit)";
  std::printf("Made:        %s OK %s, %s in progress\n", std::to_string(s.made).c_str(), of.c_str(),
              std::to_string(s.in_progress).c_str());
  std::printf("Released by: %s at %s\n", s.released_by.c_str(), s.released_at.c_str());
  std::printf("Note:        %s\n", s.note.empty() ? "-" : s.note.c_str());
  if (!s.retired_by.empty())
    std::printf("Retired by:  %s at %s\n", s.retired_by.c_str(), s.retired_at.c_str());
  std::printf("Bundle:      sha256 %s\n", s.sha256.c_str());
  for (const line::JobImage& i : job.images)
    std::printf("%-13s%s (%s, %zu bytes, sha256 %s)\n",
                i.kind == "code"   ? "Code:"
                : i.kind == "data" ? "Data:"
                                   : "Label:",
                i.file.c_str(), i.format.c_str(), i.bytes.size(), i.sha256.c_str());
  std::printf("Profile:\n%s", job.profile.c_str());
  if (!job.profile.empty() && job.profile.back() != '\n') std::printf("\n");
  return kExitOk;
}

int Retire(int argc, char** argv) {
  const char* command = "job retire";
  DbOptions options;
  production::JobName name;
  if (auto done = ReadDbOptions(argc, argv, 2, command, kRetireHelp, {"--db"}, &options))
    return *done;
  if (auto done = OneJobName(options, command, &name)) return *done;
  if (!name.version)
    return UsageError(command, "give the version to retire: " + name.name +
                                   "@V ('quelmar-cli job list' shows them)");
  line::LineDb db;
  std::string why;
  bool already = false;
  if (!Open(&db, options, &why) || !db.RetireJob(name.name, *name.version, &already, &why))
    return DbFailure(why);
  const std::string label = line::JobLabel(name.name, *name.version);
  if (already) {
    std::printf("%s was retired already.\n", label.c_str());
  } else {
    std::printf("Retired %s: no station starts a new board of it; boards running finish.\n",
                label.c_str());
  }
  return kExitOk;
}

std::string ReleaseJson(const line::Job& job) {
  const line::JobSummary& s = job.summary;
  nlohmann::ordered_json out;
  out["name"] = s.name;
  out["version"] = s.version;
  out["state"] = s.state;
  out["quantity"] = s.quantity ? nlohmann::ordered_json(*s.quantity) : nullptr;
  out["made"] = s.made;
  out["released_by"] = s.released_by;
  out["released_at"] = s.released_at;
  out["note"] = s.note;
  out["retired_by"] = s.retired_by.empty() ? nullptr : nlohmann::ordered_json(s.retired_by);
  out["retired_at"] = s.retired_at.empty() ? nullptr : nlohmann::ordered_json(s.retired_at);
  out["sha256"] = s.sha256;
  out["images"] = nlohmann::ordered_json::array();
  for (const line::JobImage& i : job.images)
    out["images"].push_back({{"kind", i.kind},
                             {"file", i.file},
                             {"format", i.format},
                             {"size", i.bytes.size()},
                             {"sha256", i.sha256}});
  return out.dump(2) + "\n";
}

int Export(int argc, char** argv) {
  const char* command = "job export";
  DbOptions options;
  production::JobName name;
  if (auto done =
          ReadDbOptions(argc, argv, 2, command, kExportHelp, {"--db", "-o", "--output"}, &options))
    return *done;
  if (auto done = OneJobName(options, command, &name)) return *done;
  const auto& v = options.values;
  if (v.count("-o") + v.count("--output") != 1)
    return UsageError(command, v.count("-o") == 0 ? "missing -o DIR" : "-o may be given once");
  const std::string dir = v.count("-o") != 0 ? v.at("-o") : v.at("--output");
  if (dir.empty()) return UsageError(command, "-o needs a DIR");
  line::LineDb db;
  line::Job job;
  std::string why;
  if (!Open(&db, options, &why) || !FetchChecked(db, name, &job, &why)) return DbFailure(why);
  const std::string label = line::JobLabel(job.summary.name, job.summary.version);
  std::vector<std::pair<std::string, const std::string*>> files;
  for (const line::JobImage& i : job.images) files.emplace_back(i.file, &i.bytes);
  const std::string json = ReleaseJson(job);
  files.emplace_back("profile.toml", &job.profile);
  files.emplace_back("manifest", &job.manifest);
  files.emplace_back("release.json", &json);
  const std::filesystem::path folder = PathFromUtf8(dir);
  std::error_code error;
  for (size_t k = 0; k < files.size(); ++k) {
    const std::string& file = files[k].first;
    if (file == "." || file == ".." || FileName(file) != file)
      return DbFailure(label + "'s " + "image file name '" + file + "' is no file name");
    for (size_t j = 0; j < k; ++j) {
      if (files[j].first == file)
        return DbFailure(label + " holds two files named '" + file + "': export them by hand");
    }
    const std::filesystem::path at = folder / PathFromUtf8(file);
    const auto type = std::filesystem::symlink_status(at, error).type();
    if (type == std::filesystem::file_type::none)
      return DbFailure("cannot look into '" + dir + "': " + error.message());
    if (type != std::filesystem::file_type::not_found)
      return DbFailure("'" + Utf8FromPath(at) +
                       "' is there already: export into another folder (nothing is overwritten)");
  }
  std::filesystem::create_directories(folder, error);
  if (error) return DbFailure("cannot make the folder '" + dir + "': " + error.message());
  std::string names;
  for (const auto& [file, bytes] : files) {
    const std::string path = Utf8FromPath(folder / PathFromUtf8(file));
    if (!image::WriteFileAtomically(path, std::vector<uint8_t>(bytes->begin(), bytes->end()), &why))
      return DbFailure("cannot write '" + path + "': " + why);
    names += (names.empty() ? "" : ", ") + file;
  }
  if (!production::FlushFolder(dir, &why)) return DbFailure(why);
  std::printf("Exported %s (sha256 %s) into %s: %s.\n", label.c_str(), job.summary.sha256.c_str(),
              dir.c_str(), names.c_str());
  return kExitOk;
}

}  // namespace

int CmdJob(int argc, char** argv) {
  if (argc < 2)
    return UsageError("job", "missing a job command (release, list, show, retire, export)");
  const std::string command = argv[1];
  if (IsHelp(command)) {
    std::fputs(kHelp, stdout);
    return kExitOk;
  }
  if (command == "release") return Release(argc, argv);
  if (command == "list") return List(argc, argv);
  if (command == "show") return Show(argc, argv);
  if (command == "retire") return Retire(argc, argv);
  if (command == "export") return Export(argc, argv);
  return UsageError("job", "unknown job command '" + command + "'");
}

}  // namespace quelmar::cli
