#pragma once
// One remote call over the live connection, as a state machine of its numbered steps: presence,
// seq, request out, receive phase, clearing, unlock. Each step runs as far as it can without
// waiting and says what it needs next; whoever waits decides nothing else. The calling thread
// starts it; the loop that awaits it drives the receive phase when the socket becomes readable
// (engine/loop_reader); the runtime (rpc_call) does every other wait: locks, a blocked write, a
// large message, a deadline the loop did not see.
#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>

#include <boost/asio/awaitable.hpp>

#include "codec/buffer.hpp"
#include "rpc/error.hpp"
#include "rpc/slot.hpp"
#include "runtime/timeout.hpp"

namespace rpc {

// Set on the calling thread when the caller gives up on the call. The runtime's cancellation
// reaches a task only at a suspension point; this flag is looked at between steps too.
using Abandoned = std::shared_ptr<std::atomic<bool>>;

class Exchange {
 public:
  // What a step needs next. Done: the exchange has ended (result() holds how, every lock is
  // released). Readable / Writable: the receive phase waits for the socket, under the slot lock.
  // Lock: a lock it must queue for (the runtime's part).
  enum class Next { Done, Readable, Writable, Lock };

  // Requests up to this size may be written on the calling thread.
  static constexpr std::size_t MAX_PRESEND_PAYLOAD = 64 * 1024;

  Exchange(EngineShared shared, std::uint16_t fnId, codec::Bytes payload, runtime::Timeout timeout);
  Exchange(const Exchange&) = delete;
  Exchange& operator=(const Exchange&) = delete;
  ~Exchange();

  // Steps 1 to 4 on the calling thread, never waiting, so that a request to an idle connection
  // is on the wire before any hand-off. When the connection is idle (no exchange holds or waits
  // for the slot lock, none handed to the runtime earlier is still to send), it takes the slot
  // lock and the next seq and writes the request; if that completes and nobody queued meanwhile,
  // the receive phase begins at once (Readable). Otherwise the exchange counts as unsent until
  // its request is out, so that later calls cannot write ahead of it.
  Next begin();

  // Step 5 as far as it goes without waiting, under the slot lock: messages are handled by the
  // exchange rules until the answer, or until it must wait (Readable, Writable), where the
  // deadline is looked at first. `read_socket` false: only what is buffered already.
  Next receive_some(bool read_socket = true);

  // The runtime's part: whatever is left, with the waits between the steps.
  friend boost::asio::awaitable<RpcResult> rpc_call(std::shared_ptr<Exchange> x);

  // Ends the exchange where it stands (the caller gave up, or a fault): a request half-written
  // costs the connection, and every lock goes. Nothing happens to an exchange that has ended.
  void abandon() noexcept;

  bool done() const noexcept { return phase_ == Phase::Done; }
  bool receiving() const noexcept { return phase_ == Phase::Receiving; }
  RpcResult& result() noexcept { return result_; }
  std::uint16_t fnId() const noexcept { return fnId_; }
  // While receiving: when the receive phase times out.
  runtime::Clock::time_point deadline() const noexcept { return deadline_; }
  const Abandoned& abandoned() const noexcept { return abandoned_; }
  // The connection it receives on; valid while receiving() (the slot lock is held).
  ws::WsConnection& connection() const noexcept { return *sh_.slot->conn; }

 private:
  enum class Phase {
    Unstarted,  // counted as unsent; nothing locked
    Sending,    // slot lock held; the request not (completely) written
    Sent,       // slot lock held; the request is out, to queue again for the receive phase
    Receiving,  // slot lock held; deadline running
    Done,
  };

  Next fail(std::string msg, bool drop);
  Next end(RpcResult r, bool drop);
  // Steps 6 and 7.
  void release(bool drop) noexcept;
  Next wait_or_time_out(Next what);
  Next handle_frame(const ws::WsParser::Message& m);
  // Step 5's start, with the lock held again: the connection the request went out on, and the
  // deadline from now.
  Next enter_receive();
  Next write_request();

  EngineShared sh_;
  std::uint16_t fnId_;
  codec::Bytes payload_;
  runtime::Timeout timeout_;
  Abandoned abandoned_ = std::make_shared<std::atomic<bool>>(false);

  Phase phase_ = Phase::Unstarted;
  std::optional<UnsentMark> unsent_;
  runtime::AsyncMutex::Guard slot_;
  std::uint32_t seq_ = 0;
  std::uint64_t sent_on_ = 0;  // which connection the request went out on
  runtime::Clock::time_point deadline_{};
  RpcResult result_;
};

}  // namespace rpc
