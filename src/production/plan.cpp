#include "production/plan.h"

#include <algorithm>
#include <filesystem>

#include "common/utf8_path.h"
#include "image/image_writer.h"

namespace quelmar::production {

namespace {

const image::Image* ImageAt(const image::ImageStore& images, Place place) {
  switch (place) {
    case Place::kBankA:
      return &images.CodeImage();
    case Place::kBankB:
      return &images.ExtendedCodeImage();
    case Place::kData:
      return &images.DataImage();
  }
  return nullptr;
}

uint8_t DecodedAt(const image::ImageStore& images, Place place, uint32_t offset) {
  const uint8_t stored = ImageAt(images, place)->data()[offset];
  return place == Place::kData ? images.DecodeDataByte(stored) : images.DecodeCodeByte(stored);
}

std::vector<uint8_t> Decoded(const image::ImageStore& images, Place place) {
  const image::Image& image = *ImageAt(images, place);
  std::vector<uint8_t> plain(image.length());
  for (uint32_t i = 0; i < image.length(); ++i) plain[i] = DecodedAt(images, place, i);
  return plain;
}

// The file a state path leads to, whether it exists yet or not: its
// folder's links and "." and ".." resolved, as the system would.
bool SameStateFile(const std::string& a, const std::string& b) {
  if (a == b) return true;
  std::error_code error_a, error_b;
  const auto real_a = std::filesystem::weakly_canonical(PathFromUtf8(a), error_a);
  const auto real_b = std::filesystem::weakly_canonical(PathFromUtf8(b), error_b);
  return !error_a && !error_b && real_a == real_b;
}

const char* PlaceName(Place place) {
  switch (place) {
    case Place::kBankA:
      return "bank A";
    case Place::kBankB:
      return "bank B";
    case Place::kData:
      return "the data image";
  }
  return "";
}

}  // namespace

bool FieldPlan::Prepare(const std::vector<FieldDef>& defs, const image::ImageStore& images,
                        const SourceOptions& options, std::string* why) {
  sources_.clear();
  defs_.clear();
  for (size_t i = 0; i < defs.size(); ++i) {
    const FieldDef& f = defs[i];
    auto refuse = [&](const std::string& reason) {
      *why = "field '" + f.name + "' at " + WhereText(f.where) + ": " + reason;
      sources_.clear();
      defs_.clear();
      return false;
    };
    if (f.size == 0) return refuse("its size is 0");
    const image::Image& image = *ImageAt(images, f.where.place);
    if (!image.present()) {
      return refuse(std::string(PlaceName(f.where.place)) +
                    (f.where.place == Place::kData ? " is not written (no --data)"
                                                   : " is not written by the code image"));
    }
    if (uint64_t{f.where.offset} + f.size > image.length()) {
      return refuse("its " + std::to_string(f.size) + " bytes reach past the end of " +
                    PlaceName(f.where.place));
    }
    if (!f.overwrite) {
      for (uint32_t k = 0; k < f.size; ++k) {
        if (DecodedAt(images, f.where.place, f.where.offset + k) != 0xFF) {
          return refuse("the image has bytes other than 0xFF there (from " +
                        WhereText({f.where.place, f.where.offset + k}) +
                        "); set overwrite = true to write over them");
        }
      }
    }
    for (size_t j = 0; j < i; ++j) {
      const FieldDef& g = defs[j];
      if (g.name == f.name) return refuse("a second field of that name");
      if (g.where.place == f.where.place && f.where.offset < g.where.offset + g.size &&
          g.where.offset < f.where.offset + f.size) {
        return refuse("it overlaps field '" + g.name + "' at " + WhereText(g.where));
      }
      if (!f.state_path.empty() && g.state_path == f.state_path)
        return refuse("it shares its state file with field '" + g.name + "'");
    }
    // The line's pool is checked against the field by the database; a
    // scan field's value is the board's unit, checked as the board starts.
    if (!f.pool.empty() || f.from_scan) {
      defs_.push_back(f);
      continue;
    }
    std::vector<uint8_t> bytes;
    std::string not_fit;
    if (f.list_path.empty()) {
      if (!EncodeValue(f, FieldValue{f.start, "", false}, &bytes, &not_fit))
        return refuse("its start " + not_fit);
      if (f.end && !EncodeValue(f, FieldValue{*f.end, "", false}, &bytes, &not_fit))
        return refuse("its end " + not_fit);
      if (f.end && *f.end < f.start) return refuse("its end is below its start");
      if (f.step == 0) return refuse("its step is 0");
      // A board's own address is never a group address: the block stays
      // below the first byte's multicast bit.
      if (f.format == Format::kMac && IsMulticastMac(f.start))
        return refuse("its start " + MacText(f.start) +
                      " is a multicast address (its first byte is odd)");
      if (f.format == Format::kMac && f.end && (*f.end >> 40) != (f.start >> 40))
        return refuse("its range reaches the multicast address " +
                      MacText(((f.start >> 40) + 1) << 40));
    }
    auto source = std::make_unique<ValueSource>();
    std::string reason;
    if (!source->Open(f, options, &reason)) return refuse(reason);
    for (const auto& other : sources_) {
      // Two links to one file, or two spellings of one path ("./sn.state"
      // beside "sn.state"), are one state file.
      if (SameStateFile(other->state_file(), source->state_file()))
        return refuse("it shares its state file with field '" + other->def().name + "'");
    }
    sources_.push_back(std::move(source));
    defs_.push_back(f);
  }
  return true;
}

ValueSource::Reserved FieldPlan::Reserve(std::vector<FieldValue>* values, std::string* why) {
  values->clear();
  if (std::any_of(defs_.begin(), defs_.end(), [](const FieldDef& f) { return !f.pool.empty(); })) {
    *why = "the fields take their values from the line's pools, not from state files";
    return ValueSource::Reserved::kFailed;
  }
  size_t next = 0;
  for (const FieldDef& def : defs_) {
    // The board's session puts its unit in.
    if (def.from_scan) {
      values->push_back(FieldValue{});
      continue;
    }
    auto& source = sources_[next++];
    FieldValue value;
    std::string reason;
    const auto reserved = source->Reserve(&value, &reason);
    if (reserved != ValueSource::Reserved::kOk) {
      *why = "field '" + source->def().name + "': " + reason;
      return reserved;
    }
    values->push_back(std::move(value));
  }
  return ValueSource::Reserved::kOk;
}

bool FieldPlan::Patch(const image::ImageStore& images, const std::vector<FieldValue>& values,
                      BoardImages* board, std::string* why) const {
  std::vector<uint8_t> plain[3];
  bool touched[3] = {false, false, false};
  for (size_t i = 0; i < defs_.size() && i < values.size(); ++i) {
    const FieldDef& f = defs_[i];
    const int k = static_cast<int>(f.where.place);
    if (!touched[k]) plain[k] = Decoded(images, f.where.place);
    touched[k] = true;
    std::vector<uint8_t> bytes;
    std::string reason;
    if (!EncodeValue(f, values[i], &bytes, &reason)) {
      *why = "field '" + f.name + "': " + reason;
      return false;
    }
    std::copy(bytes.begin(), bytes.end(), plain[k].begin() + f.where.offset);
  }
  // The board's store is loaded from image files built in memory from the
  // patched bytes, in the shared images' encodings: the update procedures
  // then read it exactly as they read any loaded image.
  if (images.HasCodeImage()) {
    for (int k = 0; k < 2; ++k) {
      if (!touched[k] && ImageAt(images, static_cast<Place>(k))->present())
        plain[k] = Decoded(images, static_cast<Place>(k));
    }
    const std::vector<uint8_t> file = image::BuildCodeFile(plain[0].empty() ? nullptr : &plain[0],
                                                           plain[1].empty() ? nullptr : &plain[1],
                                                           images.CodeEncoding() == 0 ? 'F' : 'E');
    if (file.empty() || !board->images.LoadCodeImageFromMemory(file.data(), file.size())) {
      *why = "cannot build the board's code image";
      return false;
    }
  }
  if (images.DataImage().present()) {
    if (!touched[2]) plain[2] = Decoded(images, Place::kData);
    const std::vector<uint8_t> file =
        image::BuildDataFile(plain[2], images.DataEncoding() == 0 ? 'F' : 'D');
    if (file.empty() || !board->images.LoadDataImageFromMemory(file.data(), file.size())) {
      *why = "cannot build the board's data image";
      return false;
    }
  }
  return true;
}

}  // namespace quelmar::production
