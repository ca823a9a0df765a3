// A fingerprint of an image file as it is loaded: the image code knows no
// hash; whoever needs one (a production record) puts it behind this seam.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace quelmar::image {

// Sees the bytes of each image file a load reads, in order, and once the
// load has succeeded the rest of the file through the same open: a
// fingerprint of the file is then taken from exactly the bytes loaded, not
// from a second read that a file replaced meanwhile would answer otherwise.
class FileDigest {
 public:
  virtual ~FileDigest() = default;
  virtual void Update(const uint8_t* bytes, size_t size) = 0;
  // The digest of everything Update saw since the last Finish.
  virtual std::string Finish() = 0;
};

}  // namespace quelmar::image
