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
  // Creates the folder when missing. False with *why.
  bool Open(const std::string& folder, std::string* why);
  const std::string& folder() const { return folder_; }

  // Writes the board (its station, port and record) to <id>.json through
  // a temporary file, flushed, renamed into place. False with *why.
  bool Put(const FiledBoard& board, std::string* why);
  // The boards waiting, oldest first (by their end). Files that cannot be
  // read as a spooled board are named in *unreadable and left alone.
  bool Pending(std::vector<FiledBoard>* boards, std::vector<std::string>* unreadable,
               std::string* why) const;
  // Files every waiting board and removes its file once the database has
  // it. Stops at the first board the database does not take (kAway: it is
  // away again); *filed counts the boards filed.
  LineDb::Filed FileAll(LineDb& db, size_t* filed, std::string* why);

 private:
  std::string folder_;
};

// The spool folder of a profile: "line3.toml" -> "line3.spool" beside it.
std::string SpoolFolderFor(const std::string& profile_path);

}  // namespace quelmar::line
