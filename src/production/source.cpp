#include "production/source.h"

#include <cerrno>
#include <unordered_map>

#include "common/error_text.h"
#include "common/utf8_path.h"
#include "image/image_writer.h"
#include "production/durable_file.h"
#include "production/records_view.h"
#include "production/sha256.h"
#include "production/state_file.h"

namespace quelmar::production {

namespace {

// A state file is lines of "KEY VALUE". The first is the position: "next N"
// for a counter ("used-up" once it cannot step again), "used N" for a list.
// Then a counter's block ("start S", "step T", "end E" when it has one) and
// a list's used part ("last V", the last value given, and "sha256 H"). The
// files of 1.1.0 hold the first line alone; they gain the others on their
// next write.
constexpr std::string_view kNext = "next";
constexpr std::string_view kUsed = "used";
constexpr std::string_view kUsedUpLine = "used-up";

// The whole file; false with errno set when it cannot be opened or read.
bool ReadWhole(const std::string& path, std::string* text) {
  std::FILE* file = OpenFile(path, "rb");
  if (file == nullptr) return false;
  text->clear();
  char buffer[4096];
  size_t n = 0;
  while ((n = std::fread(buffer, 1, sizeof buffer, file)) > 0) text->append(buffer, n);
  const bool failed = std::ferror(file) != 0;
  std::fclose(file);
  if (failed) errno = EIO;
  return !failed;
}

// The block a counter field gives its values from, as a line shows it.
std::string BlockText(const FieldDef& def, uint64_t start, uint64_t step,
                      std::optional<uint64_t> end) {
  return "start " + CounterText(def, start) +
         (end ? ", end " + CounterText(def, *end) : std::string(", no end")) + ", step " +
         std::to_string(step);
}

// A record's value of a counter field as a number; false when it is none.
bool RecordNumber(const FieldDef& def, const nlohmann::ordered_json& value, uint64_t* number) {
  if (value.is_number_unsigned()) {
    *number = value.get<uint64_t>();
    return true;
  }
  if (!value.is_string()) return false;
  const std::string text = value.get<std::string>();
  switch (def.format) {
    case Format::kMac:
      return ParseMac(text, number);
    case Format::kTextPattern:
      return ParsePatternText(def.pattern, text, number);
    default:
      return ParseNumber(text, number);
  }
}

}  // namespace

bool ValueSource::Open(const FieldDef& def, const SourceOptions& options, std::string* why) {
  spec_ = def;
  options_ = options;
  list_.clear();
  hashed_ = 0;
  hash_.clear();
  seen_.reset();
  if (def.state_path.empty()) {
    *why = "it needs a state file (state = \"NAME.state\")";
    return false;
  }
  if (!def.list_path.empty()) {
    std::string bytes;
    if (!ReadWhole(def.list_path, &bytes)) {
      *why = "cannot read the list '" + def.list_path + "': " + ErrorText(errno);
      return false;
    }
    if (!ReadValueList(def, bytes, def.list_path, &list_, why)) return false;
  }

  StateFile file;
  if (!FindStateFile(def.state_path, &file, why)) return false;
  if (file.exists && file.read_only) {
    *why = "the state file '" + def.state_path + "' is read-only";
    return false;
  }
  state_path_ = file.path;
  FileLock lock;
  if (!lock.Acquire(state_path_ + ".lock", options_.lock_wait, why)) return false;
  State state;
  if (!ReadState(&state, why) || !CheckState(state, why)) return false;
  if (!state.exists && !options_.records_path.empty() && !CheckRecords(why)) return false;
  if (state.exists) seen_ = state.used_up ? UINT64_MAX : state.position;
  return true;
}

bool ValueSource::ReadState(State* state, std::string* why) const {
  *state = State{};
  const bool list = !spec_.list_path.empty();
  state->position = list ? 0 : spec_.start;
  std::string text;
  if (!ReadWhole(state_path_, &text)) {
    if (errno == ENOENT) return true;
    *why = "cannot read the state file '" + spec_.state_path + "': " + ErrorText(errno);
    return false;
  }
  state->exists = true;
  const std::string_view first_key = list ? kUsed : kNext;
  auto corrupt = [&](const std::string& what) {
    *why = "the state file '" + spec_.state_path + "' is corrupt (" + what + ")";
    return false;
  };
  const std::string first_fault = "its first line should be \"" + std::string(first_key) + " N\"";
  if (text.empty() || text.back() != '\n') return corrupt(first_fault);
  std::string_view rest(text);
  bool seen_key[5] = {};
  for (size_t number = 1; !rest.empty(); ++number) {
    const std::string_view line = rest.substr(0, rest.find('\n'));
    rest.remove_prefix(line.size() + 1);
    const size_t space = line.find(' ');
    const std::string_view key = line.substr(0, space);
    const std::string_view value =
        space == std::string_view::npos ? std::string_view() : line.substr(space + 1);
    uint64_t n = 0;
    if (number == 1) {
      if (!list && line == kUsedUpLine) {
        state->used_up = true;
      } else if (key != first_key || !ParseNumber(value, &n)) {
        return corrupt(first_fault);
      }
      state->position = n;
      continue;
    }
    const std::string_view keys[] = {"start", "step", "end", "last", "sha256"};
    size_t k = 0;
    while (k < 5 && keys[k] != key) ++k;
    const bool for_this = list ? k >= 3 : k < 3;
    if (k == 5 || !for_this || seen_key[k] || space == std::string_view::npos)
      return corrupt("line " + std::to_string(number) + " is not one this program writes");
    seen_key[k] = true;
    if (k < 3 && !ParseNumber(value, &n))
      return corrupt("line " + std::to_string(number) + " is not one this program writes");
    if (k == 0) state->start = n;
    if (k == 1) state->step = n;
    if (k == 2) state->end = n;
    if (k == 3) state->last = std::string(value);
    if (k == 4) state->sha256 = std::string(value);
  }
  state->has_range = seen_key[0] || seen_key[1] || seen_key[2];
  if (state->has_range && !(seen_key[0] && seen_key[1]))
    return corrupt("it names an end or step without a start and step");
  return true;
}

bool ValueSource::CheckState(const State& state, std::string* why) {
  const std::string& name = spec_.state_path;
  if (!state.exists) {
    if (!seen_) return true;
    *why = "the state file '" + name +
           "' was removed while the run was going: put it back before the next board";
    return false;
  }
  const uint64_t position = state.used_up ? UINT64_MAX : state.position;
  if (spec_.list_path.empty()) {
    // The block this state was written for is the profile's, else its
    // values may be another block's (a profile changed, a folder copied).
    const std::string move_away = ": to start the profile's block, move '" + name + "' away";
    if (state.has_range &&
        (state.start != spec_.start || state.step != spec_.step || state.end != spec_.end)) {
      *why = "the state file '" + name + "' was written for " +
             BlockText(spec_, state.start, state.step, state.end) + ", but the profile says " +
             BlockText(spec_, spec_.start, spec_.step, spec_.end) + move_away;
      return false;
    }
    if (!state.used_up) {
      const std::optional<uint64_t> end = CounterEnd(spec_);
      const bool aligned = position >= spec_.start && (position - spec_.start) % spec_.step == 0;
      // Past the end by one step is where a used-up block stands.
      if (!aligned || (end && position > *end && position - spec_.step > *end)) {
        *why = "the state file '" + name + "' says next " + CounterText(spec_, position) +
               ", which is not in the profile's block (" +
               BlockText(spec_, spec_.start, spec_.step, spec_.end) + ")" + move_away;
        return false;
      }
    }
  } else {
    if (position > list_.size()) {
      *why = "the state file '" + name + "' says " + std::to_string(position) +
             " values are used, but '" + spec_.list_path + "' has only " +
             std::to_string(list_.size());
      return false;
    }
    if (position > 0 && ((state.last && *state.last != list_[position - 1].canonical) ||
                         (state.sha256 && *state.sha256 != UsedHash(position)))) {
      *why = "the first " + std::to_string(position) + " values of '" + spec_.list_path +
             "' were given already and have changed since" +
             (state.last ? " (the last given was \"" + *state.last + "\")" : std::string()) +
             ": keep them as they were and add new values at the end";
      return false;
    }
  }
  if (seen_ && position < *seen_) {
    *why = "the state file '" + name + "' went back while the run was going (" +
           std::to_string(position) + " after " + std::to_string(*seen_) +
           "): its values would be given again";
    return false;
  }
  return true;
}

bool ValueSource::CheckRecords(std::string* why) const {
  const std::string& records = options_.records_path;
  std::FILE* file = OpenFile(records, "rb");
  if (file == nullptr) {
    if (errno == ENOENT) return true;
    *why = "cannot read the records '" + records + "': " + ErrorText(errno);
    return false;
  }
  std::fclose(file);
  // Every line that holds a JSON object counts, also one the records
  // reader would skip for a key of the wrong type (a hand-edited record):
  // a value it names may have been given.
  std::string text;
  if (!ReadWhole(records, &text)) {
    *why = "cannot read the records '" + records + "': " + ErrorText(errno);
    return false;
  }
  std::vector<nlohmann::ordered_json> objects;
  for (size_t from = 0; from < text.size();) {
    size_t to = text.find('\n', from);
    if (to == std::string::npos) to = text.size();
    auto parsed = nlohmann::ordered_json::parse(std::string_view(text).substr(from, to - from),
                                                nullptr, false);
    if (parsed.is_object()) objects.push_back(std::move(parsed));
    from = to + 1;
  }
  const bool list = !spec_.list_path.empty();
  std::unordered_map<std::string, size_t> index;  // a list's canonical text -> its place
  for (size_t i = 0; i < list_.size(); ++i) index.emplace(list_[i].canonical, i);
  const std::optional<uint64_t> end = CounterEnd(spec_);
  std::optional<uint64_t> highest;  // a counter's value, or a list's place
  for (const auto& record : objects) {
    const auto fields = record.find("fields");
    if (fields == record.end() || !fields->is_object()) continue;
    const auto value = fields->find(spec_.name);
    if (value == fields->end()) continue;
    uint64_t number = 0;
    if (!list) {
      if (!RecordNumber(spec_, *value, &number) || number < spec_.start || (end && number > *end))
        continue;
    } else {
      std::string canonical;
      if (spec_.format == Format::kText) {
        if (!value->is_string()) continue;
        canonical = value->get<std::string>();
      } else {
        if (!RecordNumber(spec_, *value, &number)) continue;
        canonical = CanonicalText(spec_, FieldValue{number, "", false});
      }
      const auto found = index.find(canonical);
      if (found == index.end()) continue;
      number = found->second;
    }
    if (!highest || number > *highest) highest = number;
  }
  if (!highest) return true;
  *why = "there is no state file '" + spec_.state_path + "', but '" + records +
         "' already holds values of this field (up to " +
         (list ? "\"" + list_[*highest].canonical + "\"" : CounterText(spec_, *highest)) +
         "): put the state file back" + (list ? "" : ", or start the block past them");
  return false;
}

std::string ValueSource::UsedHash(size_t used) {
  // A chain: each step hashes the step before and one value, so that a
  // state one value further is checked with one more step.
  if (used < hashed_) {
    hashed_ = 0;
    hash_.clear();
  }
  for (; hashed_ < used; ++hashed_) {
    const std::string step = hash_ + list_[hashed_].canonical + "\n";
    hash_ = Sha256Hex(step.data(), step.size());
  }
  return hash_;
}

std::string ValueSource::StateText(uint64_t next_position, bool used_up) {
  if (!spec_.list_path.empty()) {
    return std::string(kUsed) + " " + std::to_string(next_position) + "\nlast " +
           list_[next_position - 1].canonical + "\nsha256 " + UsedHash(next_position) + "\n";
  }
  std::string text =
      used_up ? std::string(kUsedUpLine) : std::string(kNext) + " " + std::to_string(next_position);
  text += "\nstart " + std::to_string(spec_.start) + "\nstep " + std::to_string(spec_.step) + "\n";
  if (spec_.end) text += "end " + std::to_string(*spec_.end) + "\n";
  return text;
}

ValueSource::Reserved ValueSource::Reserve(FieldValue* value, std::string* why) {
  std::lock_guard guard(mutex_);
  FileLock lock;
  if (!lock.Acquire(state_path_ + ".lock", options_.lock_wait, why)) return Reserved::kFailed;
  State state;
  if (!ReadState(&state, why) || !CheckState(state, why)) return Reserved::kFailed;
  const uint64_t position = state.position;

  std::string next_state;
  uint64_t next_seen = 0;
  if (!spec_.list_path.empty()) {
    if (position >= list_.size()) {
      *why = "the list '" + spec_.list_path + "' is used up (" + std::to_string(list_.size()) +
             " values)";
      return Reserved::kUsedUp;
    }
    *value = list_[position].value;
    next_seen = position + 1;
    next_state = StateText(next_seen, false);
  } else {
    const std::optional<uint64_t> end = CounterEnd(spec_);
    if (state.used_up || (end && position > *end)) {
      *why = "the counter is used up" +
             (!end        ? std::string()
              : spec_.end ? " (its end is " + CounterText(spec_, *end) + ")"
                          : " (a MAC without an end stays in its start's block, which ends at " +
                                CounterText(spec_, *end) + ")");
      return Reserved::kUsedUp;
    }
    *value = FieldValue{position, "", false};
    std::vector<uint8_t> bytes;
    std::string not_fit;
    if (!EncodeValue(spec_, *value, &bytes, &not_fit)) {
      *why = "the counter is used up: its next value " + not_fit;
      return Reserved::kUsedUp;
    }
    const bool wraps = position > UINT64_MAX - spec_.step;
    next_seen = wraps ? UINT64_MAX : position + spec_.step;
    next_state = StateText(next_seen, wraps);
  }
  if (pause_) pause_();
  // Someone removed the lock file while this process held it (believing
  // it hung): another process may have taken this very value meanwhile.
  if (!lock.StillHeld(why)) return Reserved::kFailed;
  std::string error;
  if (!image::WriteFileAtomically(
          state_path_, std::vector<uint8_t>(next_state.begin(), next_state.end()), &error)) {
    *why = "cannot write the state file: " + error;
    return Reserved::kFailed;
  }
  seen_ = next_seen;
  return Reserved::kOk;
}

}  // namespace quelmar::production
