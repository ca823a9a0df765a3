// A board's text record: when, where, what answered, the result and the
// board's whole log, one file per board in the --log-dir folder.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>

#include "link/link.h"

namespace quelmar::cli {

struct Record {
  std::chrono::system_clock::time_point start = std::chrono::system_clock::now();
  std::string label;
  std::string device;
  unsigned board = 0;       // the board's number on its port in --auto, else 0
  uint16_t bootloader = 0;  // (major << 8) | minor; 0 when it did not answer
  std::string chip;         // empty when it did not answer
  bool ok = false;
  std::string log;
};

// What identification found, for the record.
void NoteIdentity(const link::Link& link, Record* record);

// Writes the record into dir (made when missing). An existing record is
// never replaced: a second one of the same name gets a suffix ("-2", ...).
// On failure says why through note and returns false.
bool WriteRecord(const std::string& dir, const Record& r,
                 const std::function<void(const std::string&)>& note);

}  // namespace quelmar::cli
