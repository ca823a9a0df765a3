#include "production/run.h"

#include <cctype>
#include <fstream>
#include <iterator>
#include <map>
#include <tuple>

#include "common/utf8_path.h"
#include "link/protocol.h"
#include "production/durable_file.h"
#include "production/sha256.h"

namespace quelmar::production {

namespace {

bool ReadLabelFile(const std::string& path, std::string* text, std::string* why) {
  std::ifstream in(PathFromUtf8(path), std::ios::binary);
  if (in) text->assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  if (!in && !in.eof()) {
    *why = path + ": cannot read the label template";
    return false;
  }
  return true;
}

}  // namespace

void JsonLines::Emit(const std::string& line) {
  std::lock_guard lock(mutex_);
  std::fwrite(line.data(), 1, line.size(), out_);
  std::fputc('\n', out_);
  std::fflush(out_);
}

bool ProductionRun::Prepare(RunSettings settings, const image::ImageStore& images,
                            std::string* why) {
  settings_ = std::move(settings);
  images_ = &images;
  host_ = HostName();
  // Records an ended run held go in first: the fields' state is checked
  // against the records file, and a held board's values are given ones.
  if (settings_.records_path) {
    records_.emplace();
    std::string reason;
    if (!records_->Open(*settings_.records_path, &reason) ||
        !records_->FileHeld(&notes_, &reason)) {
      *why = "records: " + reason;
      return false;
    }
    sinks_.push_back(&*records_);
  }
  SourceOptions options{settings_.lock_wait, settings_.records_path.value_or("")};
  if (!plan_.Prepare(settings_.fields, images, options, why)) return false;
  // A run takes every value from one place: the line's pools, or state files.
  for (const FieldDef& f : settings_.fields) {
    if (settings_.line_values && f.pool.empty() && !f.from_scan) {
      *why = "field '" + f.name +
             "': a profile with [line] takes every value from the line's pools (pool = \"NAME\")";
      return false;
    }
    if (!settings_.line_values && !f.pool.empty()) {
      *why = "field '" + f.name + "' takes pool '" + f.pool +
             "': the profile needs a [line] table naming the database";
      return false;
    }
  }
  source_ = settings_.line_values ? settings_.line_values : &plan_;
  if (settings_.label_template) {
    std::string text;
    if (!ReadLabelFile(*settings_.label_template, &text, why)) return false;
    std::vector<std::string> names;
    for (const FieldDef& f : settings_.fields) names.push_back(f.name);
    std::string reason;
    if (!label_.Parse(text, names, &reason)) {
      *why = *settings_.label_template + ": " + reason;
      return false;
    }
    if (!settings_.label_printer) {
      *why = "label.template: no label.printer to send the labels to";
      return false;
    }
  }
  // A station of a line's job may name the printer alone: the template
  // comes with the job.
  if (settings_.label_printer && !ParsePrinter(*settings_.label_printer, &printer_, why))
    return false;
  // The hashes are of the bytes loaded, taken as they were read: the file
  // read again now could be another one, replaced on disk meanwhile.
  for (auto [path, file, hash] :
       {std::tuple{&settings_.code_path, &images.CodeFile(), &code_hash_},
        std::tuple{&settings_.data_path, &images.DataFile(), &data_hash_}}) {
    if (!*path) continue;
    if (!*file || (*file)->path != **path) {
      *why = "no hash of '" + **path + "' as it was loaded";
      return false;
    }
    *hash = FileHash{**path, (*file)->digest};
  }
  if (!settings_.line_values) {
    // Without the line's database the records file is the only place a
    // unit's earlier boards are found.
    if (settings_.rework && !settings_.records_path) {
      *why =
          "rework = true needs records = \"FILE.jsonl\": a station without the line's "
          "database finds a unit's earlier boards there";
      return false;
    }
    if (settings_.records_path) {
      units_.emplace();
      std::string reason;
      if (!units_->Load(*settings_.records_path, &reason)) {
        *why = "records: " + reason;
        return false;
      }
    }
  }
  if (settings_.line_records) sinks_.push_back(settings_.line_records);
  if (settings_.json != nullptr) json_.emplace(settings_.json);
  return true;
}

void ProductionRun::EmitSummary() {
  if (json_) json_->Emit(SummaryEvent(Ok(), Failed(), Stopped()));
}

std::string ProductionRun::Held() {
  // A line is asked even for boards without fields: their records are
  // filed there.
  return HasFields() || settings_.line_values ? source_->Held() : std::string();
}

void ProductionRun::EmitHeld(const std::string& port, const std::string& why) {
  if (json_) json_->Emit(HeldEvent(port, why));
}

BoardSession::BoardSession(ProductionRun& run, std::string port, std::string device) : run_(run) {
  record_.id = NewBoardId();
  record_.station = run_.settings_.station;
  record_.time_start = std::chrono::system_clock::now();
  record_.port = std::move(port);
  record_.device = std::move(device);
  record_.board = run_.next_board_.fetch_add(1);
  release_ = run_.CurrentRelease();
  if (release_) {
    record_.code = release_->code_hash;
    record_.data = release_->data_hash;
    record_.job = release_->job;
  } else {
    record_.code = run_.code_hash_;
    record_.data = run_.data_hash_;
  }
  record_.profile = run_.settings_.profile;
  record_.host = run_.host_;
  record_.version = run_.settings_.version;
  if (run_.json_)
    run_.json_->Emit(BoardStartEvent(record_.port, record_.board, record_.time_start));
}

BoardSession::~BoardSession() {
  if (unit_begun_) run_.units_->End(*record_.unit, nullptr);
}

void BoardSession::SetUnit(std::string unit) {
  record_.unit = std::move(unit);
}

void BoardSession::Identified(const link::Link& link) {
  const uint16_t version = link.BootloaderVersion();
  record_.bootloader = std::to_string(version >> 8) + "." + std::to_string(version & 0xFF);
  const auto& words = link.ChipInfo();
  std::string chip = link::LookupChip(words[0], words[1]).line;
  while (!chip.empty() && (chip.back() == '\n' || chip.back() == ' ')) chip.pop_back();
  if (chip.rfind("Chip: ", 0) == 0) chip.erase(0, 6);
  record_.chip = chip;
  record_.chip_words.assign(words.begin(), words.end());
}

namespace {

// The scan fields' values, from the unit: before anything is drawn, and
// again into what was drawn or given again.
bool ScanValues(const FieldPlan& plan, const std::optional<std::string>& unit,
                std::vector<FieldValue>* values, std::string* why) {
  for (size_t i = 0; i < plan.size(); ++i) {
    const FieldDef& def = plan.def(i);
    if (!def.from_scan) continue;
    if (!unit) {
      *why = "field '" + def.name +
             "' takes the board's scanned unit, and this board has none: the board is not "
             "written";
      return false;
    }
    FieldValue value;
    if (!ScanValue(def, *unit, &value, why)) return false;
    if (values != nullptr && i < values->size()) (*values)[i] = std::move(value);
  }
  return true;
}

}  // namespace

ValueSource::Reserved BoardSession::Reserve(std::string* why) {
  std::optional<UnitRecord> again;
  // A unit its scan fields cannot take fails the board before any value is
  // drawn for it.
  if (!ScanValues(release_ ? release_->plan : run_.plan_, record_.unit, nullptr, why))
    return ValueSource::Reserved::kFailed;
  if (record_.unit && !run_.settings_.line_values && !unit_begun_) {
    if (!run_.units_) {
      *why = "unit \"" + *record_.unit +
             "\": no records file to find its earlier boards in (the profile needs records = "
             "\"FILE.jsonl\")";
      return ValueSource::Reserved::kFailed;
    }
    UnitRecord earlier;
    switch (run_.units_->Begin(*record_.unit, run_.settings_.rework, record_.port, &earlier, why)) {
      case UnitHistory::Found::kRefused:
        return ValueSource::Reserved::kFailed;
      case UnitHistory::Found::kAgain:
        again = std::move(earlier);
        break;
      case UnitHistory::Found::kNew:
        break;
    }
    unit_begun_ = true;
  }
  // A board of a released job takes its count even without fields, and
  // the line checks a unit's earlier boards.
  if (run_.plan_.empty() && !release_ && !(record_.unit && run_.settings_.line_values)) {
    if (again) record_.rework_of = again->id;
    return ValueSource::Reserved::kOk;
  }
  ValueSource::Reserved reserved = ValueSource::Reserved::kOk;
  if (again) {
    // The unit's own values again: none is drawn from the state files.
    std::string reason;
    if (!RecordedValues(run_.plan_.defs(), again->fields, &values_, &reason)) {
      *why = "unit \"" + *record_.unit + "\": its record " + again->id +
             " cannot be written again: " + reason;
      return ValueSource::Reserved::kFailed;
    }
    record_.rework_of = again->id;
  } else {
    BoardTag tag{record_.id, record_.port};
    tag.unit = record_.unit.value_or("");
    tag.rework = run_.settings_.rework;
    reserved = run_.source_->Reserve(tag, &values_, why);
    if (record_.unit && run_.settings_.line_values)
      if (std::string of = run_.source_->TakeReworkOf(record_.id); !of.empty())
        record_.rework_of = std::move(of);
  }
  if (release_) {
    // The release may have changed over meanwhile: the board is written
    // with the one its values came from.
    if (auto of = run_.source_->ReleaseFor(record_.id)) release_ = std::move(of);
    record_.code = release_->code_hash;
    record_.data = release_->data_hash;
    record_.job = release_->job;
  }
  const FieldPlan& plan = release_ ? release_->plan : run_.plan_;
  // A scan field holds the unit, whatever the source gave for it: on a
  // rework its recorded value is that unit too.
  std::string scan_why;
  const bool scanned = ScanValues(plan, record_.unit, &values_, &scan_why);
  // Whatever was reserved is this board's, even when a later field failed.
  record_.fields.clear();
  for (size_t i = 0; i < values_.size() && i < plan.size(); ++i)
    record_.fields.emplace_back(plan.def(i).name, ShowValue(plan.def(i), values_[i]));
  if (reserved != ValueSource::Reserved::kOk) return reserved;
  if (!scanned) {
    *why = scan_why;
    return ValueSource::Reserved::kFailed;
  }
  if (plan.empty()) return ValueSource::Reserved::kOk;
  images_ = std::make_unique<BoardImages>();
  if (!plan.Patch(release_ ? release_->images : *run_.images_, values_, images_.get(), why)) {
    images_.reset();
    return ValueSource::Reserved::kFailed;
  }
  return ValueSource::Reserved::kOk;
}

std::vector<std::pair<std::string, std::string>> BoardSession::FieldTexts() const {
  std::vector<std::pair<std::string, std::string>> texts;
  for (const auto& [name, value] : record_.fields)
    texts.emplace_back(name, value.is_number ? std::to_string(value.number) : value.text);
  return texts;
}

const image::ImageStore& BoardSession::Images() const {
  return images_ ? images_->images : release_ ? release_->images : *run_.images_;
}

std::shared_ptr<const Release> ProductionRun::CurrentRelease() const {
  return settings_.line_values ? settings_.line_values->ReleaseFor("") : nullptr;
}

void BoardSession::Retry(std::string failure, std::chrono::system_clock::time_point ended) {
  record_.attempts.push_back(Attempt{std::move(failure), ended});
  // Finish starts the hashes afresh: the failed attempt's blocks are not
  // what the board holds.
  sent_.Finish();
}

void BoardSession::Step(const std::string& step, const char* result) {
  if (result == nullptr) {
    std::lock_guard lock(progress_mutex_);
    step_ = step;
    return;
  }
  if (run_.json_) run_.json_->Emit(StepEvent(record_.port, record_.board, step, result));
}

void BoardSession::Progress(const ProgressState& state) {
  if (!run_.json_) return;
  std::string step;
  {
    std::lock_guard lock(progress_mutex_);
    if (!throttle_.Allow(std::chrono::steady_clock::now())) return;
    step = step_;
  }
  run_.json_->Emit(ProgressEvent(record_.port, record_.board, step, state.position, state.maximum));
}

bool BoardSession::Finish(const std::string& result, std::optional<std::string> failure,
                          std::string log, std::string* why) {
  Close(result, std::move(failure), std::move(log));
  return File(why);
}

bool BoardSession::WantsLabel() const {
  return !(release_ ? release_->label : run_.label_).empty();
}

bool BoardSession::PrintLabel(std::string* why, const std::function<bool()>& cancelled) {
  std::map<std::string, std::string> values;
  for (auto& [name, text] : FieldTexts()) values[name] = text;
  if (record_.unit) values["unit"] = *record_.unit;
  if (record_.job) values["job"] = record_.job->name + "@" + std::to_string(record_.job->version);
  values["time"] = IsoUtc(record_.time_end);
  LabelRecord label;
  label.printer = run_.printer_.text;
  label.text = (release_ ? release_->label : run_.label_).Render(values);
  label.sha256 = Sha256Hex(label.text.data(), label.text.size());
  if (!run_.settings_.label_printer) {
    // A job's template on a station that names no printer: the board is
    // OK, and its label is plainly not printed.
    label.why = "the station's profile names no label.printer";
    *why = label.why;
    record_.label = std::move(label);
    return false;
  }
  // A folder's file is named by the unit where there is one, else by the
  // board's place in the run, with the time so that no name comes twice.
  std::string name = record_.unit ? *record_.unit : record_.host + "-" + std::to_string(Number());
  name += "-" + IsoUtc(record_.time_end);
  for (char& c : name) {
    if (!std::isalnum(static_cast<unsigned char>(c)) && c != '-' && c != '_') c = '_';
  }
  // Held first, as the record would read were this process to end before
  // the printer answers: it is filed then by the next run.
  label.why = kLabelNotKnown;
  record_.label = label;
  for (RecordSink* sink : run_.sinks_) {
    std::string reason;
    // A record that cannot be held is still filed below, as before.
    if (!sink->Hold(record_, &reason))
      notice_ = "the record could not be held while the label printed: " + reason;
  }
  label.why.clear();
  label.printed = SendLabel(run_.printer_, label.text, name, run_.settings_.label_timeout,
                            &label.why, cancelled);
  if (!label.printed) *why = label.why;
  record_.label = std::move(label);
  return record_.label->printed;
}

void BoardSession::Close(const std::string& result, std::optional<std::string> failure,
                         std::string log) {
  record_.time_end = std::chrono::system_clock::now();
  record_.result = result;
  if (result != "ok" && !failure) {
    // The failure is the last thing the log said.
    size_t end = log.find_last_not_of("\r\n ");
    if (end != std::string::npos) {
      const size_t start = log.find_last_of('\n', end);
      failure = log.substr(start == std::string::npos ? 0 : start + 1,
                           end + 1 - (start == std::string::npos ? 0 : start + 1));
    }
  }
  record_.failure = result == "ok" ? std::nullopt : failure;
  record_.log = std::move(log);
  record_.sent = sent_.Finish();
}

bool BoardSession::File(std::string* why) {
  // The records file first: a record it lost fails the board, and the
  // line then files it as failed (its values void).
  bool written = true;
  for (RecordSink* sink : run_.sinks_) {
    std::string reason;
    if (sink->Keep(record_, &reason)) {
      if (!reason.empty()) notice_ = reason;
      continue;
    }
    if (written) *why = reason;
    written = false;
    record_.result = "failed";
  }
  if (unit_begun_) {
    run_.units_->End(*record_.unit, &record_);
    unit_begun_ = false;
  }
  (record_.result == "ok"        ? run_.ok_
   : record_.result == "stopped" ? run_.stopped_
                                 : run_.failed_)
      .fetch_add(1);
  if (run_.json_) run_.json_->Emit(RecordEvent(record_));
  return written;
}

}  // namespace quelmar::production
