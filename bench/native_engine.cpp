// native_engine: the agent and engine of the browser benchmark in C++, the limit that no Python
// module can beat against the same pages.
//
// One thread, one io_context, Boost.Beast, one WebSocket server per port and one browser page
// per server. It does what bench/browser_agent.py does with a Python engine, with the same frames
// and the same candles, and talks to bench/browser_bench.py in the same JSON lines:
//   1. binds every port and prints {"event": "listening"};
//   2. accepts one page per port (sends the handshake), uploads the candles (init_candles),
//      resets episode 0, prints {"event": "connected"} and waits for a line on stdin;
//   3. steps for --warmup seconds, prints {"event": "ready"} and waits for a line on stdin;
//   4. steps for --secs seconds and prints {"event": "done", ...} with its processor time.
// One step of a page is step_next then get_snapshot (--mode two) or step_and_sync (--mode sync);
// an episode that has taken all its steps is reset to the next training episode first. All pages
// take each step together, as asyncio.gather does: the next step starts when every page is done.
//
// Usage: native_engine --ports P1,P2,... [--mode two|sync] [--episode-length 50] [--window 20]
//                      [--warmup 0.5] [--secs 2]
#include <sys/resource.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include <boost/asio/as_tuple.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/websocket.hpp>

#include "codec/frame.hpp"

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace websocket = beast::websocket;
using tcp = asio::ip::tcp;
using asio::awaitable;
using asio::use_awaitable;
using Clock = std::chrono::steady_clock;

namespace {

constexpr std::uint16_t kStepNext = 2, kGetSnapshot = 12, kInitCandles = 100, kResetEpisode = 101,
                        kStepAndSync = 130;

struct Options {
  std::vector<unsigned short> ports;
  bool sync = false;
  int episode_length = 50;
  int window = 20;
  double warmup = 0.5;
  double secs = 2.0;
};

void store_u32(std::uint8_t* p, std::uint32_t v) { std::memcpy(p, &v, 4); }
std::uint32_t load_u32(const std::uint8_t* p) {
  std::uint32_t v;
  std::memcpy(&v, p, 4);
  return v;
}

// The same series as candles() in bench/browser_agent.py.
std::vector<std::uint8_t> candles_payload(std::uint32_t rows) {
  std::vector<std::uint8_t> out(8 + std::size_t{8} * 5 * rows);
  store_u32(out.data(), rows);
  store_u32(out.data() + 4, 5);
  double prev = 100.0;
  std::uint8_t* p = out.data() + 8;
  for (std::uint32_t i = 0; i < rows; ++i) {
    const double close = 100.0 + 5.0 * std::sin(i / 10.0) + 0.01 * i;
    const double open = i ? prev : 100.0;
    const double row[5] = {open, std::max(open, close) + 0.25, std::min(open, close) - 0.25, close, 10.0};
    std::memcpy(p, row, sizeof row);
    p += sizeof row;
    prev = close;
  }
  return out;
}

int train_episodes(int rows, int window, int length) {
  const int slots = (rows - window) / length;
  const int test = slots <= 1 ? 0 : std::max(1, static_cast<int>(slots * 0.25));
  return slots - test;
}

struct Page {
  explicit Page(asio::io_context& ioc) : ws(ioc) {}
  websocket::stream<tcp::socket> ws;
  beast::flat_buffer in;
  std::vector<std::uint8_t> out;
  std::uint32_t seq = 1;
  int steps = 0;  // taken in the current episode
  std::uint32_t episode = 0;
  std::vector<double> snapshot;  // what the agent reads, decoded as a Python engine would
  std::vector<double> window;
};

// One exchange: the request frame, then the first binary message, which must be its Response.
// Returns the response payload (inside page.in).
awaitable<std::pair<const std::uint8_t*, std::size_t>> call(Page& p, std::uint16_t fnId,
                                                             const std::vector<std::uint8_t>* payload = nullptr) {
  const std::size_t n = payload ? payload->size() : 0;
  p.out.resize(codec::FRAME_HEADER_LEN + n);
  std::uint8_t* h = p.out.data();
  const std::uint32_t seq = p.seq++;
  codec::write_frame_header(h, codec::FrameKind::Request, seq, fnId, static_cast<std::uint32_t>(n));
  if (n) std::memcpy(h + codec::FRAME_HEADER_LEN, payload->data(), n);
  co_await p.ws.async_write(asio::buffer(p.out), use_awaitable);
  for (;;) {
    p.in.consume(p.in.size());
    co_await p.ws.async_read(p.in, use_awaitable);
    if (p.ws.got_text()) continue;
    const auto* m = static_cast<const std::uint8_t*>(p.in.data().data());
    const std::size_t len = p.in.size();
    auto head = codec::parse_frame_header({m, len});
    if (!head || head.value().version != codec::PROTOCOL_VERSION ||
        head.value().kind != static_cast<std::uint8_t>(codec::FrameKind::Response) || head.value().seq != seq ||
        head.value().fnId != fnId)
      throw std::runtime_error("unexpected answer to fnId " + std::to_string(fnId));
    co_return std::make_pair(m + codec::FRAME_HEADER_LEN, len - codec::FRAME_HEADER_LEN);
  }
}

void read_vec(const std::uint8_t* p, std::size_t len, std::vector<double>& out, std::size_t& used) {
  if (len < 4) throw std::runtime_error("VecF64 payload too short");
  const std::uint32_t n = load_u32(p);
  if (len < 4 + std::size_t{8} * n) throw std::runtime_error("VecF64 length mismatch");
  out.resize(n);
  std::memcpy(out.data(), p + 4, std::size_t{8} * n);
  used = 4 + std::size_t{8} * n;
}

class Agent {
 public:
  Agent(asio::io_context& ioc, const Options& o) : ioc_(ioc), o_(o), done_(ioc) {
    rows_ = o.window + 20 * o.episode_length;
    episodes_ = train_episodes(rows_, o.window, o.episode_length);
    for (unsigned short port : o.ports) {
      acceptors_.push_back(std::make_unique<tcp::acceptor>(ioc, tcp::endpoint(asio::ip::make_address("127.0.0.1"), port)));
      pages_.push_back(std::make_unique<Page>(ioc));
    }
  }

  awaitable<void> main() {
    std::printf("{\"event\": \"listening\", \"pid\": %d}\n", static_cast<int>(getpid()));
    std::fflush(stdout);
    co_await all([this](std::size_t i) { return accept(i); });
    const auto candles = candles_payload(static_cast<std::uint32_t>(rows_));
    co_await all([&](std::size_t i) -> awaitable<void> { co_await call(*pages_[i], kInitCandles, &candles); });
    co_await all([this](std::size_t i) { return reset(*pages_[i], 0); });
    // Blocking reads of stdin are fine: nothing else runs meanwhile, the pages wait for requests.
    std::string line;
    std::printf("{\"event\": \"connected\"}\n");
    std::fflush(stdout);
    std::getline(std::cin, line);
    co_await steps_until(Clock::now() + seconds(o_.warmup));
    std::printf("{\"event\": \"ready\"}\n");
    std::fflush(stdout);
    std::getline(std::cin, line);
    resets_ = 0;
    const double cpu0 = cpu_seconds();
    const auto t0 = Clock::now();
    const long rounds = co_await steps_until(t0 + seconds(o_.secs));
    const double secs = std::chrono::duration<double>(Clock::now() - t0).count();
    const double cpu = cpu_seconds() - cpu0;
    std::printf("{\"event\": \"done\", \"rounds\": %ld, \"steps\": %ld, \"secs\": %.6f, \"cpu\": %.6f, \"resets\": %ld}\n",
                rounds, rounds * static_cast<long>(pages_.size()), secs, cpu, resets_);
    std::fflush(stdout);
    for (auto& p : pages_) {
      beast::error_code ec;
      p->ws.next_layer().close(ec);
    }
  }

 private:
  static Clock::duration seconds(double s) {
    return std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(s));
  }

  static double cpu_seconds() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return u.ru_utime.tv_sec + u.ru_stime.tv_sec + (u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
  }

  // Runs make(i) for every page at once and returns when all have ended (asyncio.gather).
  template <class Make>
  awaitable<void> all(Make make) {
    pending_ = pages_.size();
    for (std::size_t i = 0; i < pages_.size(); ++i) {
      asio::co_spawn(ioc_, make(i), [this](std::exception_ptr e) {
        if (e) std::rethrow_exception(e);
        if (--pending_ == 0) done_.cancel();
      });
    }
    while (pending_) {
      done_.expires_at(Clock::time_point::max());
      co_await done_.async_wait(asio::as_tuple(use_awaitable));
    }
  }

  awaitable<void> accept(std::size_t i) {
    Page& p = *pages_[i];
    co_await acceptors_[i]->async_accept(p.ws.next_layer(), use_awaitable);
    p.ws.next_layer().set_option(tcp::no_delay(true));
    p.ws.read_message_max(std::size_t{64} << 20);
    co_await p.ws.async_accept(use_awaitable);
    p.ws.text(true);
    co_await p.ws.async_write(asio::buffer(std::string(R"({"type":"handshake","python_library_version":"0.1.0"})")),
                              use_awaitable);
    p.ws.binary(true);
  }

  awaitable<void> reset(Page& p, std::uint32_t episode) {
    std::vector<std::uint8_t> payload(5, 0);
    store_u32(payload.data(), episode);
    co_await call(p, kResetEpisode, &payload);
    p.episode = episode;
    p.steps = 0;
  }

  awaitable<void> step(Page& p) {
    if (p.steps == o_.episode_length) {
      co_await reset(p, (p.episode + 1) % static_cast<std::uint32_t>(episodes_));
      ++resets_;
    }
    std::size_t used = 0;
    if (o_.sync) {
      auto [data, len] = co_await call(p, kStepAndSync);
      read_vec(data, len, p.snapshot, used);
      if (len < used + 8) throw std::runtime_error("VecMatF64 missing matrix header");
      const std::size_t values = std::size_t{load_u32(data + used)} * load_u32(data + used + 4);
      if (len != used + 8 + 8 * values) throw std::runtime_error("VecMatF64 length mismatch");
      p.window.resize(values);
      std::memcpy(p.window.data(), data + used + 8, 8 * values);
    } else {
      co_await call(p, kStepNext);
      auto [data, len] = co_await call(p, kGetSnapshot);
      read_vec(data, len, p.snapshot, used);
      if (used != len) throw std::runtime_error("VecF64 length mismatch");
    }
    ++p.steps;
  }

  awaitable<long> steps_until(Clock::time_point deadline) {
    long rounds = 0;
    while (Clock::now() < deadline) {
      co_await all([this](std::size_t i) { return step(*pages_[i]); });
      ++rounds;
    }
    co_return rounds;
  }

  asio::io_context& ioc_;
  const Options& o_;
  asio::steady_timer done_;
  std::size_t pending_ = 0;
  int rows_ = 0;
  int episodes_ = 1;
  long resets_ = 0;
  std::vector<std::unique_ptr<tcp::acceptor>> acceptors_;
  std::vector<std::unique_ptr<Page>> pages_;
};

Options parse(int argc, char** argv) {
  Options o;
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string a = argv[i];
    const std::string v = argv[i + 1];
    if (a == "--ports") {
      std::size_t at = 0;
      while (at <= v.size()) {
        const std::size_t comma = v.find(',', at);
        o.ports.push_back(static_cast<unsigned short>(std::stoi(v.substr(at, comma - at))));
        if (comma == std::string::npos) break;
        at = comma + 1;
      }
    } else if (a == "--mode") {
      if (v != "two" && v != "sync") throw std::runtime_error("--mode is two or sync");
      o.sync = v == "sync";
    } else if (a == "--episode-length") o.episode_length = std::stoi(v);
    else if (a == "--window") o.window = std::stoi(v);
    else if (a == "--warmup") o.warmup = std::stod(v);
    else if (a == "--secs") o.secs = std::stod(v);
    else throw std::runtime_error("unknown option " + a);
  }
  if (o.ports.empty()) throw std::runtime_error("--ports P1,P2,... is required");
  if (o.episode_length < 1 || o.window < 1) throw std::runtime_error("bad --episode-length or --window");
  return o;
}

}  // namespace

int main(int argc, char** argv) {
  try {
    const Options o = parse(argc, argv);
    asio::io_context ioc(1);
    Agent agent(ioc, o);
    asio::co_spawn(ioc, agent.main(), [](std::exception_ptr e) {
      if (e) std::rethrow_exception(e);
    });
    ioc.run();
  } catch (const std::exception& e) {
    std::fprintf(stderr, "native_engine: %s\n", e.what());
    return 1;
  }
  return 0;
}
