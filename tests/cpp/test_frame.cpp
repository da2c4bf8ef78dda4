#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "codec/frame.hpp"

namespace {

using codec::FrameKind;
using Vec = std::vector<std::uint8_t>;

Vec hex(const std::string& s) {
  Vec out;
  for (std::size_t i = 0; i < s.size();) {
    if (s[i] == ' ' || s[i] == '|') {
      ++i;
      continue;
    }
    out.push_back(static_cast<std::uint8_t>(std::stoul(s.substr(i, 2), nullptr, 16)));
    i += 2;
  }
  return out;
}

Vec to_vec(const codec::Bytes& b) { return Vec(b.data(), b.data() + b.size()); }

Vec header(std::uint8_t version, std::uint8_t kind, std::uint32_t seq, std::uint16_t fnId,
           std::uint32_t payloadLen, std::uint16_t r1 = 0, std::uint16_t r2 = 0) {
  Vec h(16);
  h[0] = version;
  h[1] = kind;
  std::memcpy(&h[2], &r1, 2);
  std::memcpy(&h[4], &seq, 4);
  std::memcpy(&h[8], &fnId, 2);
  std::memcpy(&h[10], &r2, 2);
  std::memcpy(&h[12], &payloadLen, 4);
  return h;
}

const Vec kWorkedRequest = hex("01 01 00 00 | 07 00 00 00 | 65 00 | 00 00 | 04 00 00 00 | 2A 00 00 00");

TEST(Frame, WorkedRequestEncodes) {
  const Vec payload = hex("2A 00 00 00");
  EXPECT_EQ(to_vec(codec::encode_frame(FrameKind::Request, 7, 101, payload)), kWorkedRequest);

  Vec out(16);
  codec::write_frame_header(out.data(), FrameKind::Request, 7, 101, 4);
  EXPECT_EQ(out, Vec(kWorkedRequest.begin(), kWorkedRequest.begin() + 16));
}

TEST(Frame, WorkedRequestDecodes) {
  auto r = codec::decode_frame(kWorkedRequest);
  ASSERT_TRUE(r.ok()) << r.error().message;
  const auto& f = r.value();
  EXPECT_EQ(f.version, 1);
  EXPECT_EQ(f.kind, 1);
  EXPECT_EQ(f.reserved1, 0);
  EXPECT_EQ(f.seq, 7u);
  EXPECT_EQ(f.fnId, 101);
  EXPECT_EQ(to_vec(f.payload), hex("2A 00 00 00"));
  // The decoded payload is a copy the receiver owns, not a view into the message.
  EXPECT_NE(f.payload.data(), kWorkedRequest.data() + 16);
}

struct RoundTrip {
  FrameKind kind;
  std::uint32_t seq;
  std::uint16_t fnId;
  std::size_t payloadLen;
};

class FrameRoundTrip : public ::testing::TestWithParam<RoundTrip> {};

TEST_P(FrameRoundTrip, EncodeThenDecodeKeepsEveryField) {
  const RoundTrip& c = GetParam();
  Vec payload(c.payloadLen);
  for (std::size_t i = 0; i < payload.size(); ++i) payload[i] = static_cast<std::uint8_t>(i * 31 + 7);

  codec::Bytes bytes = codec::encode_frame(c.kind, c.seq, c.fnId, payload);
  ASSERT_EQ(bytes.size(), 16 + payload.size());
  // Engine-written frames: version 1, both reserved fields zero.
  EXPECT_EQ(bytes.data()[0], 1);
  EXPECT_EQ(bytes.data()[2] | bytes.data()[3] | bytes.data()[10] | bytes.data()[11], 0);

  auto h = codec::parse_frame_header(bytes.span());
  ASSERT_TRUE(h.ok()) << h.error().message;
  EXPECT_EQ(h.value().payloadLen, payload.size());
  EXPECT_EQ(h.value().reserved2, 0);

  auto r = codec::decode_frame(bytes.span());
  ASSERT_TRUE(r.ok()) << r.error().message;
  EXPECT_EQ(r.value().version, codec::PROTOCOL_VERSION);
  EXPECT_EQ(r.value().kind, static_cast<std::uint8_t>(c.kind));
  EXPECT_EQ(r.value().seq, c.seq);
  EXPECT_EQ(r.value().fnId, c.fnId);
  EXPECT_EQ(to_vec(r.value().payload), payload);
}

INSTANTIATE_TEST_SUITE_P(
    KindsAndExtremes, FrameRoundTrip,
    ::testing::Values(RoundTrip{FrameKind::Request, 0, 0, 0},  // a 16-byte frame, empty payload
                      RoundTrip{FrameKind::Response, 0xFFFFFFFFu, 0xFFFF, 1},
                      RoundTrip{FrameKind::ErrorResponse, 0x01020304u, 0x0506, 13},
                      RoundTrip{FrameKind::EchoRequest, 1, 2, 4096},
                      RoundTrip{FrameKind::EchoReply, 0x80000000u, 130, 65537}));

struct LengthCase {
  const char* name;
  Vec msg;
  std::string message;
};

class FrameLengthChecks : public ::testing::TestWithParam<LengthCase> {};

TEST_P(FrameLengthChecks, FailWithExactMessage) {
  const LengthCase& c = GetParam();
  auto h = codec::parse_frame_header(c.msg);
  ASSERT_FALSE(h.ok());
  EXPECT_EQ(h.error().message, c.message);
  auto f = codec::decode_frame(c.msg);
  ASSERT_FALSE(f.ok());
  EXPECT_EQ(f.error().message, c.message);
}

Vec with_payload(Vec h, std::size_t n) {
  h.resize(h.size() + n, 0xAB);
  return h;
}

INSTANTIATE_TEST_SUITE_P(
    Table, FrameLengthChecks,
    ::testing::Values(
        LengthCase{"empty", {}, "frame too short: 0 < 16"},
        LengthCase{"ten", Vec(10, 1), "frame too short: 10 < 16"},
        // Length checks come before anything else: a bad version does not change the message.
        LengthCase{"fifteen_bad_version", Vec(15, 9), "frame too short: 15 < 16"},
        LengthCase{"len4_but_24", with_payload(header(1, 2, 1, 1, 4), 8),
                   "payload length mismatch: expected 20, got 24"},
        LengthCase{"max_len_no_wrap", with_payload(header(1, 2, 1, 1, 0xFFFFFFFFu), 8),
                   "payload length mismatch: expected 4294967311, got 24"},
        LengthCase{"header_only_claims_one", header(1, 2, 1, 1, 1),
                   "payload length mismatch: expected 17, got 16"},
        LengthCase{"trailing_byte", with_payload(header(1, 2, 1, 1, 0), 1),
                   "payload length mismatch: expected 16, got 17"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Frame, DecodeChecksLengthsOnly) {
  // Version, kind and the reserved fields are the exchange's business: passed through or ignored.
  Vec msg = with_payload(header(9, 200, 42, 7, 3, 0xBEEF, 0xCAFE), 3);
  auto r = codec::decode_frame(msg);
  ASSERT_TRUE(r.ok()) << r.error().message;
  EXPECT_EQ(r.value().version, 9);
  EXPECT_EQ(r.value().kind, 200);
  EXPECT_EQ(r.value().reserved1, 0xBEEF);
  EXPECT_EQ(r.value().seq, 42u);
  EXPECT_EQ(r.value().fnId, 7);
  EXPECT_EQ(r.value().payload.size(), 3u);
  auto h = codec::parse_frame_header(msg);
  ASSERT_TRUE(h.ok());
  EXPECT_EQ(h.value().reserved2, 0xCAFE);
}

TEST(Frame, DecodesFromOddAddress) {
  Vec storage(kWorkedRequest.size() + 1);
  std::memcpy(storage.data() + 1, kWorkedRequest.data(), kWorkedRequest.size());
  auto r = codec::decode_frame(std::span(storage).subspan(1));
  ASSERT_TRUE(r.ok()) << r.error().message;
  EXPECT_EQ(r.value().seq, 7u);
  EXPECT_EQ(r.value().fnId, 101);
  EXPECT_EQ(to_vec(r.value().payload), hex("2A 00 00 00"));
}

Vec error_payload(std::uint16_t err, std::uint16_t sub, std::uint32_t msgLen, const std::string& text) {
  Vec p(8 + text.size());
  std::memcpy(&p[0], &err, 2);
  std::memcpy(&p[2], &sub, 2);
  std::memcpy(&p[4], &msgLen, 4);
  if (!text.empty()) std::memcpy(&p[8], text.data(), text.size());
  return p;
}

Vec text_record(const std::string& text) {
  return error_payload(1, 2, static_cast<std::uint32_t>(text.size()), text);
}

struct RecordCase {
  const char* name;
  Vec payload;
  std::uint16_t err;
  std::uint16_t sub;
  std::string message;
};

class ErrorRecordRules : public ::testing::TestWithParam<RecordCase> {};

TEST_P(ErrorRecordRules, Decode) {
  const RecordCase& c = GetParam();
  codec::ErrorRecord rec = codec::decode_error_record(c.payload);
  EXPECT_EQ(rec.err, c.err);
  EXPECT_EQ(rec.sub, c.sub);
  EXPECT_EQ(rec.message, c.message);
}

// Expected texts follow Python's bytes.decode('utf-8', 'replace'): one U+FFFD per maximal subpart.
const std::string R = "\xEF\xBF\xBD";

INSTANTIATE_TEST_SUITE_P(
    Table, ErrorRecordRules,
    ::testing::Values(
        RecordCase{"empty", {}, 0, 0, ""},
        RecordCase{"seven_bytes", hex("03 00 09 00 00 00 00"), 0, 0, ""},
        RecordCase{"msglen_beyond_payload", error_payload(3, 9, 50, "abcd"), 3, 9, ""},
        RecordCase{"msglen_max", error_payload(3, 9, 0xFFFFFFFFu, "abcd"), 3, 9, ""},
        RecordCase{"header_only", error_payload(0xFFFF, 0x8001, 0, ""), 0xFFFF, 0x8001, ""},
        RecordCase{"exact", text_record("bad price"), 1, 2, "bad price"},
        RecordCase{"trailing_ignored", error_payload(5, 6, 3, "abcdef"), 5, 6, "abc"},
        RecordCase{"valid_multibyte", text_record("\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80"), 1, 2,
                   "\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80"},
        RecordCase{"c3_paren", text_record("\xC3\x28"), 1, 2, R + "("},
        RecordCase{"truncated_at_end", text_record("\xE2\x82"), 1, 2, R},
        RecordCase{"truncated_four_at_end", text_record("\xF1\x80\x80"), 1, 2, R},
        RecordCase{"truncated_then_ascii", text_record("\xE2\x82" "A"), 1, 2, R + "A"},
        RecordCase{"surrogate", text_record("\xED\xA0\x80"), 1, 2, R + R + R},
        RecordCase{"overlong_three", text_record("\xF0\x80\x80"), 1, 2, R + R + R},
        RecordCase{"overlong_two", text_record("\xC0\xAF"), 1, 2, R + R},
        RecordCase{"above_max", text_record("\xF4\x90\x80\x80"), 1, 2, R + R + R + R},
        RecordCase{"ff", text_record("\xFF"), 1, 2, R},
        // Invalid bytes cut off by msgLen must not leak into the text.
        RecordCase{"cut_by_msglen", error_payload(1, 2, 1, "a\xFF"), 1, 2, "a"},
        RecordCase{"mixed", text_record("a\xF1\x80\x80\xE1\x80\xC2" "b\x80"), 1, 2,
                   "a" + R + R + R + "b" + R}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
