// A run's fields together: checked against the images before any board is
// touched, a value of each reserved per board, and that board's own copy of
// the images with its values written. The loaded images and the files on
// disk never change.
#pragma once

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "common/log.h"
#include "image/image_store.h"
#include "production/fields.h"
#include "production/seams.h"
#include "production/source.h"

namespace quelmar::production {

// A board's images: its own store, with a log of its own that nobody reads
// (the loads it runs only repeat what the shared load said).
struct BoardImages {
  Log log;
  image::ImageStore images{log};
};

// Also the value source of a run on state files: each field's own.
class FieldPlan final : public BoardValues {
 public:
  // Every check that can refuse a field, before any board: a bank the image
  // does not write, a place outside the bank or data image, image bytes
  // under it that are not erased (0xFF) unless overwrite is set, two fields
  // that overlap, a start or end that does not fit the format, an end
  // below the start, a MAC block that reaches multicast addresses, and each
  // source's list and state file. A field that takes its values from the
  // line's pool has no state file here: its placement is checked alike.
  // False with one line in *why naming the field and the reason.
  // options: the lock wait and the run's records (see SourceOptions).
  bool Prepare(const std::vector<FieldDef>& defs, const image::ImageStore& images,
               const SourceOptions& options, std::string* why);
  bool Prepare(const std::vector<FieldDef>& defs, const image::ImageStore& images,
               std::string* why) {
    return Prepare(defs, images, SourceOptions{}, why);
  }

  bool empty() const { return defs_.empty(); }
  size_t size() const { return defs_.size(); }
  const FieldDef& def(size_t i) const { return defs_[i]; }
  const std::vector<FieldDef>& defs() const { return defs_; }

  // One value of every field from its state file, each reserved durably
  // (a scan field's is left empty: the board's session puts its unit in).
  // Values reserved before a failure stay used: the caller records them
  // with the failed board.
  ValueSource::Reserved Reserve(std::vector<FieldValue>* values, std::string* why);
  ValueSource::Reserved Reserve(const BoardTag&, std::vector<FieldValue>* values,
                                std::string* why) override {
    return Reserve(values, why);
  }

  // The board's images: the shared ones with values[i] written into field
  // i's place. False with *why when a value does not fit its field.
  bool Patch(const image::ImageStore& images, const std::vector<FieldValue>& values,
             BoardImages* board, std::string* why) const;

 private:
  std::vector<FieldDef> defs_;
  std::vector<std::unique_ptr<ValueSource>> sources_;  // the fields with state files
};

}  // namespace quelmar::production
