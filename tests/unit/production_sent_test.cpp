// The record's "sent" hashes come from the blocks as the update procedures
// send them: whole 512 KiB banks with their padding, the data image with
// its last block padded, scrambled frames or not.
#include <gtest/gtest.h>

#include "production/record.h"
#include "production/sha256.h"
#include "update_harness.h"

namespace quelmar::testing {
namespace {

TEST(SentHashes, EqualTheBytesTheBoardReceives) {
  const struct {
    uint8_t minor;  // 2.8 scrambles code frames, 2.3 does not
    size_t bank_a, bank_b, data;
  } cases[] = {{8, 3000, 70000, 1280}, {3, 0x80000, 0, 512}, {8, 0, 100, 256}};
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::Message()
                 << "2." << int(c.minor) << " " << c.bank_a << "/" << c.bank_b);
    UpdateHarness h;
    h.version_minor = c.minor;
    const Bytes a = Pattern(c.bank_a, 1), b = Pattern(c.bank_b, 2), data = Pattern(c.data, 3);
    h.LoadCode(c.bank_a ? &a : nullptr, c.bank_b ? &b : nullptr, 'E');
    h.LoadData(data, 'D');
    h.Open();
    production::SentHashes hashes;
    h.context.sent = &hashes;
    ASSERT_EQ(h.RunCode(), update::UpdateOutcome::kSuccess) << h.sink.Text();
    ASSERT_EQ(h.RunData(), update::UpdateOutcome::kSuccess) << h.sink.Text();
    const auto digests = hashes.Finish();

    auto padded = [](Bytes bytes, size_t to) {
      bytes.resize(to, 0xFF);
      return production::Sha256Hex(bytes.data(), bytes.size());
    };
    EXPECT_EQ(digests.bank_a, c.bank_a ? std::optional(padded(a, 0x80000)) : std::nullopt);
    EXPECT_EQ(digests.bank_b, c.bank_b ? std::optional(padded(b, 0x80000)) : std::nullopt);
    EXPECT_EQ(digests.data, padded(data, (c.data + 511) / 512 * 512));
  }
}

TEST(SentHashes, ABoardThatRefusesABlockCountsOnlyTheBlocksThatWentOut) {
  UpdateHarness h;
  const Bytes a = Pattern(0x80000, 5);
  h.LoadCode(&a, nullptr);
  h.Open();
  production::SentHashes hashes;
  h.context.sent = &hashes;
  h.block_replies[3] = Error(0x10);
  EXPECT_EQ(h.RunCode(), update::UpdateOutcome::kFailure);
  const auto digests = hashes.Finish();
  // Frames 0..3 went out; the board refused the 4th, and nothing followed.
  EXPECT_EQ(digests.bank_a, production::Sha256Hex(a.data(), 4 * 256));
}

}  // namespace
}  // namespace quelmar::testing
