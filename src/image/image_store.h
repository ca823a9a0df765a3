// Firmware images in memory: the code images for flash banks A and B and the
// data flash image, each kept exactly as the file stores it (still encoded),
// with the encoding mode of the last file of its kind.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "common/log.h"
#include "image/build_output.h"
#include "image/file_digest.h"

namespace quelmar::image {

namespace detail {
class ByteSource;
}

inline constexpr uint32_t CODE_IMAGE_SIZE = 0x80000;
// A code section carries its length field plus one stored bytes, so the
// buffer has room for one byte more than the image.
inline constexpr uint32_t kCodeBufferSize = CODE_IMAGE_SIZE + 1;

// Stored byte -> byte for the board. Mode 0: NOT s. Mode 1: NOT s rotated
// right by 3 (code) or 4 (data).
uint8_t DecodeCodeByte(uint8_t stored, uint8_t mode);
uint8_t DecodeDataByte(uint8_t stored, uint8_t mode);
// The inverses, for writers of image files.
uint8_t EncodeCodeByte(uint8_t plain, uint8_t mode);
uint8_t EncodeDataByte(uint8_t plain, uint8_t mode);

// An absent-or-present buffer and its length in bytes.
class Image {
 public:
  bool present() const { return buffer_ != nullptr; }
  const uint8_t* data() const { return buffer_.get(); }
  uint32_t length() const { return length_; }

 private:
  friend class ImageStore;
  std::unique_ptr<uint8_t[]> buffer_;
  uint32_t length_ = 0;
};

enum class ImageKind { kCode, kData };

// File-chooser seam: asks the user for one existing file of the kind.
// nullopt means cancelled. The GUI puts its dialog behind it.
class FileChooser {
 public:
  virtual ~FileChooser() = default;
  virtual std::optional<std::string> ChooseImageFile(ImageKind kind) = 0;
};

class ImageStore {
 public:
  explicit ImageStore(Log& log) : log_(log) {}
  ImageStore(const ImageStore&) = delete;
  ImageStore& operator=(const ImageStore&) = delete;

  // Ask the chooser for a file and load it. A cancel changes nothing and
  // logs nothing. True when a code file was read through section B (also
  // when both sections were empty) / when a data image was loaded.
  bool LoadCodeImageFile(FileChooser& chooser);
  bool LoadDataImageFile(FileChooser& chooser);
  // The same loads for a path already chosen. The code load also takes build
  // output (ELF, Intel HEX, S-record; DetectFormat tells them apart by
  // content, then by name): it packs the file in memory, logs PackedLine
  // and loads the packed code image as it would load the file, which logs
  // "Loading CODE completed !". A refused build output logs "Failed packing
  // NAME (FORMAT): why" and leaves no code image, as a malformed .fcode does.
  bool LoadCodeImageFromPath(const std::string& path);
  bool LoadDataImageFromPath(const std::string& path);
  // The same loads for file contents already in memory (the open step cannot
  // fail); they run the very parsing code of the file loads. Used by the
  // fuzz targets. The code load reads .fcode contents only.
  bool LoadCodeImageFromMemory(const uint8_t* bytes, size_t size);
  bool LoadDataImageFromMemory(const uint8_t* bytes, size_t size);
  // A build output's contents in memory, named name in the log.
  bool LoadBuildOutputFromMemory(const uint8_t* bytes, size_t size, FileFormat format,
                                 const std::string& name);

  // Every load from a path from now on feeds digest (kept alive by the
  // caller; null for none).
  void SetFileDigest(FileDigest* digest) { digest_ = digest; }
  // The file the code / data image was loaded from, with the digest of the
  // bytes read from it; nullopt after a load from memory, a failed load, or
  // without a digest.
  struct LoadedFile {
    std::string path;
    std::string digest;
  };
  const std::optional<LoadedFile>& CodeFile() const { return code_file_; }
  const std::optional<LoadedFile>& DataFile() const { return data_file_; }

  // Image buffers larger than this many bytes fail to allocate as if memory
  // had run out (to exercise that path). 0, the default, means no limit.
  void SetAllocationLimit(size_t bytes) { allocation_limit_ = bytes; }

  bool HasCodeImage() const { return code_.present() || extended_code_.present(); }
  const Image& CodeImage() const { return code_; }
  const Image& ExtendedCodeImage() const { return extended_code_; }
  const Image& DataImage() const { return data_; }
  uint8_t CodeEncoding() const { return code_encoding_; }
  uint8_t DataEncoding() const { return data_encoding_; }
  uint8_t DecodeCodeByte(uint8_t stored) const {
    return image::DecodeCodeByte(stored, code_encoding_);
  }
  uint8_t DecodeDataByte(uint8_t stored) const {
    return image::DecodeDataByte(stored, data_encoding_);
  }

  // What the last code load found in each section's length field and
  // checksum field (for inspection); zero for an empty or unread section.
  struct SectionInfo {
    uint32_t length_field = 0;
    uint32_t checksum = 0;
    bool length_read = false;   // the length field was read
    bool bytes_read = false;    // every stored byte was read
    uint32_t computed_sum = 0;  // sum of the decoded stored bytes, when read
    bool verified() const { return bytes_read && computed_sum == checksum; }
  };
  const SectionInfo& LastSectionA() const { return section_a_; }
  const SectionInfo& LastSectionB() const { return section_b_; }
  const SectionInfo& LastDataSection() const { return section_data_; }

  // What the last code load packed, when it read a build output: each
  // bank's size from its start and the spans the file gave.
  struct PackedBuild {
    FileFormat format = FileFormat::kUnknown;
    std::string name;
    uint32_t bank_size[2] = {0, 0};
    std::vector<BankSpan> used[2];
  };
  const std::optional<PackedBuild>& LastPacked() const { return last_packed_; }

 private:
  bool LoadCode(detail::ByteSource& source);
  bool LoadData(detail::ByteSource& source);
  bool LoadBuildOutput(detail::ByteSource& source, FileFormat format, const std::string& name);
  void ReleaseCodeImages();
  bool LoadCodeSection(detail::ByteSource& source, Image& image, SectionInfo& info);
  uint8_t* Allocate(size_t bytes) const;
  bool FinishFile(detail::ByteSource& source, bool loaded, const std::string& path,
                  std::optional<LoadedFile>* file);

  Log& log_;
  size_t allocation_limit_ = 0;
  Image code_;
  Image extended_code_;
  Image data_;
  uint8_t code_encoding_ = 0;
  uint8_t data_encoding_ = 0;
  SectionInfo section_a_;
  SectionInfo section_b_;
  SectionInfo section_data_;
  std::optional<PackedBuild> last_packed_;
  FileDigest* digest_ = nullptr;
  std::optional<LoadedFile> code_file_;
  std::optional<LoadedFile> data_file_;
};

}  // namespace quelmar::image
