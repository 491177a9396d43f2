// Linked into the fuzz targets that open sockets: an answer that the fuzzer made up may name
// any host (a redirect, say), and the targets must never reach past this machine. connect()
// and addressed sends are refused for anything but loopback, which also keeps name look-ups
// from leaving it.

#include <arpa/inet.h>
#include <dlfcn.h>
#include <errno.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/un.h>

#include <cstring>

namespace {

bool allowed(const sockaddr* addr) {
  if (addr == nullptr) return true;
  switch (addr->sa_family) {
    case AF_UNIX:
    case AF_UNSPEC:
      return true;
    case AF_INET: {
      const auto* in = reinterpret_cast<const sockaddr_in*>(addr);
      return (ntohl(in->sin_addr.s_addr) >> 24) == 127;
    }
    case AF_INET6: {
      const auto* in6 = reinterpret_cast<const sockaddr_in6*>(addr);
      if (IN6_IS_ADDR_LOOPBACK(&in6->sin6_addr)) return true;
      if (IN6_IS_ADDR_V4MAPPED(&in6->sin6_addr)) return in6->sin6_addr.s6_addr[12] == 127;
      return false;
    }
    default:
      return false;
  }
}

template <class F>
F next(const char* name) {
  return reinterpret_cast<F>(dlsym(RTLD_NEXT, name));
}

}  // namespace

extern "C" int connect(int fd, const sockaddr* addr, socklen_t len) {
  static const auto real = next<int (*)(int, const sockaddr*, socklen_t)>("connect");
  if (!allowed(addr)) {
    errno = ENETUNREACH;
    return -1;
  }
  return real(fd, addr, len);
}

extern "C" ssize_t sendto(int fd, const void* buf, size_t n, int flags, const sockaddr* addr,
                          socklen_t len) {
  static const auto real =
      next<ssize_t (*)(int, const void*, size_t, int, const sockaddr*, socklen_t)>("sendto");
  if (!allowed(addr)) {
    errno = ENETUNREACH;
    return -1;
  }
  return real(fd, buf, n, flags, addr, len);
}

extern "C" ssize_t sendmsg(int fd, const msghdr* msg, int flags) {
  static const auto real = next<ssize_t (*)(int, const msghdr*, int)>("sendmsg");
  if (msg && !allowed(static_cast<const sockaddr*>(msg->msg_name))) {
    errno = ENETUNREACH;
    return -1;
  }
  return real(fd, msg, flags);
}

extern "C" int sendmmsg(int fd, mmsghdr* msgs, unsigned int n, int flags) {
  static const auto real = next<int (*)(int, mmsghdr*, unsigned int, int)>("sendmmsg");
  for (unsigned int i = 0; i < n; ++i) {
    if (!allowed(static_cast<const sockaddr*>(msgs[i].msg_hdr.msg_name))) {
      errno = ENETUNREACH;
      return -1;
    }
  }
  return real(fd, msgs, n, flags);
}
