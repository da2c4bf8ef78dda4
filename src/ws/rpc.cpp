#include "ws/rpc.hpp"

#include <limits>

#include <boost/asio/as_tuple.hpp>
#include <boost/asio/error.hpp>
#include <boost/system/system_error.hpp>
#include <boost/asio/experimental/awaitable_operators.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/use_awaitable.hpp>

#include "codec/frame.hpp"

namespace ws {

namespace asio = boost::asio;
using namespace boost::asio::experimental::awaitable_operators;

Clock::time_point deadline_after(Timeout t, std::optional<Clock::duration> fallback) {
  using namespace std::chrono;
  const auto now = Clock::now();
  const auto room = Clock::time_point::max() - now;
  const auto room_secs = duration_cast<seconds>(room).count();
  if (t.secs < static_cast<std::uint64_t>(room_secs)) {
    const auto d = seconds(static_cast<seconds::rep>(t.secs)) + nanoseconds(t.nanos);
    if (d < room) return now + duration_cast<Clock::duration>(d);
  }
  return fallback ? now + *fallback : Clock::time_point::max();
}

namespace {

// Response deadlines that cannot be represented fall back to thirty years of 365 days.
constexpr Clock::duration FALLBACK_WAIT = std::chrono::seconds(946'080'000);

struct Exchange {
  EngineShared& sh;
  std::uint16_t fnId;
  std::uint32_t seq = 0;
  bool mid_write = false;  // a pong or echo reply has started to go out and not finished

  EngineError fail(std::string msg) const { return EngineError::transport(std::move(msg), seq, fnId); }
};

// The receive phase, with the slot lock held and a connection present. Transport errors are
// returned; the caller drops the connection for them.
// An abandoned call must stop at its next wait: the raced waits below end quietly when cancelled,
// so the loop looks at the cancellation state itself rather than waiting again.
asio::awaitable<void> stop_if_cancelled() {
  auto state = co_await asio::this_coro::cancellation_state;
  if (state.cancelled() != asio::cancellation_type::none)
    throw boost::system::system_error(asio::error::operation_aborted);
}

asio::awaitable<RpcResult> receive(Exchange& x, WsConnection& conn, Clock::time_point deadline) {
  asio::steady_timer timer(co_await asio::this_coro::executor, deadline);
  for (;;) {
    co_await stop_if_cancelled();
    WsConnection::Message m{};
    std::string err;
    switch (conn.poll(m, err)) {
      case WsConnection::Poll::Closed:
        co_return x.fail("websocket closed");
      case WsConnection::Poll::Failed:
        co_return x.fail("websocket recv failed: " + err);
      case WsConnection::Poll::Wait:
        // Only now, with nothing readable at once, does the deadline count.
        if (Clock::now() >= deadline) co_return x.fail("timeout waiting response");
        co_await conn.wait_readable(timer);
        continue;
      case WsConnection::Poll::Ready:
        break;
    }
    switch (m.opcode) {
      case Opcode::Close:
        co_return x.fail("websocket closed");
      case Opcode::Ping:
        // A failed pong shows up as a broken connection on the next read.
        co_await conn.send(Opcode::Pong, m.data, deadline, &x.mid_write);
        x.mid_write = false;
        continue;
      case Opcode::Binary:
        break;
      default:
        continue;  // text, pong
    }
    auto parsed = codec::parse_frame_header(m.data);
    if (!parsed) co_return EngineError::value(parsed.error().message);
    const codec::FrameHeader h = parsed.value();
    if (h.version != codec::PROTOCOL_VERSION)
      co_return x.fail("protocol version mismatch: got " + std::to_string(h.version) + ", expected " +
                       std::to_string(codec::PROTOCOL_VERSION));
    const auto body = m.data.subspan(codec::FRAME_HEADER_LEN);
    if (h.kind == static_cast<std::uint8_t>(codec::FrameKind::EchoRequest)) {
      auto reply = codec::encode_frame(codec::FrameKind::EchoReply, h.seq, h.fnId, body);
      co_await conn.send(Opcode::Binary, reply.span(), deadline, &x.mid_write);
      x.mid_write = false;
      continue;
    }
    const bool response = h.kind == static_cast<std::uint8_t>(codec::FrameKind::Response);
    if (!response && h.kind != static_cast<std::uint8_t>(codec::FrameKind::ErrorResponse)) continue;
    if (h.seq != x.seq)
      co_return x.fail("seq mismatch: expected " + std::to_string(x.seq) + ", got " + std::to_string(h.seq));
    if (h.fnId != x.fnId)
      co_return x.fail("fnId mismatch: expected " + std::to_string(x.fnId) + ", got " + std::to_string(h.fnId));
    if (response) {
      auto out = codec::Bytes::allocate(body.size());
      if (!body.empty()) std::memcpy(out.data(), body.data(), body.size());
      co_return RpcResult(std::move(out));
    }
    auto rec = codec::decode_error_record(body);
    co_return EngineError::rpc(x.seq, x.fnId, rec.err, rec.sub, std::move(rec.message));
  }
}

}  // namespace

asio::awaitable<RpcResult> rpc_call(EngineShared sh, std::uint16_t fnId, std::span<const std::uint8_t> payload,
                                    Timeout timeout) {
  Exchange x{sh, fnId};
  {
    auto g = co_await sh.slot->mutex.lock();
    if (!sh.slot->conn) co_return EngineError::transport("no websocket connected", std::nullopt, fnId);
  }
  {
    auto g = co_await sh.seq->mutex.lock();
    x.seq = sh.seq->value++;  // wraps modulo 2^32
  }
  // The header goes out in front of the caller's payload: a large upload is never copied.
  std::uint8_t header[codec::FRAME_HEADER_LEN];
  codec::write_frame_header(header, codec::FrameKind::Request, x.seq, fnId, static_cast<std::uint32_t>(payload.size()));

  auto g = co_await sh.slot->mutex.lock();
  {
    if (!sh.slot->conn) co_return x.fail("connection missing");
    // The write is bounded by the call's timeout so that a peer that stops reading cannot keep
    // the slot locked for everyone else.
    WsConnection::WriteResult w;
    bool started = false;
    try {
      w = co_await sh.slot->conn->send(Opcode::Binary, header, payload, deadline_after(timeout, FALLBACK_WAIT),
                                       &started);
    } catch (...) {
      // Abandoned mid-write: the part of the frame that went out cannot be taken back.
      if (started) sh.slot->drop();
      throw;
    }
    if (!w.ok) {
      sh.slot->drop();
      co_return x.fail("websocket send failed: " + w.error);
    }
  }

  // Queue for the receive phase before anyone else can send: exchanges then receive in exactly
  // the order in which their requests went out, which is the order the peer answers in.
  g = co_await sh.slot->mutex.relock(std::move(g));
  if (!sh.slot->conn) co_return x.fail("connection missing");
  RpcResult r;
  try {
    r = co_await receive(x, *sh.slot->conn, deadline_after(timeout, FALLBACK_WAIT));
  } catch (...) {
    // Abandoned while waiting between messages the stream is intact (partly received messages
    // stay buffered in the connection); abandoned mid-write it is not.
    if (x.mid_write) sh.slot->drop();
    throw;
  }
  if (auto* e = std::get_if<EngineError>(&r); e && e->kind == EngineError::Kind::RpcTransportError)
    sh.slot->drop();  // still under the lock: exactly the connection that failed
  co_return r;
}

asio::awaitable<RpcResult> wait_connected(EngineShared sh, std::optional<Timeout> limit) {
  std::shared_ptr<ConnectedSignal::Waiter> w;
  {
    auto g = co_await sh.slot->mutex.lock();
    if (sh.slot->conn) co_return codec::Bytes{};
    // Subscribed before the lock is released, so an install right after cannot be missed.
    w = sh.connected->subscribe();
  }
  struct Unsubscribe {
    ConnectedSignal& s;
    std::shared_ptr<ConnectedSignal::Waiter>& w;
    ~Unsubscribe() { s.unsubscribe(w); }
  } unsub{*sh.connected, w};

  if (!limit) {
    co_await sh.connected->async_wait(w, asio::use_awaitable);
    co_return codec::Bytes{};
  }
  asio::steady_timer timer(co_await asio::this_coro::executor, deadline_after(*limit, std::nullopt));
  co_await (sh.connected->async_wait(w, asio::as_tuple(asio::use_awaitable)) ||
            timer.async_wait(asio::as_tuple(asio::use_awaitable)));
  if (w->notified.load()) co_return codec::Bytes{};
  co_return EngineError::transport("wait_connected timed out");
}

}  // namespace ws
