#include "image/image_store.h"

#include "image/file_system.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <new>
#include <vector>

#include "image/image_writer.h"

namespace quelmar::image {

namespace {

uint8_t RotateRight(uint8_t x, unsigned k) {
  return static_cast<uint8_t>((x >> k) | (x << (8 - k)));
}
uint8_t RotateLeft(uint8_t x, unsigned k) {
  return static_cast<uint8_t>((x << k) | (x >> (8 - k)));
}
uint8_t Not(uint8_t x) {
  return static_cast<uint8_t>(~x);
}

constexpr const char* kFailedOpen = "Failed open file !\n";
constexpr const char* kFailedRead = "Failed reading file !\n";
constexpr const char* kIncorrectFile = "Incorrect file !\n";
constexpr const char* kIncorrectCodeSize = "Incorrect code size !\n";
constexpr const char* kIncorrectDataSize = "Incorrect data size !\n";
constexpr const char* kFailedAllocA = "Failed allocate memory A !\n";
constexpr const char* kFailedAlloc = "Failed allocate memory !\n";
constexpr const char* kIncorrectCrc = "Incorrect CRC !\n";

}  // namespace

uint8_t DecodeCodeByte(uint8_t stored, uint8_t mode) {
  return mode == 0 ? Not(stored) : RotateRight(Not(stored), 3);
}
uint8_t DecodeDataByte(uint8_t stored, uint8_t mode) {
  return mode == 0 ? Not(stored) : RotateRight(Not(stored), 4);
}
uint8_t EncodeCodeByte(uint8_t plain, uint8_t mode) {
  return mode == 0 ? Not(plain) : Not(RotateLeft(plain, 3));
}
uint8_t EncodeDataByte(uint8_t plain, uint8_t mode) {
  return mode == 0 ? Not(plain) : Not(RotateLeft(plain, 4));
}

namespace detail {

// Where the loaders take the file's bytes from. A short count means the
// file ended or a read failed; the loaders treat both alike.
class ByteSource {
 public:
  virtual ~ByteSource() = default;
  virtual size_t Read(uint8_t* dst, size_t n) = 0;
  // Bytes still to come, when that is known for certain (-1 otherwise).
  virtual int64_t Remaining() const = 0;
  // Reads up to n of the first bytes and goes back to the start; returns
  // the count. Only before the first Read.
  virtual size_t Peek(uint8_t* dst, size_t n) = 0;
  // Reads whatever the load left unread, for the file's digest. False
  // when a read failed.
  virtual bool ReadRest() { return true; }
};

}  // namespace detail

namespace {

using detail::ByteSource;

class MemorySource final : public ByteSource {
 public:
  MemorySource(const uint8_t* bytes, size_t size) : bytes_(bytes), size_(size) {}
  size_t Read(uint8_t* dst, size_t n) override {
    const size_t count = std::min(n, size_ - pos_);
    if (count != 0) std::memcpy(dst, bytes_ + pos_, count);
    pos_ += count;
    return count;
  }
  int64_t Remaining() const override { return static_cast<int64_t>(size_ - pos_); }
  size_t Peek(uint8_t* dst, size_t n) override {
    const size_t count = std::min(n, size_);
    if (count != 0) std::memcpy(dst, bytes_, count);
    return count;
  }

 private:
  const uint8_t* bytes_;
  size_t size_;
  size_t pos_ = 0;
};

// Buffered file input: the header is read byte by byte as the format asks,
// but from stdio's buffer, and the stored bytes in one call per section.
class FileSource final : public ByteSource {
 public:
  explicit FileSource(FileDigest* digest) : digest_(digest) {}
  ~FileSource() override {
    if (file_ != nullptr) std::fclose(file_);
  }
  bool Open(const std::string& path) {
    // Opened without blocking and checked before any read: a FIFO, a
    // device or a folder is no image file, and opening or reading a FIFO
    // would wait for a writer forever (on the UI thread, in the desktop
    // program).
    file_ = detail::OpenRegularFile(path, &size_);
    if (file_ == nullptr) return false;
    std::setvbuf(file_, nullptr, _IOFBF, 1 << 16);
    return true;
  }
  size_t Read(uint8_t* dst, size_t n) override {
    const size_t count = std::fread(dst, 1, n, file_);
    pos_ += static_cast<int64_t>(count);
    if (digest_ != nullptr && count != 0) digest_->Update(dst, count);
    return count;
  }
  int64_t Remaining() const override { return size_ < 0 ? -1 : std::max<int64_t>(0, size_ - pos_); }
  size_t Peek(uint8_t* dst, size_t n) override {
    const size_t count = std::fread(dst, 1, n, file_);
    // A regular file (Open made sure of it), so it can always go back.
    if (std::fseek(file_, 0, SEEK_SET) != 0) return 0;
    return count;
  }
  bool ReadRest() override {
    uint8_t buffer[1 << 14];
    while (Read(buffer, sizeof buffer) == sizeof buffer) {
    }
    return std::ferror(file_) == 0;
  }

 private:
  FileDigest* digest_;
  std::FILE* file_ = nullptr;
  int64_t size_ = -1;
  int64_t pos_ = 0;
};

bool ReadByte(Log& log, ByteSource& src, uint8_t& value) {
  if (src.Read(&value, 1) != 1) {
    log.AppendLog(kSeverityError, "%s", kFailedRead);
    return false;
  }
  return true;
}

// Reads one byte and tests it before anything else is read.
bool ExpectBytes(Log& log, ByteSource& src, const char* expected) {
  for (const char* p = expected; *p != '\0'; ++p) {
    uint8_t value = 0;
    if (!ReadByte(log, src, value)) return false;
    if (value != static_cast<uint8_t>(*p)) {
      log.AppendLog(kSeverityError, "%s", kIncorrectFile);
      return false;
    }
  }
  return true;
}

bool ReadWord(Log& log, ByteSource& src, uint32_t& value) {
  uint8_t b[4];
  if (src.Read(b, 4) != 4) {
    log.AppendLog(kSeverityError, "%s", kFailedRead);
    return false;
  }
  value = static_cast<uint32_t>(b[0]) | static_cast<uint32_t>(b[1]) << 8 |
          static_cast<uint32_t>(b[2]) << 16 | static_cast<uint32_t>(b[3]) << 24;
  return true;
}

}  // namespace

uint8_t* ImageStore::Allocate(size_t bytes) const {
  if (allocation_limit_ != 0 && bytes > allocation_limit_) return nullptr;
  return new (std::nothrow) uint8_t[bytes];
}

bool ImageStore::LoadCodeImageFile(FileChooser& chooser) {
  const std::optional<std::string> path = chooser.ChooseImageFile(ImageKind::kCode);
  if (!path) return false;
  return LoadCodeImageFromPath(*path);
}

bool ImageStore::LoadDataImageFile(FileChooser& chooser) {
  const std::optional<std::string> path = chooser.ChooseImageFile(ImageKind::kData);
  if (!path) return false;
  return LoadDataImageFromPath(*path);
}

bool ImageStore::FinishFile(ByteSource& source, bool loaded, const std::string& path,
                            std::optional<LoadedFile>* file) {
  file->reset();
  if (digest_ == nullptr) return loaded;
  // Only a whole file read through this one open has a digest.
  const bool whole = loaded && source.ReadRest();
  std::string digest = digest_->Finish();
  if (whole) *file = LoadedFile{path, std::move(digest)};
  return loaded;
}

bool ImageStore::LoadCodeImageFromPath(const std::string& path) {
  code_file_.reset();
  FileSource source(digest_);
  if (!source.Open(path)) {
    log_.AppendLog(kSeverityError, "%s", kFailedOpen);
    return false;
  }
  uint8_t head[kDetectBytes];
  const size_t seen = source.Peek(head, sizeof head);
  const FileFormat format = DetectFormat(head, seen, path);
  if (IsBuildOutput(format))
    return FinishFile(source, LoadBuildOutput(source, format, BaseName(path)), path, &code_file_);
  last_packed_.reset();
  return FinishFile(source, LoadCode(source), path, &code_file_);
}

bool ImageStore::LoadDataImageFromPath(const std::string& path) {
  data_file_.reset();
  FileSource source(digest_);
  if (!source.Open(path)) {
    log_.AppendLog(kSeverityError, "%s", kFailedOpen);
    return false;
  }
  return FinishFile(source, LoadData(source), path, &data_file_);
}

bool ImageStore::LoadCodeImageFromMemory(const uint8_t* bytes, size_t size) {
  MemorySource source(bytes, size);
  last_packed_.reset();
  code_file_.reset();
  return LoadCode(source);
}

void ImageStore::ReleaseCodeImages() {
  code_ = Image{};
  extended_code_ = Image{};
  section_a_ = SectionInfo{};
  section_b_ = SectionInfo{};
  last_packed_.reset();
  code_file_.reset();
}

bool ImageStore::LoadBuildOutput(ByteSource& source, FileFormat format, const std::string& name) {
  // The old images go as soon as the new file is open, as for an .fcode.
  ReleaseCodeImages();
  const int64_t size = source.Remaining();
  if (size < 0 || static_cast<uint64_t>(size) > kMaxBuildOutputSize) {
    log_.AppendLog(kSeverityError, "Failed packing %s (%s): the file is larger than %u MiB\n",
                   name.c_str(), FormatName(format),
                   static_cast<unsigned>(kMaxBuildOutputSize >> 20));
    return false;
  }
  std::vector<uint8_t> bytes;
  try {
    bytes.resize(static_cast<size_t>(size));
  } catch (const std::bad_alloc&) {
    log_.AppendLog(kSeverityError, "%s", kFailedAlloc);
    return false;
  }
  if (source.Read(bytes.data(), bytes.size()) != bytes.size()) {
    log_.AppendLog(kSeverityError, "%s", kFailedRead);
    return false;
  }
  return LoadBuildOutputFromMemory(bytes.data(), bytes.size(), format, name);
}

bool ImageStore::LoadBuildOutputFromMemory(const uint8_t* bytes, size_t size, FileFormat format,
                                           const std::string& name) {
  ReleaseCodeImages();
  CodeBanks banks;
  std::string error;
  std::vector<uint8_t> file;
  try {
    if (ReadBuildOutput(format, bytes, size, &banks, &error) && banks.Empty())
      error = "no data for bank A or bank B";
    // The one path to a code image: the packer's own file, loaded as a
    // file of that kind would be.
    if (error.empty()) file = BuildCodeFile(&banks.bank_a, &banks.bank_b, 'F');
  } catch (const std::bad_alloc&) {
    log_.AppendLog(kSeverityError, "%s", kFailedAlloc);
    return false;
  }
  if (!error.empty()) {
    log_.AppendLog(kSeverityError, "Failed packing %s (%s): %s\n", name.c_str(), FormatName(format),
                   error.c_str());
    return false;
  }
  log_.AppendLog(kSeverityNormal, "%s", PackedLine(name, format, banks).c_str());
  PackedBuild packed;
  packed.format = format;
  packed.name = name;
  for (int which = 0; which < 2; ++which) {
    packed.bank_size[which] = static_cast<uint32_t>(banks.Bank(which).size());
    packed.used[which] = std::move(banks.Used(which));
  }
  MemorySource source(file.data(), file.size());
  const bool loaded = LoadCode(source);
  if (loaded) last_packed_ = std::move(packed);
  return loaded;
}

bool ImageStore::LoadDataImageFromMemory(const uint8_t* bytes, size_t size) {
  MemorySource source(bytes, size);
  data_file_.reset();
  return LoadData(source);
}

bool ImageStore::LoadCodeSection(ByteSource& source, Image& image, SectionInfo& info) {
  uint32_t length = 0;
  if (!ReadWord(log_, source, length)) return false;
  info.length_field = length;
  info.length_read = true;
  if (length == 0) return true;  // an empty section ends at its length field
  // Its length + 1 stored bytes must fit the buffer.
  if (length > CODE_IMAGE_SIZE) {
    log_.AppendLog(kSeverityError, "%s", kIncorrectCodeSize);
    return false;
  }
  std::unique_ptr<uint8_t[]> buffer(Allocate(kCodeBufferSize));
  if (!buffer) {
    log_.AppendLog(kSeverityError, "%s", kFailedAllocA);
    return false;
  }
  // The tail past the stored bytes stays 0, which the board gets as 0xFF.
  std::memset(buffer.get(), 0, kCodeBufferSize);
  uint32_t checksum = 0;
  if (!ReadWord(log_, source, checksum)) return false;
  info.checksum = checksum;
  const size_t count = size_t{length} + 1;
  if (source.Read(buffer.get(), count) != count) {
    log_.AppendLog(kSeverityError, "%s", kFailedRead);
    return false;
  }
  uint32_t sum = 0;
  for (size_t i = 0; i < count; ++i) sum += image::DecodeCodeByte(buffer[i], code_encoding_);
  info.bytes_read = true;
  info.computed_sum = sum;
  if (sum != checksum) {
    log_.AppendLog(kSeverityError, "%s", kIncorrectCrc);
    return false;
  }
  image.buffer_ = std::move(buffer);
  image.length_ = 0;  // set once the whole file has loaded
  return true;
}

bool ImageStore::LoadCode(ByteSource& source) {
  // The old images go as soon as the new file is open, whatever follows.
  code_ = Image{};
  extended_code_ = Image{};
  section_a_ = SectionInfo{};
  section_b_ = SectionInfo{};

  if (!ExpectBytes(log_, source, "CF")) return false;
  uint8_t letter = 0;
  if (!ReadByte(log_, source, letter)) return false;
  if (letter == 'F') {
    code_encoding_ = 0;
  } else if (letter == 'E') {
    code_encoding_ = 1;
  } else {
    log_.AppendLog(kSeverityError, "%s", kIncorrectFile);
    return false;
  }
  if (!ExpectBytes(log_, source, "_AB")) return false;
  if (!LoadCodeSection(source, code_, section_a_)) return false;
  // A code load is all or nothing: a bad section B discards a good A.
  if (!ExpectBytes(log_, source, "_BA") || !LoadCodeSection(source, extended_code_, section_b_)) {
    code_ = Image{};
    return false;
  }
  if (!HasCodeImage()) {
    log_.AppendLog(kSeverityError, "Loading CODE failed... !!!\n");
  } else {
    log_.AppendLog(kSeverityNormal, "Loading CODE completed !\n");
  }
  if (code_.present()) code_.length_ = CODE_IMAGE_SIZE;
  if (extended_code_.present()) extended_code_.length_ = CODE_IMAGE_SIZE;
  return true;
}

bool ImageStore::LoadData(ByteSource& source) {
  data_ = Image{};
  section_data_ = SectionInfo{};

  if (!ExpectBytes(log_, source, "DF")) return false;
  uint8_t letter = 0;
  if (!ReadByte(log_, source, letter)) return false;
  if (letter == 'F') {
    data_encoding_ = 0;
  } else if (letter == 'D') {
    data_encoding_ = 1;
  } else {
    log_.AppendLog(kSeverityError, "%s", kIncorrectFile);
    return false;
  }
  if (!ExpectBytes(log_, source, "_DD")) return false;
  uint32_t length = 0;
  if (!ReadWord(log_, source, length)) return false;
  section_data_.length_field = length;
  section_data_.length_read = true;
  if (length == 0 || (length & 0xFF) != 0) {
    log_.AppendLog(kSeverityError, "%s", kIncorrectDataSize);
    return false;
  }
  // A file too short to hold the checksum and the bytes can only end in a
  // read failure; say so without first claiming up to 4 GiB for it.
  const int64_t remaining = source.Remaining();
  if (remaining >= 0 && remaining < int64_t{length} + 4) {
    log_.AppendLog(kSeverityError, "%s", kFailedRead);
    return false;
  }
  const size_t count = length;
  std::unique_ptr<uint8_t[]> buffer(Allocate(count + 1));
  if (!buffer) {
    log_.AppendLog(kSeverityError, "%s", kFailedAlloc);
    return false;
  }
  std::memset(buffer.get(), 0, count + 1);
  uint32_t checksum = 0;
  if (!ReadWord(log_, source, checksum)) return false;
  section_data_.checksum = checksum;
  if (source.Read(buffer.get(), count) != count) {
    log_.AppendLog(kSeverityError, "%s", kFailedRead);
    return false;
  }
  uint32_t sum = 0;
  for (size_t i = 0; i < count; ++i) sum += image::DecodeDataByte(buffer[i], data_encoding_);
  section_data_.bytes_read = true;
  section_data_.computed_sum = sum;
  if (sum != checksum) {
    log_.AppendLog(kSeverityError, "%s", kIncorrectCrc);
    return false;
  }
  data_.buffer_ = std::move(buffer);
  data_.length_ = length;
  log_.AppendLog(kSeverityNormal, "Loading FLASH completed !\n");
  return true;
}

}  // namespace quelmar::image
