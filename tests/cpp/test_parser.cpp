#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "ws/wsparser.hpp"

namespace {

using ws::Opcode;
using ws::WsParser;
using Vec = std::vector<std::uint8_t>;

// A client frame: masked, with the length in the form asked for (7, 16 or 64 bits).
Vec client_frame(Opcode op, const Vec& payload, bool fin = true, int len_bits = 0, bool masked = true,
                 std::uint8_t rsv = 0) {
  Vec f;
  f.push_back(static_cast<std::uint8_t>((fin ? 0x80 : 0) | rsv | static_cast<std::uint8_t>(op)));
  const std::uint64_t n = payload.size();
  if (len_bits == 0) len_bits = n < 126 ? 7 : n <= 0xFFFF ? 16 : 64;
  const std::uint8_t mask_bit = masked ? 0x80 : 0;
  if (len_bits == 7) {
    f.push_back(static_cast<std::uint8_t>(mask_bit | n));
  } else if (len_bits == 16) {
    f.push_back(mask_bit | 126);
    f.push_back(static_cast<std::uint8_t>(n >> 8));
    f.push_back(static_cast<std::uint8_t>(n));
  } else {
    f.push_back(mask_bit | 127);
    for (int i = 7; i >= 0; --i) f.push_back(static_cast<std::uint8_t>(n >> (8 * i)));
  }
  const std::uint8_t key[4] = {0x37, 0xfa, 0x21, 0x3d};
  if (masked) f.insert(f.end(), key, key + 4);
  for (std::size_t i = 0; i < payload.size(); ++i) f.push_back(masked ? payload[i] ^ key[i & 3] : payload[i]);
  return f;
}

Vec pattern(std::size_t n, unsigned seed = 1) {
  Vec v(n);
  std::mt19937 rng(seed);
  for (auto& b : v) b = static_cast<std::uint8_t>(rng());
  return v;
}

struct Got {
  Opcode op;
  Vec data;
  bool large;
};

// Everything the parser yields until it needs more; an error ends the list with `error` set.
std::vector<Got> drain(WsParser& p, std::string* error = nullptr) {
  std::vector<Got> out;
  for (;;) {
    WsParser::Message m;
    const auto e = p.next(m);
    if (e == WsParser::Event::NeedMore) return out;
    if (e == WsParser::Event::Error) {
      if (error) *error = p.error();
      return out;
    }
    Vec data(m.data.begin(), m.data.end());
    if (m.body) data.insert(data.end(), m.body->data(), m.body->data() + m.body->size());
    out.push_back({m.opcode, std::move(data), m.body != nullptr});
  }
}

// Feeds `bytes` as a socket would: in pieces of `step` bytes straight into read_target.
std::vector<Got> feed_in_steps(WsParser& p, const Vec& bytes, std::size_t step) {
  std::vector<Got> out;
  std::size_t at = 0;
  while (at < bytes.size()) {
    auto got = drain(p);
    out.insert(out.end(), got.begin(), got.end());
    auto dst = p.read_target();
    const std::size_t k = std::min({dst.size(), step, bytes.size() - at});
    std::memcpy(dst.data(), bytes.data() + at, k);
    p.bytes_written(k);
    at += k;
  }
  auto got = drain(p);
  out.insert(out.end(), got.begin(), got.end());
  return out;
}

struct LengthCase {
  std::size_t size;
  int len_bits;
};

class MessageSizes : public ::testing::TestWithParam<std::tuple<LengthCase, std::size_t>> {};

TEST_P(MessageSizes, ArriveWholeHoweverTheBytesAreSplit) {
  const auto [c, step] = GetParam();
  const Vec payload = pattern(c.size);
  const Vec wire = client_frame(Opcode::Binary, payload, true, c.len_bits);
  WsParser p;
  auto got = feed_in_steps(p, wire, step);
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0].op, Opcode::Binary);
  EXPECT_EQ(got[0].data, payload);
  EXPECT_EQ(got[0].large, c.size >= ws::LARGE_MESSAGE);
  EXPECT_FALSE(p.mid_message());
}

INSTANTIATE_TEST_SUITE_P(
    Parser, MessageSizes,
    ::testing::Combine(::testing::Values(LengthCase{0, 0}, LengthCase{125, 0}, LengthCase{126, 0},
                                         LengthCase{65535, 0}, LengthCase{65536, 0}, LengthCase{5, 16},
                                         LengthCase{5, 64}, LengthCase{ws::LARGE_MESSAGE - 1, 0},
                                         LengthCase{ws::LARGE_MESSAGE, 0}, LengthCase{ws::LARGE_MESSAGE + 17, 0}),
                       ::testing::Values(std::size_t{1} << 30, std::size_t{7}, std::size_t{65536})));

TEST(Parser, LargeMessageSplitInsideItsHead) {
  // The head (the first 16 bytes) arrives in pieces, followed by the next message in the same read.
  const Vec big = pattern(ws::LARGE_MESSAGE + 3);
  Vec wire = client_frame(Opcode::Binary, big);
  const Vec small = client_frame(Opcode::Binary, {1, 2, 3});
  wire.insert(wire.end(), small.begin(), small.end());
  WsParser p;
  p.feed(std::span(wire).first(12));
  EXPECT_TRUE(drain(p).empty());
  p.feed(std::span(wire).subspan(12, 9));
  EXPECT_TRUE(drain(p).empty());
  p.feed(std::span(wire).subspan(21));
  auto got = drain(p);
  ASSERT_EQ(got.size(), 2u);
  EXPECT_EQ(got[0].data, big);
  EXPECT_TRUE(got[0].large);
  EXPECT_EQ(got[1].data, (Vec{1, 2, 3}));
}

TEST(Parser, ControlFramesBetweenFragmentsComeFirst) {
  Vec wire;
  for (const Vec& f : {client_frame(Opcode::Binary, {1, 2}, false), client_frame(Opcode::Ping, {9}),
                       client_frame(Opcode::Continuation, {3}, false), client_frame(Opcode::Pong, {}),
                       client_frame(Opcode::Continuation, {4, 5}, true)})
    wire.insert(wire.end(), f.begin(), f.end());
  for (std::size_t step : {std::size_t{1}, std::size_t{3}, wire.size()}) {
    WsParser p;
    auto got = feed_in_steps(p, wire, step);
    ASSERT_EQ(got.size(), 3u) << step;
    EXPECT_EQ(got[0].op, Opcode::Ping);
    EXPECT_EQ(got[0].data, Vec{9});
    EXPECT_EQ(got[1].op, Opcode::Pong);
    EXPECT_EQ(got[2].op, Opcode::Binary);
    EXPECT_EQ(got[2].data, (Vec{1, 2, 3, 4, 5}));
  }
}

TEST(Parser, FragmentsAroundTheLargeMessageThresholdAreReassembled) {
  const Vec a = pattern(ws::LARGE_MESSAGE - 10, 2), b = pattern(20, 3);
  Vec wire = client_frame(Opcode::Binary, a, false);
  const Vec tail = client_frame(Opcode::Continuation, b, true);
  wire.insert(wire.end(), tail.begin(), tail.end());
  WsParser p;
  auto got = feed_in_steps(p, wire, 4096);
  ASSERT_EQ(got.size(), 1u);
  Vec want = a;
  want.insert(want.end(), b.begin(), b.end());
  EXPECT_EQ(got[0].data, want);
  EXPECT_FALSE(got[0].large);  // only single-frame messages get a block of their own
}

struct Violation {
  const char* name;
  Vec wire;
  const char* error;
};

class Violations : public ::testing::TestWithParam<Violation> {};

TEST_P(Violations, EndTheStreamWithTheirReason) {
  WsParser p;
  p.feed(GetParam().wire);
  std::string error;
  drain(p, &error);
  EXPECT_EQ(error.rfind(GetParam().error, 0), 0u) << error;
  WsParser::Message m;
  EXPECT_EQ(p.next(m), WsParser::Event::Error);  // and it stays so
}

Vec concat(std::initializer_list<Vec> parts) {
  Vec out;
  for (const auto& v : parts) out.insert(out.end(), v.begin(), v.end());
  return out;
}

INSTANTIATE_TEST_SUITE_P(
    Parser, Violations,
    ::testing::Values(
        Violation{"unmasked", client_frame(Opcode::Binary, {1}, true, 0, false), "unmasked frame from the client"},
        Violation{"reserved", client_frame(Opcode::Binary, {1}, true, 0, true, 0x40), "reserved bits set"},
        Violation{"opcode", client_frame(static_cast<Opcode>(3), {1}), "unknown frame opcode 3"},
        Violation{"long_ping", client_frame(Opcode::Ping, Vec(126)), "malformed control frame"},
        Violation{"fragmented_close", client_frame(Opcode::Close, {}, false), "malformed control frame"},
        Violation{"lone_continuation", client_frame(Opcode::Continuation, {1}), "continuation frame without"},
        Violation{"interleaved",
                  concat({client_frame(Opcode::Binary, {1}, false), client_frame(Opcode::Text, {2})}),
                  "new message started before"},
        Violation{"too_long",
                  Vec{0x82, 0xFF, 0, 0, 0, 0, 0x04, 0, 0, 1, 1, 2, 3, 4},  // 2^26 + 1 bytes declared
                  "message too long: 67108865 > 67108864"},
        Violation{"fragments_too_long",
                  concat({client_frame(Opcode::Binary, Vec(1000), false),
                          Vec{0x80, 0xFF, 0, 0, 0, 0, 0x04, 0, 0, 0, 1, 2, 3, 4}}),
                  "message too long: 67109864 > 67108864"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Parser, AClaimedLengthReservesOnlyWhatArrives) {
  // A fragment (not a large single-frame message) that claims 60 MiB and sends 100 KB.
  WsParser p;
  Vec head = {0x02, 0xFF, 0, 0, 0, 0, 0x03, 0xC0, 0, 0, 1, 2, 3, 4};
  p.feed(head);
  p.feed(Vec(100'000));
  EXPECT_TRUE(drain(p).empty());
  EXPECT_TRUE(p.mid_message());
  EXPECT_LE(p.capacity(), std::size_t{256} << 10);
}

TEST(Parser, ABufferGrownForOneFrameIsGivenBack) {
  WsParser p;
  p.feed(client_frame(Opcode::Binary, pattern(900'000)));  // below the large-message threshold
  ASSERT_EQ(drain(p).size(), 1u);
  p.feed(client_frame(Opcode::Binary, {7}));
  ASSERT_EQ(drain(p).size(), 1u);
  EXPECT_EQ(p.capacity(), std::size_t{64} << 10);
}

TEST(Parser, MidMessageTellsAnUnfinishedFrame) {
  WsParser p;
  const Vec f = client_frame(Opcode::Binary, {1, 2, 3});
  p.feed(std::span(f).first(f.size() - 1));
  EXPECT_TRUE(drain(p).empty());
  EXPECT_TRUE(p.mid_message());
  p.feed(std::span(f).last(1));
  EXPECT_EQ(drain(p).size(), 1u);
  WsParser::Message m;
  EXPECT_EQ(p.next(m), WsParser::Event::NeedMore);
  EXPECT_FALSE(p.mid_message());
}

}  // namespace
