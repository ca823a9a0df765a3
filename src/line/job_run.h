// A released job made ready to run: its images loaded from the bytes the
// line's database holds, as the files' loads would load them, and its
// profile's fields and reboot.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "image/build_output.h"
#include "line/line_db.h"
#include "production/release.h"

namespace quelmar::line {

// "widget@3".
std::string JobLabel(const std::string& name, int version);
// The name a job keeps a file's format under ("fcode", "fdata", "elf",
// "hex", "srec"); "" for a format no job holds.
std::string JobFormat(image::FileFormat format);

// The release a station writes from a job fetched and checked (CheckJob):
// each image loaded from its bytes, the profile's fields placed in the
// images, its reboot. *fields: the fields with the pools they take their
// values from. False with one line naming the job.
bool MakeRelease(const Job& job, std::shared_ptr<production::Release>* release,
                 std::vector<PoolField>* fields, std::string* why);

}  // namespace quelmar::line
