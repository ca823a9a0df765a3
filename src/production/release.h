// What the boards of a run are written with when the run makes a released
// job of the line: the job's images, its fields placed in them, its steps
// and the job's name, version and bundle hash for every record. A run may
// change over to a newer release between boards; each board keeps the one
// its values were reserved under.
#pragma once

#include <optional>
#include <string>

#include "common/log.h"
#include "image/image_store.h"
#include "production/label.h"
#include "production/plan.h"
#include "production/record.h"

namespace quelmar::production {

struct Release {
  Release() = default;
  Release(const Release&) = delete;
  Release& operator=(const Release&) = delete;

  Log log;  // the images' loads; nobody reads it
  image::ImageStore images{log};
  FieldPlan plan;  // the fields, placed and checked against the images
  std::optional<FileHash> code_hash, data_hash;
  bool code = false, data = false, reboot = false;
  unsigned retries = 0;  // the job profile's 'retries'
  // The job's scan and scan_pattern, as its profile gives them.
  std::optional<std::string> scan, scan_pattern;
  JobRef job;
  // The job's label template (empty: the job prints no label).
  LabelTemplate label;
};

}  // namespace quelmar::production
