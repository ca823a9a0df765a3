// The local spool: records the line's database could not take, one file
// each in a folder beside the profile, written durably before the board
// counts as done, and filed (once: the database knows each board by its
// id) as soon as the database answers again.
#pragma once

#include <string>
#include <vector>

#include "line/line_db.h"

namespace quelmar::line {

class Spool {
 public:
  // Creates the folder when missing and tries writing in it (a file made,
  // flushed and removed): a spool that cannot take a record is found
  // before the first board. False with *why.
  bool Open(const std::string& folder, std::string* why);
  const std::string& folder() const { return folder_; }

  // Writes the board (its station, port and record) to <id>.json through
  // a temporary file, flushed, renamed into place. False with *why.
  bool Put(const FiledBoard& board, std::string* why);
  // The boards waiting, oldest first (by their end). Files that cannot be
  // read as a spooled board are named in *unreadable and left alone.
  bool Pending(std::vector<FiledBoard>* boards, std::vector<std::string>* unreadable,
               std::string* why) const;
  // Files every waiting board of the line `identity` and removes its file
  // once the database has it. kAway: the database went away (the rest
  // wait). A record the database refuses as not its board's is set aside
  // as <id>.refused with <id>.reason beside it, never sent again; records
  // of another line are left alone. *filed counts the boards filed;
  // *notes gets one line for each thing a person should look at.
  LineDb::Filed FileAll(LineDb& db, const std::string& identity, size_t* filed,
                        std::vector<std::string>* notes, std::string* why);
  // Sets a spooled record aside with its reason.
  bool SetAside(const std::string& id, const std::string& reason, std::string* why);
  // Removes a filed board's file.
  bool Remove(const std::string& id, std::string* why);
  // The records set aside.
  size_t SetAsideCount() const;

 private:
  std::string folder_;
};

// The spool folder of a profile: "line3.toml" -> "line3.spool" beside it.
std::string SpoolFolderFor(const std::string& profile_path);

}  // namespace quelmar::line
