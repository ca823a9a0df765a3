// Where a source's state file really is. A link is followed once, when the
// source opens, so that its lock, its temporary file and the rename all act
// on the file the link leads to: a rename over the link would replace the
// link, and the shared file it led to would never advance.
#pragma once

#include <string>

namespace quelmar::production {

struct StateFile {
  std::string path;        // the file itself: a link's target, else the path given
  bool exists = false;     // false: no state yet, the source starts afresh
  bool read_only = false;  // by its permission bits (the read-only attribute on Windows)
};

// False with *why for a link that leads nowhere, something other than a
// regular file, and every error other than "does not exist" (a folder
// that cannot be searched, a link loop, a path through a file): none of
// them means "no state yet".
bool FindStateFile(const std::string& path, StateFile* file, std::string* why);

}  // namespace quelmar::production
