#include "rpc/slot.hpp"

#include "rpc/receive_watch.hpp"

#include <sys/socket.h>

#include <algorithm>

namespace rpc {

void ConnectionSlot::install(std::unique_ptr<ws::WsConnection> c) noexcept {
  drop();
  {
    std::lock_guard lk(fd_m_);
    live_fd_ = c->native_fd();
    live_watch_ = c->watch();
  }
  conn = std::move(c);
  ++generation;
  present_.store(true);
}

void ConnectionSlot::drop() noexcept {
  if (!conn) return;
  {
    // Before the descriptor is closed, so that shut_down never reaches a reused number.
    std::lock_guard lk(fd_m_);
    live_fd_ = -1;
    live_watch_.reset();
  }
  present_.store(false);
  conn->close();
  conn.reset();
}

void ConnectionSlot::shut_down() {
  std::shared_ptr<ReceiveWatch> watch;
  {
    std::lock_guard lk(fd_m_);
    if (live_fd_ >= 0) ::shutdown(live_fd_, SHUT_RDWR);
    watch = live_watch_;
  }
  if (watch) watch->hand_to_runtime();
}

bool Lifecycle::add_listener(const std::shared_ptr<tcp::acceptor>& a, Strand strand, int port) {
  std::lock_guard lk(m_);
  if (closed_.load()) return false;
  listeners_.push_back({a, std::move(strand)});
  bound_port_.store(port);
  return true;
}

bool Lifecycle::add_upgrading(int fd) {
  std::lock_guard lk(m_);
  if (closed_.load()) return false;
  upgrading_.push_back(fd);
  return true;
}

void Lifecycle::remove_upgrading(int fd) noexcept {
  std::lock_guard lk(m_);
  std::erase(upgrading_, fd);
}

std::vector<Lifecycle::Listener> Lifecycle::close() {
  std::lock_guard lk(m_);
  closed_.store(true);
  // The upgrade in progress on each sees its stream end and gives up.
  for (int fd : upgrading_) ::shutdown(fd, SHUT_RDWR);
  return std::exchange(listeners_, {});
}

}  // namespace rpc
