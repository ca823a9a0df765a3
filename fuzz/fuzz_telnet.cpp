// Feeds arbitrary bytes from a server to the telnet decoder, whole and cut
// into pieces where the input says: the pieces must decode as the whole
// does, and nothing may grow past its bound.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "fuzz_checks.h"
#include "link/telnet.h"

using namespace quelmar;
namespace tn = quelmar::link::telnet;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  // The first byte sets the piece length for the cut run.
  const size_t piece = static_cast<size_t>(data[0] % 17) + 1;
  const uint8_t* stream = data + 1;
  const size_t n = size - 1;

  tn::Decoder whole;
  std::vector<uint8_t> whole_data;
  std::vector<tn::Event> whole_events;
  whole.Feed(stream, n, &whole_data, &whole_events);

  tn::Decoder cut;
  std::vector<uint8_t> cut_data;
  std::vector<tn::Event> cut_events;
  for (size_t at = 0; at < n; at += piece) {
    const size_t k = n - at < piece ? n - at : piece;
    cut.Feed(stream + at, k, &cut_data, &cut_events);
  }
  fuzz::Check(cut_data == whole_data, "cut input decodes to the same data");
  fuzz::Check(cut_events == whole_events, "cut input decodes to the same events");
  fuzz::Check(whole_data.size() <= n, "no more data than bytes received");

  size_t last_at = 0;
  for (const tn::Event& e : whole_events) {
    fuzz::Check(e.payload.size() <= tn::kMaxSubnegotiation, "subnegotiations stay bounded");
    fuzz::Check(e.at >= last_at && e.at <= whole_data.size(), "events fall in order in the data");
    last_at = e.at;
  }

  // What the encoder doubles, the decoder undoubles.
  std::vector<uint8_t> wire;
  tn::AppendEscaped(stream, n, &wire);
  tn::Decoder back;
  std::vector<uint8_t> back_data;
  std::vector<tn::Event> back_events;
  back.Feed(wire.data(), wire.size(), &back_data, &back_events);
  fuzz::Check(back_data == std::vector<uint8_t>(stream, stream + n) && back_events.empty(),
              "escaped data decodes back unchanged");
  return 0;
}
