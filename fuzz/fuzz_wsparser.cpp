// The input is a byte stream from a client, with its first byte choosing how it is cut into
// reads (and whether a large message is put in front of it). Checks memory safety, that the
// messages and the error do not depend on how the stream was cut, and that what the parser holds
// stays within what arrived.

#include <cstdint>
#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "require.hpp"
#include "ws/wsparser.hpp"

namespace {

using Vec = std::vector<std::uint8_t>;

struct Seen {
  std::vector<std::pair<int, Vec>> messages;
  std::string error;
  bool operator==(const Seen&) const = default;
};

void collect(ws::WsParser& p, Seen& seen) {
  for (;;) {
    ws::WsParser::Message m;
    const auto e = p.next(m);
    if (e == ws::WsParser::Event::NeedMore) return;
    if (e == ws::WsParser::Event::Error) {
      seen.error = p.error();
      return;
    }
    Vec data(m.data.begin(), m.data.end());
    if (m.body) data.insert(data.end(), m.body->data(), m.body->data() + m.body->size());
    REQUIRE(data.size() <= ws::MAX_MESSAGE_SIZE);
    seen.messages.emplace_back(static_cast<int>(m.opcode), std::move(data));
  }
}

// Feeds `stream` in reads of sizes taken from `cuts` (cycled, times `scale`), as the connection does.
Seen parse(const Vec& stream, const Vec& cuts, std::size_t scale = 1) {
  ws::WsParser p;
  Seen seen;
  std::size_t at = 0, k = 0;
  while (at < stream.size() && seen.error.empty()) {
    collect(p, seen);
    if (!seen.error.empty()) break;
    auto dst = p.read_target();
    REQUIRE(!dst.empty());
    std::size_t n = cuts.empty() ? stream.size() : (std::size_t{cuts[k++ % cuts.size()]} + 1) * scale;
    n = std::min({n, dst.size(), stream.size() - at});
    std::memcpy(dst.data(), stream.data() + at, n);
    p.bytes_written(n);
    at += n;
    // The buffer grows only with what arrived, whatever lengths the headers claim (a large
    // message's body is a mapped block whose pages fill as it arrives, and is apart).
    REQUIRE(p.buffered() <= at);
    REQUIRE(p.capacity() <= std::max<std::size_t>(64 * 1024, 2 * at));
  }
  if (seen.error.empty()) collect(p, seen);
  return seen;
}

// A masked frame of `len` bytes whose content repeats `fill`.
Vec large_frame(std::size_t len, const Vec& fill, std::uint8_t first = 0x82) {
  Vec f = {first, 0xFF};
  for (int i = 7; i >= 0; --i) f.push_back(static_cast<std::uint8_t>(static_cast<std::uint64_t>(len) >> (8 * i)));
  f.insert(f.end(), {0x11, 0x22, 0x33, 0x44});
  const std::size_t head = f.size();
  f.resize(head + len, 0);
  for (std::size_t i = 0; !fill.empty() && i < len; i += fill.size())
    std::memcpy(f.data() + head + i, fill.data(), std::min(fill.size(), len - i));
  return f;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 2) return 0;
  const std::uint8_t mode = data[0];
  const std::size_t ncuts = 1 + (data[1] & 7);
  if (size < 2 + ncuts) return 0;
  const Vec cuts(data + 2, data + 2 + ncuts);
  Vec stream(data + 2 + ncuts, data + size);
  if (mode & 0x80) {
    // Around the size from which messages get a block of their own.
    const std::size_t len = ws::LARGE_MESSAGE - 4 + (mode & 7);
    Vec s;
    if (mode & 0x40) {
      // The same message in two fragments, which are reassembled rather than read apart.
      s = large_frame(len - 9, stream, 0x02);
      const Vec tail = large_frame(9, stream, 0x80);
      s.insert(s.end(), tail.begin(), tail.end());
    } else {
      s = large_frame(len, stream);
    }
    s.insert(s.end(), stream.begin(), stream.end());
    stream = std::move(s);
  }
  const Seen whole = parse(stream, {});
  // Reads of a few kilobytes through a large message; byte-sized ones elsewhere.
  const Seen cut = parse(stream, cuts, (mode & 0x80) ? 4093 : 1);
  REQUIRE(whole == cut);
  return 0;
}
