// native_peer: stands in for the browser user interface in the benchmarks.
//
// Connects as the WebSocket client (Boost.Beast handshake, no Origin header), reads the engine's
// text handshake, then answers every binary Request frame at once, in arrival order, with a fixed
// Response per fnId:
//   fnId 2   step_next     empty payload
//   fnId 12  get_snapshot  VecF64 of --snapshot values
//   fnId 15  get_ohlc      MatF64 of --rows x --cols values
//   fnId 100 init_candles  empty payload
//   any other fnId          empty payload
//
// Single-threaded and synchronous. Messages are read with Beast. Responses are written straight
// to the socket as ready-made, pre-masked client frames: each response frame (WebSocket header,
// masking key, masked frame header and payload) is built and masked once at start-up, and per
// request only the 6 masked bytes of seq and fnId are patched. A client must mask what it sends;
// doing it once keeps the peer's per-message cost down to one send, so what the benchmarks see is
// the engine's side. The fixed masking key is fine for a benchmark, not for a browser.
//
// Usage: native_peer HOST PORT [--snapshot N] [--rows R] [--cols C] [--path /]
// Exits 0 when the engine closes the connection.
#include <netinet/in.h>
#include <netinet/tcp.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unordered_map>
#include <vector>

#include <boost/asio/connect.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/websocket.hpp>

#include "codec/frame.hpp"

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace websocket = beast::websocket;
using tcp = asio::ip::tcp;

namespace {

constexpr std::uint8_t MASK[4] = {0x37, 0xfa, 0x21, 0x3d};

void store_u32(std::uint8_t* p, std::uint32_t v) { std::memcpy(p, &v, 4); }

// A ready client frame: [ws header][mask key][masked (16-byte RPC header + payload)].
struct Reply {
  std::vector<std::uint8_t> bytes;
  std::size_t body = 0;  // offset of the RPC header inside `bytes`
};

Reply make_reply(std::uint16_t fnId, const std::vector<std::uint8_t>& payload) {
  const std::uint64_t n = codec::FRAME_HEADER_LEN + payload.size();
  std::uint8_t hdr[14];
  std::size_t h = 2;
  hdr[0] = 0x82;  // FIN, binary
  if (n < 126) {
    hdr[1] = 0x80 | static_cast<std::uint8_t>(n);
  } else if (n <= 0xFFFF) {
    hdr[1] = 0x80 | 126;
    hdr[2] = static_cast<std::uint8_t>(n >> 8);
    hdr[3] = static_cast<std::uint8_t>(n);
    h = 4;
  } else {
    hdr[1] = 0x80 | 127;
    for (int i = 0; i < 8; ++i) hdr[2 + i] = static_cast<std::uint8_t>(n >> (56 - 8 * i));
    h = 10;
  }
  std::memcpy(hdr + h, MASK, 4);
  h += 4;
  Reply r;
  r.body = h;
  r.bytes.resize(h + n);
  std::memcpy(r.bytes.data(), hdr, h);
  std::uint8_t* b = r.bytes.data() + h;
  // seq 0: patched per request.
  codec::write_frame_header(b, codec::FrameKind::Response, 0, fnId, static_cast<std::uint32_t>(payload.size()));
  if (!payload.empty()) std::memcpy(b + codec::FRAME_HEADER_LEN, payload.data(), payload.size());
  for (std::uint64_t i = 0; i < n; ++i) b[i] ^= MASK[i & 3];
  return r;
}

std::vector<std::uint8_t> vec_f64(std::uint32_t n) {
  std::vector<std::uint8_t> p(4 + 8 * std::size_t{n});
  store_u32(p.data(), n);
  for (std::uint32_t i = 0; i < n; ++i) {
    const double v = 100.0 + 0.25 * i;
    std::memcpy(p.data() + 4 + 8 * std::size_t{i}, &v, 8);
  }
  return p;
}

std::vector<std::uint8_t> mat_f64(std::uint32_t rows, std::uint32_t cols) {
  const std::size_t count = std::size_t{rows} * cols;
  std::vector<std::uint8_t> p(8 + 8 * count);
  store_u32(p.data(), rows);
  store_u32(p.data() + 4, cols);
  for (std::size_t i = 0; i < count; ++i) {
    const double v = 1000.0 + static_cast<double>(i % 9973) * 0.5;
    std::memcpy(p.data() + 8 + 8 * i, &v, 8);
  }
  return p;
}

[[noreturn]] void usage() {
  std::fprintf(stderr, "usage: native_peer HOST PORT [--snapshot N] [--rows R] [--cols C] [--path /]\n");
  std::exit(2);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) usage();
  const std::string host = argv[1];
  const std::string port = argv[2];
  std::uint32_t snapshot = 16, rows = 1'000'000, cols = 5;
  std::string path = "/";
  for (int i = 3; i < argc; ++i) {
    const std::string a = argv[i];
    if (i + 1 >= argc) usage();
    const char* v = argv[++i];
    if (a == "--snapshot") snapshot = static_cast<std::uint32_t>(std::strtoul(v, nullptr, 10));
    else if (a == "--rows") rows = static_cast<std::uint32_t>(std::strtoul(v, nullptr, 10));
    else if (a == "--cols") cols = static_cast<std::uint32_t>(std::strtoul(v, nullptr, 10));
    else if (a == "--path") path = v;
    else usage();
  }

  std::unordered_map<std::uint16_t, Reply> replies;
  replies.emplace(2, make_reply(2, {}));
  replies.emplace(12, make_reply(12, vec_f64(snapshot)));
  replies.emplace(15, make_reply(15, mat_f64(rows, cols)));
  replies.emplace(100, make_reply(100, {}));
  std::unordered_map<std::uint16_t, Reply> others;  // empty responses for any other fnId

  try {
    asio::io_context ioc;
    tcp::resolver resolver(ioc);
    websocket::stream<tcp::socket> ws(ioc);
    asio::connect(ws.next_layer(), resolver.resolve(host, port));
    ws.next_layer().set_option(tcp::no_delay(true));
    ws.read_message_max(0);  // no limit: the init_candles request is 40 MB
    ws.auto_fragment(false);
    ws.handshake(host + ":" + port, path);

    beast::flat_buffer buf;
    ws.read(buf);  // the engine's text handshake
    buf.consume(buf.size());

    tcp::socket& sock = ws.next_layer();
    for (;;) {
      beast::error_code ec;
      ws.read(buf, ec);
      if (ec) break;  // closed or dropped by the engine
      const auto* m = static_cast<const std::uint8_t*>(buf.data().data());
      const std::size_t len = buf.size();
      auto head = codec::parse_frame_header({m, len});
      if (ws.got_binary() && head && head.value().kind == static_cast<std::uint8_t>(codec::FrameKind::Request)) {
        const std::uint32_t seq = head.value().seq;
        const std::uint16_t fnId = head.value().fnId;
        auto it = replies.find(fnId);
        if (it == replies.end()) {
          it = others.find(fnId);
          if (it == others.end()) it = others.emplace(fnId, make_reply(fnId, {})).first;
        }
        Reply& r = it->second;
        std::uint8_t* b = r.bytes.data() + r.body;
        // Only seq and fnId (bytes 4 to 9 of the header) differ from the frame built at start-up.
        std::uint8_t plain[codec::FRAME_HEADER_LEN];
        codec::write_frame_header(plain, codec::FrameKind::Response, seq, fnId, 0);
        for (int i = 4; i < 10; ++i) b[i] = plain[i] ^ MASK[i & 3];
        asio::write(sock, asio::buffer(r.bytes), ec);
        if (ec) break;
      }
      buf.consume(len);
    }
  } catch (const std::exception& e) {
    std::fprintf(stderr, "native_peer: %s\n", e.what());
    return 1;
  }
  return 0;
}
