#include "rpc/exchange.hpp"

#include <cstring>

#include "codec/frame.hpp"
#include "rpc/lifecycle.hpp"
#include "rpc/verdict.hpp"

namespace rpc {

static_assert(ws::LARGE_MESSAGE_HEAD == codec::FRAME_HEADER_LEN);

namespace {
// Deadlines that cannot be represented fall back to thirty years of 365 days.
constexpr runtime::Clock::duration FALLBACK_WAIT = std::chrono::seconds(946'080'000);
}  // namespace

Exchange::Exchange(EngineShared shared, std::uint16_t fnId, codec::Bytes payload, runtime::Timeout timeout)
    : sh_(std::move(shared)), fnId_(fnId), payload_(std::move(payload)), timeout_(timeout) {}

Exchange::~Exchange() { abandon(); }

Exchange::Next Exchange::begin() {
  ConnectionSlot& slot = *sh_.slot;
  if (sh_.life->closed()) return end(EngineError::transport(ENGINE_CLOSED, std::nullopt, fnId_), false);
  auto unsent = [&] {
    unsent_.emplace(sh_.slot);
    return Next::Lock;
  };
  if (payload_.size() > MAX_PRESEND_PAYLOAD || slot.unsent.load() != 0) return unsent();
  auto g = slot.mutex.try_lock();
  if (!g) return unsent();
  // 1. Presence.
  if (!slot.conn) return end(EngineError::transport("no websocket connected", std::nullopt, fnId_), false);
  // 2. The seq: slot lock first, seq lock second.
  auto sg = sh_.seq->mutex.try_lock();
  if (!sg) return unsent();
  seq_ = sh_.seq->value++;  // wraps modulo 2^32
  sg.release();
  // 3, 4. The request, under the slot lock held from the presence check on.
  slot_ = std::move(g);
  sent_on_ = slot.generation;
  phase_ = Phase::Sending;
  return write_request();
}

Exchange::Next Exchange::write_request() {
  ws::WsConnection& conn = *sh_.slot->conn;
  ws::WsConnection::WriteResult w;
  if (!conn.write_pending()) {
    // The write is bounded by the call's timeout, so that a peer that stops reading cannot keep
    // the slot locked for everyone else. The header goes out in front of the caller's payload:
    // a large upload is never copied.
    deadline_ = runtime::deadline_after(timeout_, FALLBACK_WAIT);
    std::uint8_t header[codec::FRAME_HEADER_LEN];
    codec::write_frame_header(header, codec::FrameKind::Request, seq_, fnId_,
                              static_cast<std::uint32_t>(payload_.size()));
    w = conn.start_write(ws::Opcode::Binary, header, payload_.span());
  } else {
    w = conn.continue_write();
  }
  switch (w.state) {
    case ws::WsConnection::Write::Blocked:
      if (runtime::Clock::now() >= deadline_) return fail("websocket send failed: send timed out", true);
      return Next::Writable;
    case ws::WsConnection::Write::Failed:
      return fail("websocket send failed: " + w.error, true);
    case ws::WsConnection::Write::Done:
      break;
  }
  conn.request_sent();
  unsent_.reset();
  phase_ = Phase::Sent;
  // Nobody queued for the slot while the request went out: the receive phase can begin without
  // letting go of the lock, which is what queuing again would give back at once.
  return sh_.slot->mutex.contended() ? Next::Lock : enter_receive();
}

Exchange::Next Exchange::enter_receive() {
  ConnectionSlot& slot = *sh_.slot;
  // A page that connected meanwhile never saw this request: leave it alone.
  if (!slot.conn || slot.generation != sent_on_ || sh_.life->closed()) return fail("connection missing", false);
  deadline_ = runtime::deadline_after(timeout_, FALLBACK_WAIT);
  phase_ = Phase::Receiving;
  return Next::Readable;
}

Exchange::Next Exchange::receive_some(bool read_socket) {
  ws::WsConnection& conn = *sh_.slot->conn;
  // What the socket holds can be read at once too, and comes before a deadline that has passed.
  if (!read_socket && runtime::Clock::now() >= deadline_) read_socket = true;
  for (;;) {
    if (conn.write_pending()) {
      // An echo reply or pong that did not fit at once; a failed one shows up at a later read.
      if (conn.continue_write().state == ws::WsConnection::Write::Blocked) return wait_or_time_out(Next::Writable);
    }
    ws::WsParser::Message m;
    std::string error;
    switch (conn.poll(m, error, read_socket)) {
      case ws::WsConnection::Poll::Wait: return wait_or_time_out(Next::Readable);
      case ws::WsConnection::Poll::Closed: return fail("websocket closed", true);
      case ws::WsConnection::Poll::Failed: return fail("websocket recv failed: " + error, true);
      case ws::WsConnection::Poll::Ready: break;
    }
    switch (m.opcode) {
      case ws::Opcode::Binary:
        conn.message_arrived();
        if (handle_frame(m) == Next::Done) return Next::Done;
        continue;
      case ws::Opcode::Close:
        return fail("websocket closed", true);
      case ws::Opcode::Ping:
        conn.start_write(ws::Opcode::Pong, {}, m.data);
        continue;
      default:
        continue;  // text, pong
    }
  }
}

Exchange::Next Exchange::handle_frame(const ws::WsParser::Message& m) {
  // A large message arrives as its head in `data` and its body in a block of its own.
  auto parsed = codec::parse_frame_header(m.data, m.data.size() + (m.body ? m.body->size() : 0));
  if (!parsed) return end(EngineError::value(parsed.error().message), false);
  const codec::FrameHeader h = parsed.value();
  const std::span<const std::uint8_t> body =
      m.body ? m.body->span() : std::span<const std::uint8_t>(m.data.subspan(codec::FRAME_HEADER_LEN));
  Verdict v = judge_frame(h, seq_, fnId_);
  switch (v.kind) {
    case Verdict::Kind::Mismatch:
      return fail(std::move(v.failure), true);
    case Verdict::Kind::Skip:
      return Next::Readable;
    case Verdict::Kind::Echo: {
      // The header goes in front of the received body, as for requests: the body is not copied.
      std::uint8_t reply[codec::FRAME_HEADER_LEN];
      codec::write_frame_header(reply, codec::FrameKind::EchoReply, h.seq, h.fnId,
                                static_cast<std::uint32_t>(body.size()));
      sh_.slot->conn->start_write(ws::Opcode::Binary, reply, body);
      return Next::Readable;
    }
    case Verdict::Kind::Response: {
      if (m.body) return end(RpcResult(std::move(*m.body)), false);
      auto out = codec::Bytes::allocate(body.size());
      if (!body.empty()) std::memcpy(out.data(), body.data(), body.size());
      return end(RpcResult(std::move(out)), false);
    }
    case Verdict::Kind::Error: {
      auto rec = codec::decode_error_record(body);
      return end(EngineError::rpc(seq_, fnId_, rec.err, rec.sub, std::move(rec.message)), false);
    }
  }
  return Next::Readable;
}

Exchange::Next Exchange::wait_or_time_out(Next what) {
  // Only now, with nothing to handle at once, does the deadline count.
  if (runtime::Clock::now() >= deadline_) return fail("timeout waiting response", true);
  return what;
}

Exchange::Next Exchange::fail(std::string msg, bool drop) {
  return end(EngineError::transport(std::move(msg), seq_, fnId_), drop);
}

Exchange::Next Exchange::end(RpcResult r, bool drop) {
  result_ = std::move(r);
  // A call that close() interrupted says so, whatever the stream did when it was shut down.
  if (auto* e = std::get_if<EngineError>(&result_);
      e && e->kind == EngineError::Kind::RpcTransportError && sh_.life->closed())
    e->message = ENGINE_CLOSED;
  release(drop);
  return Next::Done;
}

void Exchange::release(bool drop) noexcept {
  // 6. Clearing, still under the lock: exactly the connection that failed. Whoever leaves the
  // slot with a frame half-written drops the connection too: nothing sent after it could be
  // read as sent.
  ConnectionSlot& slot = *sh_.slot;
  if (slot_ && slot.conn) {
    const bool partial = slot.conn->abandon_write();
    if ((drop && slot.generation == sent_on_) || partial || slot.conn->broken()) slot.drop();
  }
  // 7. Unlock.
  slot_.release();
  unsent_.reset();
  phase_ = Phase::Done;
}

void Exchange::abandon() noexcept {
  // A request already sent is not recalled, and its seq is not given out again. Nobody reads
  // the result of an abandoned exchange.
  if (phase_ != Phase::Done) release(false);
}

}  // namespace rpc
