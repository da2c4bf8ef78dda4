// floor_server: the fastest the engine's side of the link can be on this machine.
//
// A minimal native WebSocket server (Boost.Beast, one thread, synchronous calls) that plays the
// engine against bench/native_peer with the very frames the engine sends: it listens on
// 127.0.0.1 (a free port), starts the peer, accepts it, sends the text handshake and then runs,
// for several rounds:
//   rt       step_next round trips (fnId 2), one exchange at a time: median and 99th percentile
//   tp       throughput with 64 requests outstanding: 64 written, then 64 responses read, repeated
//   up_*     init_candles (fnId 100) with a rows x cols MatF64 request, empty response
//   down_*   get_ohlc (fnId 15), rows x cols MatF64 response
// Bulk transfers run twice:
//   *_reused  upload: the request frame is built once and re-sent; download: the response is
//             received into a reused buffer and left there (pure transfer).
//   *_fresh   upload: each request frame is built by copying the matrix into freshly allocated
//             memory; download: the received values are copied into freshly allocated memory.
//             Fresh blocks are 2 MiB aligned with madvise(MADV_HUGEPAGE), as NumPy does for large
//             arrays. This is the work an engine that returns a new array (or takes one) must do.
// No Python module can beat these numbers; bench/bench.py compares against them.
//
// Prints one JSON object on stdout. Usage:
//   floor_server --peer PATH [--rounds 3] [--rt 20000] [--warmup 2000] [--tp-batches 1000]
//                [--bulk 8] [--rows 1000000] [--cols 5] [--snapshot 16]
// A count of 0 (--rt, --tp-batches, --bulk) skips that measurement.
#include <spawn.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

#include <boost/asio/ip/tcp.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/websocket.hpp>

#include "codec/frame.hpp"

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace websocket = beast::websocket;
using tcp = asio::ip::tcp;
using Clock = std::chrono::steady_clock;

extern char** environ;

namespace {

constexpr std::size_t kHuge = std::size_t{2} << 20;

struct Options {
  std::string peer;
  int rounds = 3;
  int rt = 20000;
  int warmup = 2000;
  int tp_batches = 1000;
  int bulk = 8;
  std::uint32_t rows = 1'000'000, cols = 5, snapshot = 16;
};

constexpr std::size_t kHead = codec::FRAME_HEADER_LEN;

void store_u32(std::uint8_t* p, std::uint32_t v) { std::memcpy(p, &v, 4); }

// Every frame the floor sends is a Request.
void write_header(std::uint8_t* b, std::uint32_t seq, std::uint16_t fnId, std::uint32_t len) {
  codec::write_frame_header(b, codec::FrameKind::Request, seq, fnId, len);
}

// Fresh memory as NumPy gets it for a large array: 2 MiB aligned, huge pages advised.
void* fresh_block(std::size_t bytes) {
  const std::size_t rounded = (bytes + kHuge - 1) & ~(kHuge - 1);
  void* p = std::aligned_alloc(kHuge, rounded);
  if (!p) throw std::bad_alloc();
  (void)::madvise(p, rounded, MADV_HUGEPAGE);
  return p;
}

// Keeps the compiler from dropping copies into memory that is freed right after.
inline void keep(void* p) { asm volatile("" : : "r"(p) : "memory"); }

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  const std::size_t n = v.size();
  return n % 2 ? v[n / 2] : 0.5 * (v[n / 2 - 1] + v[n / 2]);
}

double percentile(std::vector<double> v, double q) {
  std::sort(v.begin(), v.end());
  const std::size_t i = std::min(v.size() - 1, static_cast<std::size_t>(q * (v.size() - 1) + 0.5));
  return v[i];
}

class Floor {
 public:
  Floor(websocket::stream<tcp::socket>& ws, const Options& o) : ws_(ws), o_(o) {
    const std::size_t count = std::size_t{o.rows} * o.cols;
    matrix_.resize(count);
    for (std::size_t i = 0; i < count; ++i) matrix_[i] = 1000.0 + static_cast<double>(i % 9973) * 0.5;
    payload_len_ = 8 + 8 * count;
    upload_.resize(kHead + payload_len_);
    write_header(upload_.data(), 0, 100, static_cast<std::uint32_t>(payload_len_));
    store_u32(upload_.data() + kHead, o.rows);
    store_u32(upload_.data() + kHead + 4, o.cols);
    std::memcpy(upload_.data() + kHead + 8, matrix_.data(), 8 * count);
  }

  std::size_t payload_len() const { return payload_len_; }

  // One exchange: sends `frame`, reads the response into buf_ and checks it. Returns the
  // response payload's size.
  std::size_t exchange(const void* frame, std::size_t len, std::uint32_t seq, std::uint16_t fnId) {
    ws_.write(asio::buffer(frame, len));
    return read_response(seq, fnId);
  }

  std::size_t read_response(std::uint32_t seq, std::uint16_t fnId) {
    buf_.consume(buf_.size());
    ws_.read(buf_);
    const auto* m = static_cast<const std::uint8_t*>(buf_.data().data());
    auto head = codec::parse_frame_header({m, buf_.size()});
    if (!head || head.value().version != codec::PROTOCOL_VERSION ||
        head.value().kind != static_cast<std::uint8_t>(codec::FrameKind::Response) || head.value().seq != seq ||
        head.value().fnId != fnId)
      throw std::runtime_error("unexpected response");
    return head.value().payloadLen;
  }

  const std::uint8_t* response_payload() const { return static_cast<const std::uint8_t*>(buf_.data().data()) + kHead; }

  void step(std::uint8_t* req) {
    const std::uint32_t seq = seq_++;
    write_header(req, seq, 2, 0);
    exchange(req, kHead, seq, 2);
  }

  void round_trips(int n, std::vector<double>& us) {
    std::uint8_t req[kHead];
    for (int i = 0; i < o_.warmup; ++i) step(req);
    us.clear();
    us.reserve(n);
    for (int i = 0; i < n; ++i) {
      const auto t0 = Clock::now();
      step(req);
      us.push_back(std::chrono::duration<double, std::micro>(Clock::now() - t0).count());
    }
  }

  double throughput(int batches) {
    std::uint8_t req[64][kHead];
    auto batch = [&] {
      const std::uint32_t first = seq_;
      for (int k = 0; k < 64; ++k) {
        write_header(req[k], seq_++, 2, 0);
        ws_.write(asio::buffer(req[k], kHead));
      }
      for (int k = 0; k < 64; ++k) read_response(first + k, 2);
    };
    for (int i = 0; i < std::max(1, batches / 10); ++i) batch();
    const auto t0 = Clock::now();
    for (int i = 0; i < batches; ++i) batch();
    const double s = std::chrono::duration<double>(Clock::now() - t0).count();
    return 64.0 * batches / s;
  }

  // MB/s (1 MB = 10^6 bytes of payload) of init_candles-like uploads.
  double upload(int reps, bool fresh) {
    std::vector<double> secs;
    for (int i = 0; i < reps + 1; ++i) {
      const std::uint32_t seq = seq_++;
      const auto t0 = Clock::now();
      if (fresh) {
        auto* b = static_cast<std::uint8_t*>(fresh_block(kHead + payload_len_));
        write_header(b, seq, 100, static_cast<std::uint32_t>(payload_len_));
        store_u32(b + kHead, o_.rows);
        store_u32(b + kHead + 4, o_.cols);
        std::memcpy(b + kHead + 8, matrix_.data(), payload_len_ - 8);
        exchange(b, kHead + payload_len_, seq, 100);
        std::free(b);
      } else {
        write_header(upload_.data(), seq, 100, static_cast<std::uint32_t>(payload_len_));
        exchange(upload_.data(), upload_.size(), seq, 100);
      }
      const double s = std::chrono::duration<double>(Clock::now() - t0).count();
      if (i > 0) secs.push_back(s);  // the first one is a warm-up
    }
    return payload_len_ / 1e6 / median(secs);
  }

  // MB/s of get_ohlc-like downloads.
  double download(int reps, bool fresh) {
    std::vector<double> secs;
    std::uint8_t req[kHead];
    for (int i = 0; i < reps + 1; ++i) {
      const std::uint32_t seq = seq_++;
      write_header(req, seq, 15, 0);
      const auto t0 = Clock::now();
      const std::size_t plen = exchange(req, kHead, seq, 15);
      if (plen != payload_len_) throw std::runtime_error("unexpected get_ohlc size");
      if (fresh) {
        void* b = fresh_block(plen - 8);
        std::memcpy(b, response_payload() + 8, plen - 8);
        keep(b);
        std::free(b);
      }
      const double s = std::chrono::duration<double>(Clock::now() - t0).count();
      if (i > 0) secs.push_back(s);
    }
    return payload_len_ / 1e6 / median(secs);
  }

 private:
  websocket::stream<tcp::socket>& ws_;
  const Options& o_;
  beast::flat_buffer buf_;
  std::vector<double> matrix_;
  std::vector<std::uint8_t> upload_;
  std::size_t payload_len_ = 0;
  std::uint32_t seq_ = 1;
};

Options parse(int argc, char** argv) {
  Options o;
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string a = argv[i];
    const char* v = argv[i + 1];
    if (a == "--peer") o.peer = v;
    else if (a == "--rounds") o.rounds = std::atoi(v);
    else if (a == "--rt") o.rt = std::atoi(v);
    else if (a == "--warmup") o.warmup = std::atoi(v);
    else if (a == "--tp-batches") o.tp_batches = std::atoi(v);
    else if (a == "--bulk") o.bulk = std::atoi(v);
    else if (a == "--rows") o.rows = static_cast<std::uint32_t>(std::strtoul(v, nullptr, 10));
    else if (a == "--cols") o.cols = static_cast<std::uint32_t>(std::strtoul(v, nullptr, 10));
    else if (a == "--snapshot") o.snapshot = static_cast<std::uint32_t>(std::strtoul(v, nullptr, 10));
    else throw std::runtime_error("unknown option " + a);
  }
  if (o.peer.empty()) throw std::runtime_error("--peer PATH is required");
  return o;
}

}  // namespace

int main(int argc, char** argv) {
  pid_t pid = -1;
  try {
    const Options o = parse(argc, argv);
    asio::io_context ioc;
    tcp::acceptor acceptor(ioc, tcp::endpoint(asio::ip::make_address("127.0.0.1"), 0));
    const std::string port = std::to_string(acceptor.local_endpoint().port());
    const std::string rows = std::to_string(o.rows), cols = std::to_string(o.cols),
                      snap = std::to_string(o.snapshot);
    std::vector<const char*> args = {o.peer.c_str(), "127.0.0.1", port.c_str(), "--rows", rows.c_str(),
                                     "--cols",       cols.c_str(), "--snapshot", snap.c_str(), nullptr};
    if (posix_spawn(&pid, o.peer.c_str(), nullptr, nullptr, const_cast<char* const*>(args.data()), environ) != 0)
      throw std::runtime_error("cannot start " + o.peer);

    websocket::stream<tcp::socket> ws(ioc);
    acceptor.accept(ws.next_layer());
    ws.next_layer().set_option(tcp::no_delay(true));
    ws.read_message_max(std::size_t{64} << 20);
    ws.auto_fragment(false);
    ws.accept();
    ws.text(true);
    ws.write(asio::buffer(std::string(R"({"type":"handshake","python_library_version":"0.1.0"})")));
    ws.binary(true);

    Floor f(ws, o);
    std::string out = "{\"payload_bytes\": " + std::to_string(f.payload_len()) + ", \"rounds\": [";
    std::vector<double> us;
    for (int r = 0; r < o.rounds; ++r) {
      // A count of 0 skips that measurement (its values are then null).
      char line[512];
      out += r ? ", {" : "{";
      if (o.rt > 0) {
        f.round_trips(o.rt, us);
        std::snprintf(line, sizeof line, "\"rt_median_us\": %.3f, \"rt_p99_us\": %.3f", median(us),
                      percentile(us, 0.99));
      } else {
        std::snprintf(line, sizeof line, "\"rt_median_us\": null, \"rt_p99_us\": null");
      }
      out += line;
      if (o.tp_batches > 0) std::snprintf(line, sizeof line, ", \"tp_ops\": %.1f", f.throughput(o.tp_batches));
      else std::snprintf(line, sizeof line, ", \"tp_ops\": null");
      out += line;
      if (o.bulk > 0) {
        const double upr = f.upload(o.bulk, false), upf = f.upload(o.bulk, true);
        const double dnr = f.download(o.bulk, false), dnf = f.download(o.bulk, true);
        std::snprintf(line, sizeof line,
                      ", \"up_reused_mbs\": %.1f, \"up_fresh_mbs\": %.1f, \"down_reused_mbs\": %.1f, "
                      "\"down_fresh_mbs\": %.1f}",
                      upr, upf, dnr, dnf);
      } else {
        std::snprintf(line, sizeof line,
                      ", \"up_reused_mbs\": null, \"up_fresh_mbs\": null, \"down_reused_mbs\": null, "
                      "\"down_fresh_mbs\": null}");
      }
      out += line;
    }
    out += "]}";
    std::printf("%s\n", out.c_str());
    beast::error_code ec;
    ws.next_layer().close(ec);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "floor_server: %s\n", e.what());
    if (pid > 0) kill(pid, SIGTERM);
    return 1;
  }
  if (pid > 0) waitpid(pid, nullptr, 0);
  return 0;
}
