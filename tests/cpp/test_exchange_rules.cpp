#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "rpc/verdict.hpp"
#include "ws/upgrade.hpp"

namespace {

using Kind = rpc::Verdict::Kind;

codec::FrameHeader frame(std::uint8_t version, std::uint8_t kind, std::uint32_t seq, std::uint16_t fnId) {
  return {version, kind, 0, seq, fnId, 0, 0};
}

struct VerdictCase {
  const char* name;
  codec::FrameHeader header;
  Kind kind;
  const char* failure;
};

class Verdicts : public ::testing::TestWithParam<VerdictCase> {};

// The exchange waits for seq 7, fnId 101.
TEST_P(Verdicts, FollowTheMatchingRules) {
  const auto& c = GetParam();
  const rpc::Verdict v = rpc::judge_frame(c.header, 7, 101);
  EXPECT_EQ(v.kind, c.kind);
  EXPECT_EQ(v.failure, c.failure);
}

INSTANTIATE_TEST_SUITE_P(
    Exchange, Verdicts,
    ::testing::Values(
        VerdictCase{"response", frame(1, 2, 7, 101), Kind::Response, ""},
        VerdictCase{"error_response", frame(1, 3, 7, 101), Kind::Error, ""},
        VerdictCase{"echo_of_any_seq", frame(1, 4, 0, 0), Kind::Echo, ""},
        VerdictCase{"request_kind", frame(1, 1, 7, 101), Kind::Skip, ""},
        VerdictCase{"echo_reply_kind", frame(1, 5, 9, 9), Kind::Skip, ""},
        VerdictCase{"unknown_kind", frame(1, 200, 7, 101), Kind::Skip, ""},
        VerdictCase{"zero_kind", frame(1, 0, 7, 101), Kind::Skip, ""},
        VerdictCase{"version_before_kind", frame(2, 200, 7, 101), Kind::Mismatch,
                    "protocol version mismatch: got 2, expected 1"},
        VerdictCase{"seq_before_fnid", frame(1, 2, 8, 5), Kind::Mismatch, "seq mismatch: expected 7, got 8"},
        VerdictCase{"fnid", frame(1, 3, 7, 5), Kind::Mismatch, "fnId mismatch: expected 101, got 5"}),
    [](const auto& info) { return std::string(info.param.name); });

ws::UpgradeRequest good_request(std::optional<std::string_view> origin = std::nullopt) {
  ws::UpgradeRequest r;
  r.connection = "keep-alive, Upgrade";
  r.upgrade = "websocket";
  r.ws_version = "13";
  r.ws_key = "dGhlIHNhbXBsZSBub25jZQ==";
  r.origin = origin;
  return r;
}

TEST(Upgrade, AGoodRequestIsAcceptedSilently) {
  const auto d = ws::decide_upgrade(good_request("http://127.0.0.1:8000"));
  EXPECT_EQ(d.outcome, ws::UpgradeDecision::Outcome::Accept);
  EXPECT_TRUE(d.log.empty());
}

TEST(Upgrade, AForeignOriginIsForbiddenWithTwoLines) {
  const auto d = ws::decide_upgrade(good_request("http://evil.example//"));
  EXPECT_EQ(d.outcome, ws::UpgradeDecision::Outcome::Forbid);
  ASSERT_EQ(d.log.size(), 2u);
  EXPECT_EQ(d.log[0], "rejected origin: http://evil.example");
  EXPECT_EQ(d.log[1], "accept failed: HTTP error: 403 Forbidden");
}

struct BadRequest {
  const char* name;
  void (*spoil)(ws::UpgradeRequest&);
  const char* log;
};

class BadRequests : public ::testing::TestWithParam<BadRequest> {};

TEST_P(BadRequests, AreClosedWithoutAResponse) {
  auto r = good_request();
  GetParam().spoil(r);
  const auto d = ws::decide_upgrade(r);
  EXPECT_EQ(d.outcome, ws::UpgradeDecision::Outcome::Ignore);
  ASSERT_EQ(d.log.size(), 1u);
  EXPECT_EQ(d.log[0], std::string("accept failed: ") + GetParam().log);
}

INSTANTIATE_TEST_SUITE_P(
    Upgrade, BadRequests,
    ::testing::Values(
        BadRequest{"post", [](ws::UpgradeRequest& r) { r.is_get = false; }, "handshake request method is not GET"},
        BadRequest{"http10", [](ws::UpgradeRequest& r) { r.http_version = 10; }, "handshake request is not HTTP/1.1"},
        BadRequest{"no_connection", [](ws::UpgradeRequest& r) { r.connection = "keep-alive"; },
                   "missing 'Connection: upgrade' header"},
        BadRequest{"no_upgrade", [](ws::UpgradeRequest& r) { r.upgrade = "h2c"; }, "missing 'Upgrade: websocket' header"},
        BadRequest{"version", [](ws::UpgradeRequest& r) { r.ws_version = "8"; },
                   "missing or unsupported Sec-WebSocket-Version"},
        BadRequest{"key", [](ws::UpgradeRequest& r) { r.ws_key = ""; }, "missing or malformed Sec-WebSocket-Key"}),
    [](const auto& info) { return std::string(info.param.name); });

struct OriginCase {
  const char* value;  // nullptr: no header
  bool allowed;
  const char* trimmed;
};

class Origins : public ::testing::TestWithParam<OriginCase> {};

TEST_P(Origins, MatchAnAllowedPrefixFollowedByAPortOrAPath) {
  const auto& c = GetParam();
  std::string trimmed;
  const auto value = c.value ? std::optional<std::string_view>(c.value) : std::nullopt;
  EXPECT_EQ(ws::origin_allowed(value, trimmed), c.allowed) << (c.value ? c.value : "(none)");
  EXPECT_EQ(trimmed, c.trimmed);
}

INSTANTIATE_TEST_SUITE_P(
    Upgrade, Origins,
    ::testing::Values(OriginCase{nullptr, true, ""}, OriginCase{"///", true, ""},
                      OriginCase{"http://localhost\xff", true, ""}, OriginCase{"http://127.0.0.1", true, "http://127.0.0.1"},
                      OriginCase{"https://localhost:8443/", true, "https://localhost:8443"},
                      OriginCase{"http://localhost:1/x", true, "http://localhost:1/x"},
                      OriginCase{"http://localhost:", false, "http://localhost:"},
                      OriginCase{"http://localhost:123456", false, "http://localhost:123456"},
                      OriginCase{"http://127.0.0.1:80@evil.com", false, "http://127.0.0.1:80@evil.com"},
                      OriginCase{"http://localhost:evil.com", false, "http://localhost:evil.com"},
                      OriginCase{"http://localhost.evil", false, "http://localhost.evil"},
                      OriginCase{"http://127.0.0.10", false, "http://127.0.0.10"}));

bool hosted_allowed(const std::string& value) {
  std::string trimmed;
  return ws::origin_allowed(value, trimmed);
}

// Whatever origin the build was given: the page served from it connects, and so does nothing that
// merely begins like it.
TEST(Upgrade, TheHostedOriginIsAdmittedAndNothingThatBeginsLikeIt) {
  const std::string origin(ws::HOSTED_UI_ORIGIN);
  EXPECT_TRUE(hosted_allowed(origin));
  EXPECT_TRUE(hosted_allowed(origin + "/"));
  EXPECT_TRUE(hosted_allowed(origin + ":443"));
  EXPECT_TRUE(hosted_allowed(origin + "/app/index.html"));
  EXPECT_FALSE(hosted_allowed(origin + ".evil"));
  EXPECT_FALSE(hosted_allowed(origin + "x"));
  EXPECT_FALSE(hosted_allowed(origin + ":"));
  EXPECT_FALSE(hosted_allowed(origin + ":x"));
  EXPECT_FALSE(hosted_allowed(origin + ":123456"));
  EXPECT_FALSE(hosted_allowed(origin + ":80@evil.com"));
  const std::string foreign = origin + ".evil";
  const auto d = ws::decide_upgrade(good_request(foreign));
  EXPECT_EQ(d.outcome, ws::UpgradeDecision::Outcome::Forbid);
}

#ifdef ENGINE_HOSTED_ORIGIN_IS_DEFAULT
// A build left at the default admits the hosted trading page, byte for byte.
TEST(Upgrade, TheDefaultHostedOriginIsTheTradingPage) {
  EXPECT_EQ(ws::HOSTED_UI_ORIGIN, "https://trading.example.com");
  std::string trimmed;
  EXPECT_TRUE(ws::origin_allowed("https://trading.example.com", trimmed));
  EXPECT_TRUE(ws::origin_allowed("https://trading.example.com:443", trimmed));
  EXPECT_EQ(trimmed, "https://trading.example.com:443");
  EXPECT_FALSE(ws::origin_allowed("http://trading.example.com", trimmed));
  EXPECT_FALSE(ws::origin_allowed("https://trading.example.co", trimmed));
  EXPECT_FALSE(ws::origin_allowed("https://trading.example.community", trimmed));
  EXPECT_FALSE(ws::origin_allowed("https://trading.example.com.evil", trimmed));
  EXPECT_FALSE(ws::origin_allowed("https://www.trading.example.com", trimmed));
  EXPECT_EQ(ws::decide_upgrade(good_request("https://trading.example.com")).outcome,
            ws::UpgradeDecision::Outcome::Accept);
}
#endif

}  // namespace
