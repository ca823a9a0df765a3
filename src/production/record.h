// A board's record: one JSON object per board, one line each in a JSON
// Lines file, with keys that tools rely on. The hashes of what was sent come
// from the blocks as the update sent them.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "production/durable_file.h"
#include "production/fields.h"
#include "production/seams.h"
#include "production/sha256.h"
#include "update/update.h"

namespace quelmar::production {

// Hashes every block the update sends, per bank and for the data image.
class SentHashes final : public update::SentBlocks {
 public:
  void CodeBlockSent(uint32_t address, const uint8_t* bytes, uint32_t size) override;
  void DataBlockSent(uint32_t offset, const uint8_t* bytes, uint32_t size) override;
  // The hex digests; nullopt for what was not sent at all.
  struct Digests {
    std::optional<std::string> bank_a, bank_b, data;
  };
  Digests Finish();

 private:
  Sha256 hash_[3];
  uint64_t bytes_[3] = {0, 0, 0};
};

struct FileHash {
  std::string file;
  std::string sha256;
};

// A released job of the line's database: its name, version and bundle hash.
struct JobRef {
  std::string name;
  int version = 0;
  std::string sha256;
};

// The label of an OK board: the bytes as sent and where they went.
struct LabelRecord {
  std::string printer;  // the target as the profile names it
  std::string text;     // the ZPL sent, byte for byte
  std::string sha256;   // of text
  bool printed = false;
  std::string why;  // why not printed, in one line
};

// An attempt at a board that failed for the link before it was tried
// again: its failure line and when it ended.
struct Attempt {
  std::string failure;
  std::chrono::system_clock::time_point time{};
};

struct BoardRecord {
  std::string id;       // the board's UUID: its key in the line's database
  std::string station;  // the line's station (a profile with [line]), else ""
  std::chrono::system_clock::time_point time_start{};
  std::chrono::system_clock::time_point time_end{};
  std::string port;
  std::string device;
  unsigned board = 0;
  // The unit scanned from the board's own label, when it had one.
  std::optional<std::string> unit;
  // A board written again with an earlier record's values: that record's id.
  std::optional<std::string> rework_of;
  std::string result = "failed";  // "ok", "failed", "stopped"
  std::optional<std::string> failure;
  // The earlier attempts, each failed for the link; empty when the first
  // was the last. The last attempt is the record's own result and failure.
  std::vector<Attempt> attempts;
  std::optional<std::string> bootloader;  // "2.8"
  std::optional<std::string> chip;        // "LPC4357"
  std::vector<uint32_t> chip_words;       // empty when identification failed
  // name -> value, in the fields' order.
  std::vector<std::pair<std::string, ShownValue>> fields;
  std::optional<FileHash> code, data, profile;
  std::optional<JobRef> job;
  SentHashes::Digests sent;
  std::string host;
  std::string version;
  std::string log;
  std::optional<LabelRecord> label;
};

// "2026-12-08T07:38:41.123Z"
std::string IsoUtc(std::chrono::system_clock::time_point t);
// The time in UTC through a strftime pattern ("%Y%m%d-%H%M%S").
std::string UtcText(std::chrono::system_clock::time_point t, const char* format);
// The record as one line of JSON, without the line end.
std::string RecordJson(const BoardRecord& record);
// A new random board id (a version 4 UUID, "xxxxxxxx-xxxx-4xxx-yxxx-xxxxxxxxxxxx").
std::string NewBoardId();

// The records file of a run: opened (and so checked writable) before any
// board is touched; each record appended whole and flushed to disk.
// Safe to share between the boards' threads.
// A record can be held first (an OK board's, while its label is printed):
// it is then in RECORDS.held/ until its append, so that a process killed
// meanwhile loses nothing; the next run on the file appends it.
class RecordsFile final : public RecordSink {
 public:
  RecordsFile();
  ~RecordsFile() override;
  RecordsFile(const RecordsFile&) = delete;
  RecordsFile& operator=(const RecordsFile&) = delete;
  // Creates the folder when missing. False with *why.
  bool Open(const std::string& path, std::string* why);
  bool Append(const BoardRecord& record, std::string* why);
  bool Keep(const BoardRecord& record, std::string* why) override { return Append(record, why); }
  bool Hold(const BoardRecord& record, std::string* why) override;
  // After Open: appends the records held by processes that have ended
  // (each one not already in the file), one line each in *notes. Records
  // of a process still running are left to it. False with *why when the
  // held folder cannot be read.
  bool FileHeld(std::vector<std::string>* notes, std::string* why);
  const std::string& path() const { return path_; }

 private:
  std::string HeldPath(const std::string& tag, const std::string& id) const;
  void Unhold(const std::string& id);

  std::mutex mutex_;
  AppendFile file_;
  std::string path_;
  std::string held_folder_;  // RECORDS.held
  std::string tag_;          // this object's part of the held files' names
  FileLock held_lock_;       // TAG.lock there, while this process runs
  std::set<std::string> held_;
};

}  // namespace quelmar::production
