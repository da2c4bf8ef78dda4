#include "ws/wsparser.hpp"

#include <algorithm>
#include <cstring>
#include <utility>

namespace ws {

namespace {

constexpr std::size_t READ_CHUNK = 64 * 1024;
// A buffer grown past this for one big frame is given back once the frame is handed out.
constexpr std::size_t KEEP_AT_MOST = 256 * 1024;

std::uint64_t load_be(const std::uint8_t* p, int n) {
  std::uint64_t v = 0;
  for (int i = 0; i < n; ++i) v = (v << 8) | p[i];
  return v;
}

// Unmasks `n` payload bytes that start at payload offset `offset`.
void unmask(std::uint8_t* p, std::size_t n, const std::uint8_t key0[4], std::size_t offset = 0) {
  const std::uint8_t key[4] = {key0[offset & 3], key0[(offset + 1) & 3], key0[(offset + 2) & 3],
                               key0[(offset + 3) & 3]};
  std::uint64_t k8;
  const std::uint8_t kb[8] = {key[0], key[1], key[2], key[3], key[0], key[1], key[2], key[3]};
  std::memcpy(&k8, kb, 8);
  std::size_t i = 0;
  for (; i + 8 <= n; i += 8) {
    std::uint64_t v;
    std::memcpy(&v, p + i, 8);
    v ^= k8;
    std::memcpy(p + i, &v, 8);
  }
  for (; i < n; ++i) p[i] ^= key[i & 3];
}

bool is_control(Opcode op) { return static_cast<std::uint8_t>(op) >= 8; }

}  // namespace

WsParser::WsParser() : buf_(codec::Bytes::allocate(READ_CHUNK, codec::Placement::Mapped)), cap_(READ_CHUNK) {}

WsParser::Event WsParser::fail(std::string why) {
  error_ = std::move(why);
  return Event::Error;
}

void WsParser::make_room(std::size_t need) {
  const std::size_t held = end_ - begin_;
  if (need <= cap_) {
    std::memmove(buf_.data(), buf_.data() + begin_, held);
  } else {
    // Grown by at most a doubling at a time, so that what is allocated stays within twice what
    // has arrived, whatever length a frame header claims.
    const std::size_t cap = std::min(std::max(cap_ * 2, READ_CHUNK), need);
    auto nb = codec::Bytes::allocate(cap, codec::Placement::Mapped);
    if (held) std::memcpy(nb.data(), buf_.data() + begin_, held);
    buf_ = std::move(nb);
    cap_ = cap;
  }
  begin_ = 0;
  end_ = held;
}

std::span<std::uint8_t> WsParser::read_target() {
  // Once a large message's body is complete, bytes that follow it belong to the next message.
  if (large_active_ && large_got_ >= LARGE_MESSAGE_HEAD && large_got_ < large_len_) {
    target_is_body_ = true;
    return {large_body_.data() + (large_got_ - LARGE_MESSAGE_HEAD), large_len_ - large_got_};
  }
  target_is_body_ = false;
  if (begin_ == end_) begin_ = end_ = 0;
  if (end_ == cap_) make_room(std::max({want_, end_ - begin_ + 1, READ_CHUNK}));
  return {buf_.data() + end_, cap_ - end_};
}

void WsParser::bytes_written(std::size_t n) noexcept { (target_is_body_ ? large_got_ : end_) += n; }

void WsParser::feed(std::span<const std::uint8_t> bytes) {
  while (!bytes.empty()) {
    // All of it is at hand: the buffer grows a doubling at a time towards its size, where
    // read_target alone would add one byte at a time to a full buffer while no frame header
    // has been parsed.
    if (!large_active_ && end_ == cap_) make_room(std::max(want_, end_ - begin_ + bytes.size()));
    auto dst = read_target();
    const std::size_t k = std::min(dst.size(), bytes.size());
    std::memcpy(dst.data(), bytes.data(), k);
    bytes_written(k);
    bytes = bytes.subspan(k);
    // A large message's head is taken out of the buffer only by next(); make it do so, so that
    // the body bytes that follow go straight to the body.
    if (large_active_ && large_got_ < LARGE_MESSAGE_HEAD) {
      const std::size_t h = std::min(end_ - begin_, large_len_ - large_got_);
      put_large(buf_.data() + begin_, h);
      begin_ += h;
    }
  }
}

void WsParser::release_handed() {
  begin_ += std::exchange(handed_, 0);
  if (std::exchange(frag_handed_, false)) {
    frag_ = codec::Bytes();
    frag_len_ = 0;
  }
  if (std::exchange(large_handed_, false)) large_body_ = codec::Bytes();
  if (begin_ == end_) begin_ = end_ = 0;
  if (cap_ > KEEP_AT_MOST && end_ - begin_ <= READ_CHUNK && !large_active_) {
    auto nb = codec::Bytes::allocate(READ_CHUNK, codec::Placement::Mapped);
    const std::size_t held = end_ - begin_;
    if (held) std::memcpy(nb.data(), buf_.data() + begin_, held);
    buf_ = std::move(nb);
    cap_ = READ_CHUNK;
    begin_ = 0;
    end_ = held;
  }
}

void WsParser::append_fragment(const std::uint8_t* p, std::size_t n) {
  if (frag_len_ + n > frag_.size()) {
    auto nb = codec::Bytes::allocate(std::max(frag_len_ + n, frag_.size() * 2), codec::Placement::Mapped);
    if (frag_len_) std::memcpy(nb.data(), frag_.data(), frag_len_);
    frag_ = std::move(nb);
  }
  if (n) std::memcpy(frag_.data() + frag_len_, p, n);
  frag_len_ += n;
}

void WsParser::start_large(Opcode op, std::size_t len, const std::uint8_t key[4]) {
  // Sized for the whole body at once, but large blocks are mapped pages that become resident
  // only as the body arrives.
  large_body_ = codec::Bytes::allocate(len - LARGE_MESSAGE_HEAD, codec::Placement::Mapped);
  large_active_ = true;
  large_op_ = op;
  std::memcpy(large_key_, key, 4);
  large_len_ = len;
  large_got_ = 0;
}

void WsParser::put_large(const std::uint8_t* p, std::size_t n) {
  if (large_got_ < LARGE_MESSAGE_HEAD) {
    const std::size_t k = std::min(n, LARGE_MESSAGE_HEAD - large_got_);
    std::memcpy(large_head_ + large_got_, p, k);
    large_got_ += k;
    p += k;
    n -= k;
  }
  if (n) std::memcpy(large_body_.data() + (large_got_ - LARGE_MESSAGE_HEAD), p, n);
  large_got_ += n;
}

WsParser::Event WsParser::next(Message& out) {
  release_handed();
  if (!error_.empty()) return Event::Error;
  for (;;) {
    if (!large_active_) {
      const Event e = parse_buffered(out);
      if (e != Event::NeedMore || !large_active_) return e;
    }
    if (large_got_ < LARGE_MESSAGE_HEAD) {
      // Still inside the head: those bytes come through the buffer, whose excess belongs to the
      // next message.
      const std::size_t k = std::min(end_ - begin_, large_len_ - large_got_);
      put_large(buf_.data() + begin_, k);
      begin_ += k;
    }
    if (large_got_ < large_len_) return Event::NeedMore;
    large_active_ = false;
    large_handed_ = true;
    unmask(large_head_, LARGE_MESSAGE_HEAD, large_key_);
    unmask(large_body_.data(), large_body_.size(), large_key_, LARGE_MESSAGE_HEAD);
    out = {large_op_, {large_head_, LARGE_MESSAGE_HEAD}, &large_body_};
    return Event::Message;
  }
}

WsParser::Event WsParser::parse_buffered(Message& out) {
  for (;;) {
    std::uint8_t* p = buf_.data() + begin_;
    const std::size_t avail = end_ - begin_;
    want_ = 2;
    if (avail < 2) return Event::NeedMore;
    const bool fin = p[0] & 0x80;
    const auto op = static_cast<Opcode>(p[0] & 0x0F);
    if (p[0] & 0x70) return fail("reserved bits set in a frame (no extension was negotiated)");
    switch (op) {
      case Opcode::Continuation: case Opcode::Text: case Opcode::Binary:
      case Opcode::Close: case Opcode::Ping: case Opcode::Pong:
        break;
      default:
        return fail("unknown frame opcode " + std::to_string(static_cast<int>(op)));
    }
    if (!(p[1] & 0x80)) return fail("unmasked frame from the client");
    const int len7 = p[1] & 0x7F;
    const int ext = len7 == 126 ? 2 : len7 == 127 ? 8 : 0;
    const std::size_t hdr = 2 + ext + 4;
    want_ = hdr;
    if (avail < hdr) return Event::NeedMore;
    const std::uint64_t len = ext ? load_be(p + 2, ext) : static_cast<std::uint64_t>(len7);
    if (is_control(op) && (len > 125 || !fin)) return fail("malformed control frame");
    const std::uint64_t so_far = op == Opcode::Continuation ? frag_len_ : 0;
    if (len > MAX_MESSAGE_SIZE || so_far + len > MAX_MESSAGE_SIZE)
      return fail("message too long: " + std::to_string(so_far + len) + " > " + std::to_string(MAX_MESSAGE_SIZE));
    if (op == Opcode::Continuation && !in_fragments_) return fail("continuation frame without a message to continue");
    if ((op == Opcode::Text || op == Opcode::Binary) && in_fragments_)
      return fail("new message started before the previous one was finished");
    if (fin && (op == Opcode::Binary || op == Opcode::Text) && len >= LARGE_MESSAGE) {
      start_large(op, static_cast<std::size_t>(len), p + hdr - 4);
      begin_ += hdr;
      want_ = 0;
      return Event::NeedMore;
    }
    want_ = hdr + static_cast<std::size_t>(len);
    if (avail < want_) return Event::NeedMore;

    std::uint8_t* payload = p + hdr;
    unmask(payload, static_cast<std::size_t>(len), p + hdr - 4);
    const std::size_t frame = std::exchange(want_, 0);

    if (is_control(op) || (fin && op != Opcode::Continuation)) {
      out = {op, {payload, static_cast<std::size_t>(len)}, nullptr};
      handed_ = frame;
      return Event::Message;
    }
    if (op != Opcode::Continuation) {
      in_fragments_ = true;
      frag_op_ = op;
      frag_len_ = 0;
    }
    append_fragment(payload, static_cast<std::size_t>(len));
    begin_ += frame;
    if (fin) {
      in_fragments_ = false;
      frag_handed_ = true;
      out = {frag_op_, {frag_.data(), frag_len_}, nullptr};
      return Event::Message;
    }
  }
}

}  // namespace ws
