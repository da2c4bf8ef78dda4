#include "ws/rpc.hpp"

#include <cstring>

#include <boost/asio/error.hpp>
#include <boost/system/system_error.hpp>

#include "codec/frame.hpp"
#include "ws/lifecycle.hpp"
#include "ws/verdict.hpp"

namespace ws {

namespace asio = boost::asio;

static_assert(LARGE_MESSAGE_HEAD == codec::FRAME_HEADER_LEN);

namespace {

// Response deadlines that cannot be represented fall back to thirty years of 365 days.
constexpr Clock::duration FALLBACK_WAIT = std::chrono::seconds(946'080'000);

struct Exchange {
  EngineShared& sh;
  std::uint16_t fnId;
  const Abandoned& abandoned;
  std::uint32_t seq = 0;

  // Between steps that complete without suspending (a free lock, a send that fits), nothing else
  // would notice that the caller gave up: an abandoned call must not take a seq or send.
  void stop_if_abandoned() const {
    if (abandoned && abandoned->load()) throw boost::system::system_error(asio::error::operation_aborted);
  }
  EngineError fail(std::string msg) const { return EngineError::transport(std::move(msg), seq, fnId); }
};

// Whoever leaves the slot (also by being abandoned) while holding its lock drops a connection
// whose stream a frame has left half-written: nothing sent after it could be read as sent.
class DropIfBroken {
 public:
  DropIfBroken(ConnectionSlot& slot, const AsyncMutex::Guard& held) : slot_(slot), held_(held) {}
  ~DropIfBroken() {
    if (held_ && slot_.conn && slot_.conn->broken()) slot_.drop();
  }
  DropIfBroken(const DropIfBroken&) = delete;
  DropIfBroken& operator=(const DropIfBroken&) = delete;

 private:
  ConnectionSlot& slot_;
  const AsyncMutex::Guard& held_;
};

// The receive phase, with the slot lock held and a connection present.
asio::awaitable<RpcResult> receive(Exchange& x, WsConnection& conn, Clock::time_point deadline) {
  for (;;) {
    auto got = co_await conn.next_binary(deadline, x.abandoned.get());
    switch (got.kind) {
      case WsConnection::Received::Kind::Closed: co_return x.fail("websocket closed");
      case WsConnection::Received::Kind::Failed: co_return x.fail("websocket recv failed: " + got.error);
      case WsConnection::Received::Kind::TimedOut: co_return x.fail("timeout waiting response");
      case WsConnection::Received::Kind::Message: break;
    }
    // A large message arrives as its head in `data` and its body in a block of its own.
    const WsParser::Message& m = got.message;
    auto parsed = codec::parse_frame_header(m.data, m.data.size() + (m.body ? m.body->size() : 0));
    if (!parsed) co_return EngineError::value(parsed.error().message);
    const codec::FrameHeader h = parsed.value();
    const std::span<const std::uint8_t> body =
        m.body ? m.body->span() : std::span<const std::uint8_t>(m.data.subspan(codec::FRAME_HEADER_LEN));
    Verdict v = judge_frame(h, x.seq, x.fnId);
    switch (v.kind) {
      case Verdict::Kind::Mismatch:
        co_return x.fail(std::move(v.failure));
      case Verdict::Kind::Skip:
        continue;
      case Verdict::Kind::Echo: {
        // The header goes in front of the received body, as for requests: the body is not copied.
        // A failed reply shows up at a later read.
        std::uint8_t reply[codec::FRAME_HEADER_LEN];
        codec::write_frame_header(reply, codec::FrameKind::EchoReply, h.seq, h.fnId,
                                  static_cast<std::uint32_t>(body.size()));
        co_await conn.send(Opcode::Binary, reply, body, deadline);
        continue;
      }
      case Verdict::Kind::Response: {
        if (m.body) co_return RpcResult(std::move(*m.body));
        auto out = codec::Bytes::allocate(body.size());
        if (!body.empty()) std::memcpy(out.data(), body.data(), body.size());
        co_return RpcResult(std::move(out));
      }
      case Verdict::Kind::Error: {
        auto rec = codec::decode_error_record(body);
        co_return EngineError::rpc(x.seq, x.fnId, rec.err, rec.sub, std::move(rec.message));
      }
    }
  }
}

// The exchange from its start on the calling thread to its result.
asio::awaitable<RpcResult> run_exchange(Exchange& x, std::span<const std::uint8_t> payload, Timeout timeout,
                                        ExchangeStart& start) {
  EngineShared& sh = x.sh;
  AsyncMutex::Guard g;
  std::size_t written = 0;
  bool complete = false;
  if (auto* pre = std::get_if<Presend>(&start)) {
    g = std::move(pre->guard);
    x.seq = pre->seq;
    written = pre->written;
    complete = pre->complete;
    if (!pre->error.empty()) {
      sh.slot->drop();
      co_return x.fail("websocket send failed: " + pre->error);
    }
  } else {
    if (sh.life->closed()) co_return EngineError::transport(ENGINE_CLOSED, std::nullopt, x.fnId);
    {
      auto check = co_await sh.slot->mutex.lock();
      x.stop_if_abandoned();
      if (sh.life->closed()) co_return EngineError::transport(ENGINE_CLOSED, std::nullopt, x.fnId);
      if (!sh.slot->conn) co_return EngineError::transport("no websocket connected", std::nullopt, x.fnId);
    }
    {
      auto sg = co_await sh.seq->mutex.lock();
      x.stop_if_abandoned();
      x.seq = sh.seq->value++;  // wraps modulo 2^32
    }
    g = co_await sh.slot->mutex.lock();
    x.stop_if_abandoned();
    if (!sh.slot->conn || sh.life->closed()) co_return x.fail("connection missing");
  }
  DropIfBroken on_leave(*sh.slot, g);
  const std::uint64_t sent_on = sh.slot->generation;  // the connection the request goes out on

  if (!complete) {
    // The header goes out in front of the caller's payload: a large upload is never copied. The
    // write is bounded by the call's timeout so that a peer that stops reading cannot keep the
    // slot locked for everyone else.
    std::uint8_t header[codec::FRAME_HEADER_LEN];
    codec::write_frame_header(header, codec::FrameKind::Request, x.seq, x.fnId,
                              static_cast<std::uint32_t>(payload.size()));
    auto w = co_await sh.slot->conn->send(Opcode::Binary, header, payload, deadline_after(timeout, FALLBACK_WAIT),
                                          written);
    if (!w.ok) {
      sh.slot->drop();
      co_return x.fail("websocket send failed: " + w.error);
    }
    sh.slot->conn->request_sent();
  }
  if (auto* unsent = std::get_if<UnsentMark>(&start)) unsent->done();

  // Queue for the receive phase before anyone else can send: exchanges then receive in exactly
  // the order in which their requests went out, which is the order the peer answers in.
  g = co_await sh.slot->mutex.relock(std::move(g));
  x.stop_if_abandoned();
  // A page that connected meanwhile never saw this request: leave it alone.
  if (!sh.slot->conn || sh.slot->generation != sent_on || sh.life->closed()) co_return x.fail("connection missing");
  RpcResult r = co_await receive(x, *sh.slot->conn, deadline_after(timeout, FALLBACK_WAIT));
  if (auto* e = std::get_if<EngineError>(&r); e && e->kind == EngineError::Kind::RpcTransportError)
    sh.slot->drop();  // still under the lock: exactly the connection that failed
  co_return r;
}

}  // namespace

ExchangeStart begin_exchange(const EngineShared& sh, std::uint16_t fnId, std::span<const std::uint8_t> payload) {
  auto unsent = [&] { return ExchangeStart(std::in_place_type<UnsentMark>, sh.slot); };
  if (payload.size() > MAX_PRESEND_PAYLOAD || sh.slot->unsent.load() != 0 || sh.life->closed()) return unsent();
  auto g = sh.slot->mutex.try_lock();
  if (!g || !sh.slot->conn || sh.slot->conn->broken()) return unsent();
  auto sg = sh.seq->mutex.try_lock();  // slot lock first, seq lock second
  if (!sg) return unsent();
  const std::uint32_t seq = sh.seq->value;
  std::uint8_t header[codec::FRAME_HEADER_LEN];
  codec::write_frame_header(header, codec::FrameKind::Request, seq, fnId, static_cast<std::uint32_t>(payload.size()));
  std::size_t written = 0;
  auto w = sh.slot->conn->try_send(Opcode::Binary, header, payload, written);
  // Nothing went out (full buffer, broken socket): the runtime tries again and reports.
  if (written == 0) return unsent();
  sh.seq->value = seq + 1;  // wraps modulo 2^32
  if (w.ok) sh.slot->conn->request_sent();
  return Presend{std::move(g), seq, written, w.ok, std::move(w.error)};
}

asio::awaitable<RpcResult> rpc_call(EngineShared sh, std::uint16_t fnId, std::span<const std::uint8_t> payload,
                                    Timeout timeout, Abandoned abandoned, ExchangeStart start) {
  Exchange x{sh, fnId, abandoned};
  RpcResult r = co_await run_exchange(x, payload, timeout, start);
  // A call that close() interrupted says so, whatever the stream did when it was shut down.
  if (auto* e = std::get_if<EngineError>(&r);
      e && e->kind == EngineError::Kind::RpcTransportError && sh.life->closed())
    e->message = ENGINE_CLOSED;
  co_return r;
}

}  // namespace ws
