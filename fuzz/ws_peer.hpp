#pragma once
// A minimal WebSocket peer on plain sockets for the streaming fuzz targets: one connection at
// a time, driven from the fuzzer's own thread, frames written exactly as the current input
// says. As a server (accept) it listens on loopback and sends unmasked frames; as a client
// (connect) it sends masked ones. RFC 6455 handshake.

#include "loopback.hpp"

#include <openssl/evp.h>
#include <openssl/sha.h>

#include <cctype>
#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace tolbu_fuzz {

// The messages of one frame: the JSON protocol sends several in a frame, a line each.
inline std::vector<std::string_view> lines(const std::string& frame) {
  std::vector<std::string_view> out;
  std::size_t start = 0;
  while (start < frame.size()) {
    auto end = frame.find('\n', start);
    if (end == std::string::npos) end = frame.size();
    out.emplace_back(frame.data() + start, end - start);
    start = end + 1;
  }
  return out;
}

class WsPeer {
 public:
  WsPeer() : listen_fd_(listen_loopback(port_)) {}
  ~WsPeer() {
    drop();
    ::close(listen_fd_);
  }
  std::uint16_t port() const { return port_; }
  bool connected() const { return fd_ >= 0; }

  // Connects to a WebSocket server on 127.0.0.1:port as a client; false when it refused.
  bool connect(std::uint16_t port, std::string_view path) {
    drop();
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(port);
    if (::connect(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
      drop();
      return false;
    }
    // Small frames back to back: without this, Nagle waits for the peer's delayed ACK.
    const int one = 1;
    ::setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    masked_ = true;
    send_all(fd_, "GET " + std::string(path) +
                      " HTTP/1.1\r\nHost: 127.0.0.1\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
                      "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n"
                      "Sec-WebSocket-Protocol: centrifuge-json\r\n\r\n");
    const std::string head = read_head();
    if (head.rfind("HTTP/1.1 101", 0) != 0) {
      drop();
      return false;
    }
    return true;
  }

  // Takes the next connection and completes its handshake; false when none came in time.
  bool accept(std::chrono::milliseconds timeout) {
    drop();
    masked_ = false;
    if (!readable(listen_fd_, timeout)) return false;
    fd_ = ::accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd_ < 0) return false;
    const int one = 1;
    ::setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    const std::string head = read_head();
    if (head.empty()) return false;
    const std::string key = header(head, "sec-websocket-key");
    std::string answer =
        "HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
        "Sec-WebSocket-Accept: " +
        accept_key(key) + "\r\n";
    if (auto protocol = header(head, "sec-websocket-protocol"); !protocol.empty())
      answer += "Sec-WebSocket-Protocol: " + protocol.substr(0, protocol.find(',')) + "\r\n";
    send_all(fd_, answer + "\r\n");
    return true;
  }

  void send_text(std::string_view payload) { send_frame(0x1, payload); }

  void send_frame(int opcode, std::string_view payload) {
    if (fd_ < 0) return;
    std::string frame;
    frame += static_cast<char>(0x80 | opcode);
    if (payload.size() < 126) {
      frame += static_cast<char>(payload.size());
    } else if (payload.size() < 65536) {
      frame += static_cast<char>(126);
      frame += static_cast<char>(payload.size() >> 8);
      frame += static_cast<char>(payload.size() & 0xff);
    } else {
      frame += static_cast<char>(127);
      for (int shift = 56; shift >= 0; shift -= 8)
        frame += static_cast<char>((payload.size() >> shift) & 0xff);
    }
    if (masked_) {
      frame[1] = static_cast<char>(frame[1] | 0x80);
      const char mask[4] = {0x12, 0x34, 0x56, 0x78};
      frame.append(mask, 4);
      for (std::size_t i = 0; i < payload.size(); ++i) frame += payload[i] ^ mask[i % 4];
    } else {
      frame.append(payload);
    }
    send_all(fd_, frame);
  }

  // The next text message of the client; empty with connected() false when the connection
  // ended, empty with connected() true when nothing came in time.
  std::string read_text(std::chrono::milliseconds timeout) {
    std::string message;
    for (;;) {
      std::uint8_t h[2];
      if (!read_exact(h, 2, timeout)) return {};
      std::uint64_t length = h[1] & 0x7f;
      if (length == 126 || length == 127) {
        std::uint8_t ext[8];
        const std::size_t n = length == 126 ? 2 : 8;
        if (!read_exact(ext, n, timeout)) return {};
        length = 0;
        for (std::size_t i = 0; i < n; ++i) length = (length << 8) | ext[i];
      }
      std::uint8_t mask[4] = {0, 0, 0, 0};
      if ((h[1] & 0x80) && !read_exact(mask, 4, timeout)) return {};
      if (length > (1u << 24)) {
        drop();
        return {};
      }
      std::string payload(length, '\0');
      if (length && !read_exact(reinterpret_cast<std::uint8_t*>(payload.data()), length, timeout))
        return {};
      for (std::size_t i = 0; i < payload.size(); ++i) payload[i] ^= static_cast<char>(mask[i % 4]);
      const int opcode = h[0] & 0x0f;
      if (opcode == 0x8) {  // close: answer it and end
        send_frame(0x8, payload.substr(0, 125));
        drop();
        return {};
      }
      if (opcode == 0x9) {  // ping
        send_frame(0xa, payload.substr(0, 125));
        continue;
      }
      if (opcode == 0xa) continue;
      message += payload;
      if (h[0] & 0x80) return message;
    }
  }

  void drop() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }

 private:
  // The HTTP head of a handshake, byte by byte so that no frame after it is taken; empty
  // (and the connection dropped) when it does not come.
  std::string read_head() {
    std::string head;
    char c;
    while (head.find("\r\n\r\n") == std::string::npos && head.size() < 16384) {
      if (!readable(fd_, std::chrono::milliseconds(2000)) || ::recv(fd_, &c, 1, 0) != 1) {
        drop();
        return {};
      }
      head += c;
    }
    return head;
  }

  bool read_exact(std::uint8_t* out, std::size_t n, std::chrono::milliseconds timeout) {
    while (n > 0) {
      if (fd_ < 0 || !readable(fd_, timeout)) return false;
      const auto got = ::recv(fd_, out, n, 0);
      if (got <= 0) {
        drop();
        return false;
      }
      out += got;
      n -= static_cast<std::size_t>(got);
    }
    return true;
  }

  static std::string header(const std::string& head, std::string_view name) {
    std::string lower(head);
    for (auto& ch : lower) ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
    const auto at = lower.find("\r\n" + std::string(name) + ":");
    if (at == std::string::npos) return {};
    auto start = at + name.size() + 3;
    while (start < head.size() && head[start] == ' ') ++start;
    return head.substr(start, head.find("\r\n", start) - start);
  }

  static std::string accept_key(const std::string& key) {
    const std::string text = key + "258EAFA5-E914-47DA-95CA-C5AB0DC85B11";
    unsigned char digest[SHA_DIGEST_LENGTH];
    SHA1(reinterpret_cast<const unsigned char*>(text.data()), text.size(), digest);
    unsigned char out[64];
    const int n = EVP_EncodeBlock(out, digest, SHA_DIGEST_LENGTH);
    return std::string(reinterpret_cast<char*>(out), static_cast<std::size_t>(n));
  }

  std::uint16_t port_ = 0;
  int listen_fd_;
  int fd_ = -1;
  bool masked_ = false;
};

}  // namespace tolbu_fuzz
