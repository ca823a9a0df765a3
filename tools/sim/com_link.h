// The COM<n> link that gives the simulated board a port number: the host
// numbers a device by links in its per-user port folder.
#pragma once

#include <string>

namespace quelmar::sim {

// Creates <folder>/COM<number> pointing at `target`, creating the folder
// (mode 0700) when missing. An existing link that points at a device that
// is present is kept unless `force`; a stale one is replaced. On success
// *link_path is the link's path.
bool CreateComLink(const std::string& folder, int number, const std::string& target, bool force,
                   std::string* link_path, std::string* error);

// Removes the link, but only while it still points at `target`: another
// program may have taken the number over meanwhile.
void RemoveComLink(const std::string& link_path, const std::string& target);

}  // namespace quelmar::sim
