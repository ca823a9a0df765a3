#include "production/source.h"

#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>

#include "image/image_writer.h"
#include "production/durable_file.h"

namespace quelmar::production {

namespace {

// State files hold one line: "next N" for a counter, "used N" for a list,
// or "used-up" once a counter cannot step again.
constexpr char kNext[] = "next ";
constexpr char kUsed[] = "used ";
constexpr char kUsedUpLine[] = "used-up";

bool ReadWhole(const std::string& path, std::string* text) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  std::ostringstream all;
  all << in.rdbuf();
  *text = all.str();
  return !in.bad();
}

}  // namespace

bool ValueSource::Open(const FieldDef& def, std::string* why) {
  spec_ = def;
  list_.clear();
  if (def.state_path.empty()) {
    *why = "it needs a state file (state = \"NAME.state\")";
    return false;
  }
  if (!def.list_path.empty()) {
    std::string text;
    if (!ReadWhole(def.list_path, &text)) {
      *why = "cannot read the list '" + def.list_path + "'";
      return false;
    }
    std::set<std::string> seen;
    std::istringstream lines(text);
    std::string line;
    for (size_t number = 1; std::getline(lines, line); ++number) {
      if (!line.empty() && line.back() == '\r') line.pop_back();
      if (line.empty()) continue;
      if (!seen.insert(line).second) {
        *why = "'" + def.list_path + "' line " + std::to_string(number) + ": \"" + line +
               "\" is there twice";
        return false;
      }
      std::vector<uint8_t> bytes;
      std::string not_fit;
      if (!EncodeValue(def, FieldValue{0, line, true}, &bytes, &not_fit)) {
        *why = "'" + def.list_path + "' line " + std::to_string(number) + ": " + not_fit;
        return false;
      }
      list_.push_back(line);
    }
  }

  std::error_code error;
  const auto status = std::filesystem::status(def.state_path, error);
  if (std::filesystem::exists(status)) {
    if (!std::filesystem::is_regular_file(status)) {
      *why = "the state file '" + def.state_path + "' is not a regular file";
      return false;
    }
    // Checked by its permission bits: a superuser could write it anyway,
    // but a read-only state file is a sign that it should not change.
    if ((status.permissions() & std::filesystem::perms::owner_write) ==
        std::filesystem::perms::none) {
      *why = "the state file '" + def.state_path + "' is read-only";
      return false;
    }
  }
  FileLock lock;
  if (!lock.Acquire(def.state_path + ".lock", lock_wait_, why)) return false;
  uint64_t position = 0;
  bool used_up = false;
  return ReadState(&position, &used_up, why);
}

bool ValueSource::ReadState(uint64_t* position, bool* used_up, std::string* why) const {
  *used_up = false;
  std::error_code error;
  if (!std::filesystem::exists(spec_.state_path, error)) {
    *position = spec_.list_path.empty() ? spec_.start : 0;
    return true;
  }
  std::string text;
  if (!ReadWhole(spec_.state_path, &text)) {
    *why = "cannot read the state file '" + spec_.state_path + "'";
    return false;
  }
  const bool list = !spec_.list_path.empty();
  const std::string prefix = list ? kUsed : kNext;
  bool ok = false;
  if (!list && text == std::string(kUsedUpLine) + "\n") {
    *used_up = true;
    ok = true;
  } else if (text.size() > prefix.size() + 1 && text.rfind(prefix, 0) == 0 && text.back() == '\n') {
    ok = ParseNumber(std::string_view(text).substr(prefix.size(), text.size() - prefix.size() - 1),
                     position);
  }
  if (!ok) {
    *why = "the state file '" + spec_.state_path + "' is corrupt (it should hold one line, \"" +
           prefix + "N\")";
    return false;
  }
  if (list && *position > list_.size()) {
    *why = "the state file '" + spec_.state_path + "' says " + std::to_string(*position) +
           " values are used, but '" + spec_.list_path + "' has only " +
           std::to_string(list_.size());
    return false;
  }
  return true;
}

ValueSource::Reserved ValueSource::Reserve(FieldValue* value, std::string* why) {
  std::lock_guard guard(mutex_);
  FileLock lock;
  if (!lock.Acquire(spec_.state_path + ".lock", lock_wait_, why)) return Reserved::kFailed;
  uint64_t position = 0;
  bool used_up = false;
  if (!ReadState(&position, &used_up, why)) return Reserved::kFailed;

  std::string next_state;
  if (!spec_.list_path.empty()) {
    if (position >= list_.size()) {
      *why = "the list '" + spec_.list_path + "' is used up (" + std::to_string(list_.size()) +
             " values)";
      return Reserved::kUsedUp;
    }
    *value = FieldValue{0, list_[position], true};
    next_state = kUsed + std::to_string(position + 1) + "\n";
  } else {
    if (used_up || (spec_.end && position > *spec_.end)) {
      *why = "the counter is used up" +
             (spec_.end ? " (its end is " + std::to_string(*spec_.end) + ")" : std::string());
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
    next_state = wraps ? std::string(kUsedUpLine) + "\n"
                       : kNext + std::to_string(position + spec_.step) + "\n";
  }
  std::string error;
  if (!image::WriteFileAtomically(
          spec_.state_path, std::vector<uint8_t>(next_state.begin(), next_state.end()), &error)) {
    *why = "cannot write the state file: " + error;
    return Reserved::kFailed;
  }
  return Reserved::kOk;
}

}  // namespace quelmar::production
