#pragma once
// The body of an answer, held so that the memory it takes stays near its size. A string that
// grows by doubling holds up to twice what it received and copies it on each step; an answer
// of unknown length (chunked, or until the peer closes) is gathered here in pages of its own
// instead and moved into one string at the end, each page returned to the system as soon as
// it has been copied.

#include <boost/asio/buffer.hpp>
#include <boost/beast/core/error.hpp>
#include <boost/beast/http/message.hpp>
#include <boost/optional/optional.hpp>

#include <sys/mman.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace tolbu_sdk::platform::http::detail {

class Pages {
 public:
  static constexpr std::size_t kPage = std::size_t{1} << 20;

  Pages() = default;
  Pages(const Pages&) = delete;
  Pages& operator=(const Pages&) = delete;
  ~Pages() {
    for (auto* page : pages_) ::munmap(page, kPage);
  }

  // False when the system has no memory to give.
  bool append(const char* data, std::size_t n) {
    while (n > 0) {
      if (pages_.empty() || used_ == kPage) {
        void* page =
            ::mmap(nullptr, kPage, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (page == MAP_FAILED) return false;
        pages_.push_back(static_cast<char*>(page));
        used_ = 0;
      }
      std::size_t step = std::min(n, kPage - used_);
      std::memcpy(pages_.back() + used_, data, step);
      used_ += step;
      size_ += step;
      data += step;
      n -= step;
    }
    return true;
  }

  bool empty() const noexcept { return pages_.empty(); }

  // Appends everything to out, releasing each page once copied.
  void move_to(std::string& out) {
    out.reserve(out.size() + size_);
    for (std::size_t i = 0; i < pages_.size(); ++i) {
      out.append(pages_[i], i + 1 == pages_.size() ? used_ : kPage);
      ::munmap(pages_[i], kPage);
    }
    pages_.clear();
    size_ = used_ = 0;
  }

 private:
  std::vector<char*> pages_;
  std::size_t used_ = 0;
  std::size_t size_ = 0;
};

// A Beast body: a string, filled directly when the length is announced (the parser has
// checked it against the limit) or while it stays under a page, through Pages otherwise.
struct PagedStringBody {
  using value_type = std::string;

  static std::uint64_t size(const value_type& body) { return body.size(); }

  class reader {
   public:
    template <bool isRequest, class Fields>
    reader(boost::beast::http::header<isRequest, Fields>&, value_type& body) : body_(body) {}

    void init(const boost::optional<std::uint64_t>& length, boost::beast::error_code& ec) {
      ec = {};
      known_ = length.has_value();
      if (known_) body_.reserve(static_cast<std::size_t>(*length));
    }

    template <class ConstBufferSequence>
    std::size_t put(const ConstBufferSequence& buffers, boost::beast::error_code& ec) {
      ec = {};
      std::size_t total = 0;
      for (auto it = boost::asio::buffer_sequence_begin(buffers);
           it != boost::asio::buffer_sequence_end(buffers); ++it) {
        boost::asio::const_buffer b = *it;
        const char* data = static_cast<const char*>(b.data());
        // Small answers of unknown length (most of them) go straight into the string.
        if (known_ || (pages_.empty() && body_.size() + b.size() <= Pages::kPage)) {
          body_.append(data, b.size());
        } else if (!pages_.append(data, b.size())) {
          ec = make_error_code(std::errc::not_enough_memory);
          return total;
        }
        total += b.size();
      }
      return total;
    }

    void finish(boost::beast::error_code& ec) {
      ec = {};
      if (!known_) pages_.move_to(body_);
    }

   private:
    value_type& body_;
    bool known_ = false;
    Pages pages_;
  };
};

}  // namespace tolbu_sdk::platform::http::detail
