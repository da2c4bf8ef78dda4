#include "ws/rpc.hpp"

#include <limits>
#include <thread>

#include <boost/asio/as_tuple.hpp>
#include <boost/asio/co_spawn.hpp>
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

static_assert(LARGE_MESSAGE_HEAD == codec::FRAME_HEADER_LEN);

namespace {

// Response deadlines that cannot be represented fall back to thirty years of 365 days.
constexpr Clock::duration FALLBACK_WAIT = std::chrono::seconds(946'080'000);

struct Exchange {
  EngineShared& sh;
  std::uint16_t fnId;
  const Abandoned& abandoned;
  std::uint32_t seq = 0;
  bool mid_write = false;  // a pong or echo reply has started to go out and not finished

  // Between steps that complete without suspending (a free lock, a send that fits), nothing else
  // would notice that the caller gave up: an abandoned call must not take a seq or send.
  void stop_if_abandoned() const {
    if (abandoned && abandoned->load()) throw boost::system::system_error(asio::error::operation_aborted);
  }

  EngineError fail(std::string msg) const { return EngineError::transport(std::move(msg), seq, fnId); }
};

// The receive phase, with the slot lock held and a connection present. Transport errors are
// returned; the caller drops the connection for them.
// An abandoned call must stop at its next wait: the raced waits below end quietly when cancelled,
// so the loop looks at the cancellation state itself rather than waiting again.
asio::awaitable<void> stop_if_cancelled(const Exchange& x) {
  x.stop_if_abandoned();
  auto state = co_await asio::this_coro::cancellation_state;
  if (state.cancelled() != asio::cancellation_type::none)
    throw boost::system::system_error(asio::error::operation_aborted);
}

// Polls until something other than Wait comes or `until` passes. Yielding between polls lets a
// peer that shares this processor answer. The caller may give up meanwhile (the runtime's
// cancellation cannot reach this task while it spins): it must not take someone else's answer.
WsConnection::Poll poll_spinning(const Exchange& x, WsConnection& conn, WsConnection::Message& m, std::string& err,
                                 Clock::time_point until) {
  // The caller has just polled and found nothing: yield first.
  for (;;) {
    std::this_thread::yield();
    x.stop_if_abandoned();
    const auto r = conn.poll(m, err);
    if (r != WsConnection::Poll::Wait || Clock::now() >= until) return r;
  }
}

asio::awaitable<RpcResult> receive(Exchange& x, WsConnection& conn, Clock::time_point deadline) {
  asio::steady_timer timer(co_await asio::this_coro::executor, deadline);
  bool spun = false;
  for (;;) {
    co_await stop_if_cancelled(x);
    WsConnection::Message m{};
    std::string err;
    auto polled = conn.poll(m, err);
    if (polled == WsConnection::Poll::Wait && !spun) {
      spun = true;  // once per exchange: a slow answer must not keep a processor busy
      const auto until = std::min(deadline, conn.timing.spin_until());
      if (Clock::now() < until) {
        polled = poll_spinning(x, conn, m, err, until);
        conn.timing.spin_ended(polled != WsConnection::Poll::Wait);
      }
    }
    switch (polled) {
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
    // A large message arrives as its header in m.data and its body in a block of its own.
    const std::size_t total = m.data.size() + (m.rest ? m.rest->size() : 0);
    auto parsed = codec::parse_frame_header(m.data, total);
    if (!parsed) co_return EngineError::value(parsed.error().message);
    const codec::FrameHeader h = parsed.value();
    if (h.version != codec::PROTOCOL_VERSION)
      co_return x.fail("protocol version mismatch: got " + std::to_string(h.version) + ", expected " +
                       std::to_string(codec::PROTOCOL_VERSION));
    const std::span<const std::uint8_t> body =
        m.rest ? m.rest->span() : std::span<const std::uint8_t>(m.data.subspan(codec::FRAME_HEADER_LEN));
    if (h.kind == static_cast<std::uint8_t>(codec::FrameKind::EchoRequest)) {
      // Header in front of the received body, as for requests: the body is not copied.
      std::uint8_t reply[codec::FRAME_HEADER_LEN];
      codec::write_frame_header(reply, codec::FrameKind::EchoReply, h.seq, h.fnId,
                                static_cast<std::uint32_t>(body.size()));
      co_await conn.send(Opcode::Binary, reply, body, deadline, &x.mid_write);
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
      if (m.rest) co_return RpcResult(std::move(*m.rest));
      auto out = codec::Bytes::allocate(body.size());
      if (!body.empty()) std::memcpy(out.data(), body.data(), body.size());
      co_return RpcResult(std::move(out));
    }
    auto rec = codec::decode_error_record(body);
    co_return EngineError::rpc(x.seq, x.fnId, rec.err, rec.sub, std::move(rec.message));
  }
}

}  // namespace

std::optional<Presend> try_send_now(const EngineShared& sh, std::uint16_t fnId, std::span<const std::uint8_t> payload) {
  if (payload.size() > MAX_PRESEND_PAYLOAD || sh.slot->unsent.load() != 0 || sh.life->closed()) return std::nullopt;
  auto g = sh.slot->mutex.try_lock();
  if (!g || !sh.slot->conn) return std::nullopt;
  auto sg = sh.seq->mutex.try_lock();  // slot lock first, seq lock second
  if (!sg) return std::nullopt;
  const std::uint32_t seq = sh.seq->value;
  std::uint8_t header[codec::FRAME_HEADER_LEN];
  codec::write_frame_header(header, codec::FrameKind::Request, seq, fnId, static_cast<std::uint32_t>(payload.size()));
  std::size_t written = 0;
  auto w = sh.slot->conn->try_send(Opcode::Binary, header, payload, written);
  // Nothing went out (full buffer, broken socket): the ordinary path tries again and reports.
  if (written == 0) return std::nullopt;
  sh.seq->value = seq + 1;  // wraps modulo 2^32
  if (w.ok) sh.slot->conn->timing.request_sent();
  return Presend{std::move(g), seq, written, w.ok, std::move(w.error)};
}

namespace {

// A call that close() interrupted says so, whatever the stream did when it was shut down.
RpcResult closed_instead(const EngineShared& sh, RpcResult r) {
  if (auto* e = std::get_if<EngineError>(&r);
      e && e->kind == EngineError::Kind::RpcTransportError && sh.life->closed())
    e->message = ENGINE_CLOSED;
  return r;
}

// Both ways into an exchange end here: the request is (partly) out and the slot lock is held.
asio::awaitable<RpcResult> finish_exchange(Exchange& x, AsyncMutex::Guard g, std::span<const std::uint8_t> payload,
                                           Timeout timeout, std::size_t already_written, bool complete,
                                           UnsentMark* unsent);

}  // namespace

asio::awaitable<RpcResult> rpc_call(EngineShared sh, std::uint16_t fnId, std::span<const std::uint8_t> payload,
                                    Timeout timeout, Abandoned abandoned, Presend presend) {
  Exchange x{sh, fnId, abandoned};
  x.seq = presend.seq;
  if (!presend.error.empty()) {
    auto g = std::move(presend.guard);
    sh.slot->drop();
    co_return x.fail("websocket send failed: " + presend.error);
  }
  co_return closed_instead(sh, co_await finish_exchange(x, std::move(presend.guard), payload, timeout,
                                                        presend.written, presend.complete, nullptr));
}

asio::awaitable<RpcResult> rpc_call(EngineShared sh, std::uint16_t fnId, std::span<const std::uint8_t> payload,
                                    Timeout timeout, Abandoned abandoned, UnsentMark unsent) {
  Exchange x{sh, fnId, abandoned};
  if (sh.life->closed()) co_return EngineError::transport(ENGINE_CLOSED, std::nullopt, fnId);
  {
    auto check = co_await sh.slot->mutex.lock();
    x.stop_if_abandoned();
    if (sh.life->closed()) co_return EngineError::transport(ENGINE_CLOSED, std::nullopt, fnId);
    if (!sh.slot->conn) co_return EngineError::transport("no websocket connected", std::nullopt, fnId);
  }
  {
    auto sg = co_await sh.seq->mutex.lock();
    x.stop_if_abandoned();
    x.seq = sh.seq->value++;  // wraps modulo 2^32
  }
  auto g = co_await sh.slot->mutex.lock();
  x.stop_if_abandoned();
  if (!sh.slot->conn || sh.life->closed()) co_return closed_instead(sh, x.fail("connection missing"));
  co_return closed_instead(sh, co_await finish_exchange(x, std::move(g), payload, timeout, 0, false, &unsent));
}

namespace {

asio::awaitable<RpcResult> finish_exchange(Exchange& x, AsyncMutex::Guard g, std::span<const std::uint8_t> payload,
                                           Timeout timeout, std::size_t already_written, bool complete,
                                           UnsentMark* unsent) {
  EngineShared& sh = x.sh;
  const std::uint64_t sent_on = sh.slot->generation;  // the connection this request goes out on
  if (!complete) {
    // The header goes out in front of the caller's payload: a large upload is never copied.
    std::uint8_t header[codec::FRAME_HEADER_LEN];
    codec::write_frame_header(header, codec::FrameKind::Request, x.seq, x.fnId,
                              static_cast<std::uint32_t>(payload.size()));
    // The write is bounded by the call's timeout so that a peer that stops reading cannot keep
    // the slot locked for everyone else.
    WsConnection::WriteResult w;
    bool started = already_written > 0;
    try {
      w = co_await sh.slot->conn->send(Opcode::Binary, header, payload, deadline_after(timeout, FALLBACK_WAIT),
                                       &started, already_written);
    } catch (...) {
      // Abandoned mid-write: the part of the frame that went out cannot be taken back.
      if (started) sh.slot->drop();
      throw;
    }
    if (!w.ok) {
      sh.slot->drop();
      co_return x.fail("websocket send failed: " + w.error);
    }
    sh.slot->conn->timing.request_sent();
  }
  if (unsent) unsent->done();

  // Queue for the receive phase before anyone else can send: exchanges then receive in exactly
  // the order in which their requests went out, which is the order the peer answers in.
  g = co_await sh.slot->mutex.relock(std::move(g));
  x.stop_if_abandoned();
  // A page that connected meanwhile never saw this request: leave it alone.
  if (!sh.slot->conn || sh.slot->generation != sent_on) co_return x.fail("connection missing");
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

}  // namespace

asio::awaitable<RpcResult> wait_connected(EngineShared sh, std::optional<Timeout> limit) {
  // Presence is read without the slot lock, so a limit of 0 answers at once even while an
  // exchange holds the slot for its receive phase.
  auto ended = [&]() -> std::optional<RpcResult> {
    if (sh.life->closed()) return EngineError::transport(ENGINE_CLOSED);
    if (sh.slot->present()) return codec::Bytes{};
    return std::nullopt;
  };
  if (auto r = ended()) co_return std::move(*r);
  auto w = sh.connected->subscribe();
  struct Unsubscribe {
    ConnectedSignal& s;
    std::shared_ptr<ConnectedSignal::Waiter>& w;
    ~Unsubscribe() { s.unsubscribe(w); }
  } unsub{*sh.connected, w};
  // Subscribed first, looked again second: an install or close in between is not missed.
  if (auto r = ended()) co_return std::move(*r);

  if (!limit) {
    co_await sh.connected->async_wait(w, asio::use_awaitable);
  } else {
    asio::steady_timer timer(co_await asio::this_coro::executor, deadline_after(*limit, std::nullopt));
    co_await (sh.connected->async_wait(w, asio::as_tuple(asio::use_awaitable)) ||
              timer.async_wait(asio::as_tuple(asio::use_awaitable)));
  }
  if (sh.life->closed()) co_return EngineError::transport(ENGINE_CLOSED);
  if (w->notified.load()) co_return codec::Bytes{};
  co_return EngineError::transport("wait_connected timed out");
}

asio::awaitable<RpcResult> close_engine(EngineShared sh) {
  auto listeners = sh.life->close();
  sh.slot->shut_down();
  sh.connected->notify_all();
  for (auto& l : listeners) {
    // A named closure: g++ 12 destroys a capturing temporary in a co_await expression twice.
    auto close_it = [a = l.acceptor]() -> asio::awaitable<void> {
      if (auto acc = a.lock()) {
        boost::system::error_code ec;
        acc->close(ec);
      }
      co_return;
    };
    co_await asio::co_spawn(l.strand, std::move(close_it), asio::use_awaitable);
  }
  // Behind every exchange that holds or awaits the slot: each sees the closed engine and ends.
  auto g = co_await sh.slot->mutex.lock();
  sh.slot->drop();
  co_return codec::Bytes{};
}

}  // namespace ws
