#pragma once
// A double-ended circular buffer: push/pop at the back, drop at the front, index from either
// end. Unbounded by default (grows by doubling); with a maximum size a push onto a full buffer
// drops the oldest element, so steady-state pushes never allocate.

#include <algorithm>
#include <cassert>
#include <cstddef>
#include <memory>
#include <span>
#include <stdexcept>
#include <string>
#include <type_traits>
#include <utility>

namespace tolbu_sdk::ta::support {

template <class T>
// A circular buffer of `T` (default-constructible, movable), oldest first; the history type
// of every indicator and support block.
class RingBuffer {
 public:
  RingBuffer() = default;
  // Bounded to `max_size` elements (0: unbounded).
  explicit RingBuffer(std::size_t max_size) { set_max_size(max_size); }

  // A copy holds the same elements and bound.
  RingBuffer(const RingBuffer& o) { *this = o; }
  // Takes the elements and bound of `o`.
  RingBuffer& operator=(const RingBuffer& o) {
    if (this == &o) return *this;
    clear();
    max_size_ = o.max_size_;
    reserve(o.capacity_);
    for (std::size_t i = 0; i < o.size_; ++i) push_back(o.from_front(i));
    return *this;
  }
  // Takes over the elements of `o`, which is left empty.
  RingBuffer(RingBuffer&& o) noexcept { swap(o); }
  // Exchanges contents with `o`.
  RingBuffer& operator=(RingBuffer&& o) noexcept {
    swap(o);
    return *this;
  }

  // Exchanges contents and bounds with `o`.
  void swap(RingBuffer& o) noexcept {
    std::swap(data_, o.data_);
    std::swap(capacity_, o.capacity_);
    std::swap(head_, o.head_);
    std::swap(size_, o.size_);
    std::swap(max_size_, o.max_size_);
  }

  // 0 means unbounded. Shrinking drops the oldest elements.
  void set_max_size(std::size_t max_size) {
    max_size_ = max_size;
    if (max_size_ != 0) {
      if (size_ > max_size_) pop_front(size_ - max_size_);
      reserve(max_size_);
    }
  }
  // The bound set by set_max_size() (0: unbounded).
  std::size_t max_size() const { return max_size_; }

  // Number of elements held.
  std::size_t size() const { return size_; }
  // Whether no element is held.
  bool empty() const { return size_ == 0; }

  // Makes room for `n` elements without reallocating on the way (rounded up to a power of two).
  void reserve(std::size_t n) {
    if (n <= capacity_) return;
    std::size_t cap = capacity_ == 0 ? 8 : capacity_;
    while (cap < n) cap *= 2;
    regrow(cap);
  }

  // Appends `v` as the newest element; a full bounded buffer drops its oldest first.
  void push_back(const T& v) { emplace_back(v); }
  // Moves `v` in as the newest element, likewise.
  void push_back(T&& v) { emplace_back(std::move(v)); }

  // Constructs the newest element from `a`; a full bounded buffer drops its oldest first.
  template <class... A>
  T& emplace_back(A&&... a) {
    T value(std::forward<A>(a)...);  // first: the arguments may refer to our own elements
    if (max_size_ != 0 && size_ == max_size_) [[likely]] {
      drop_oldest();  // full and bounded
    } else if (size_ == capacity_) [[unlikely]] {
      grow();
    }
    T& slot = data_[(head_ + size_) & (capacity_ - 1)];
    slot = std::move(value);
    ++size_;
    return slot;
  }

  // Drops the newest element; the buffer must not be empty (asserted).
  void pop_back() {
    assert(size_ > 0);
    if constexpr (!std::is_trivially_destructible_v<T>) {
      data_[(head_ + size_ - 1) & (capacity_ - 1)] = T();  // release what it holds
    }
    --size_;
  }

  // Drops the `n` oldest elements (all of them when there are fewer).
  void pop_front(std::size_t n = 1) {
    if (n > size_) n = size_;
    for (std::size_t i = 0; i < n; ++i) drop_oldest();
  }

  // Drops every element; the bound stays.
  void clear() { pop_front(size_); }

  // k = 0 is the newest element. Unchecked (asserted).
  const T& back(std::size_t k = 0) const {
    assert(k < size_);
    return data_[(head_ + size_ - 1 - k) & (capacity_ - 1)];
  }
  // @copydoc back(std::size_t) const
  T& back(std::size_t k = 0) {
    assert(k < size_);
    return data_[(head_ + size_ - 1 - k) & (capacity_ - 1)];
  }
  // i = 0 is the oldest element. Unchecked (asserted).
  const T& from_front(std::size_t i) const {
    assert(i < size_);
    return data_[(head_ + i) & (capacity_ - 1)];
  }
  // @copydoc from_front(std::size_t) const
  T& from_front(std::size_t i) {
    assert(i < size_);
    return data_[(head_ + i) & (capacity_ - 1)];
  }
  // The oldest element. Unchecked (asserted).
  const T& front() const { return from_front(0); }

  // The newest n elements as two contiguous pieces, older first (the second may be empty),
  // for loops over a window without index arithmetic per element.
  std::pair<std::span<const T>, std::span<const T>> newest(std::size_t n) const {
    assert(n <= size_);
    if (n == 0) return {};
    const std::size_t start = (head_ + size_ - n) & (capacity_ - 1);
    const std::size_t first = std::min(n, capacity_ - start);
    return {{data_.get() + start, first}, {data_.get(), n - first}};
  }

  // Checked indexing; negative indices count from the newest (-1 is the newest).
  const T& operator[](std::ptrdiff_t i) const { return from_front(checked(i)); }
  // @copydoc operator[](std::ptrdiff_t) const
  T& operator[](std::ptrdiff_t i) { return from_front(checked(i)); }

  // Iterates the elements oldest first; invalidated by any change to the buffer.
  class const_iterator {
   public:
    // @name Iterator traits
    //@{
    // What the standard algorithms ask of a random-access iterator.
    using difference_type = std::ptrdiff_t;
    using value_type = T;
    using reference = const T&;
    using pointer = const T*;
    using iterator_category = std::random_access_iterator_tag;
    //@}
    // @name Random-access iterator operations
    //@{
    // As on a pointer into the elements laid out oldest first.
    const_iterator() = default;
    const_iterator(const RingBuffer* b, std::size_t i) : b_(b), i_(i) {}
    reference operator*() const { return b_->from_front(i_); }
    pointer operator->() const { return &b_->from_front(i_); }
    reference operator[](difference_type n) const { return b_->from_front(i_ + n); }
    const_iterator& operator++() {
      ++i_;
      return *this;
    }
    const_iterator operator++(int) {
      auto t = *this;
      ++i_;
      return t;
    }
    const_iterator& operator--() {
      --i_;
      return *this;
    }
    const_iterator operator--(int) {
      auto t = *this;
      --i_;
      return t;
    }
    const_iterator& operator+=(difference_type n) {
      i_ += n;
      return *this;
    }
    const_iterator& operator-=(difference_type n) {
      i_ -= n;
      return *this;
    }
    friend const_iterator operator+(const_iterator a, difference_type n) { return a += n; }
    friend const_iterator operator+(difference_type n, const_iterator a) { return a += n; }
    friend const_iterator operator-(const_iterator a, difference_type n) { return a -= n; }
    friend difference_type operator-(const_iterator a, const_iterator b) {
      return static_cast<difference_type>(a.i_) - static_cast<difference_type>(b.i_);
    }
    friend bool operator==(const_iterator a, const_iterator b) { return a.i_ == b.i_; }
    friend auto operator<=>(const_iterator a, const_iterator b) { return a.i_ <=> b.i_; }

    //@}
   private:
    const RingBuffer* b_ = nullptr;
    std::size_t i_ = 0;
  };
  // Iterator to the oldest element.
  const_iterator begin() const { return {this, 0}; }
  // Iterator past the newest element.
  const_iterator end() const { return {this, size_}; }

 private:
  std::size_t checked(std::ptrdiff_t i) const {
    const auto n = static_cast<std::ptrdiff_t>(size_);
    const std::ptrdiff_t j = i < 0 ? n + i : i;
    if (j < 0 || j >= n) {
      throw std::out_of_range("index " + std::to_string(i) + " out of range for " +
                              std::to_string(size_) + " values");
    }
    return static_cast<std::size_t>(j);
  }

  void drop_oldest() {
    if constexpr (!std::is_trivially_destructible_v<T>) data_[head_] = T();
    head_ = (head_ + 1) & (capacity_ - 1);
    --size_;
  }

  [[gnu::noinline]] void grow() { regrow(capacity_ == 0 ? 8 : capacity_ * 2); }

  void regrow(std::size_t cap) {
    auto fresh = std::make_unique<T[]>(cap);
    for (std::size_t i = 0; i < size_; ++i) fresh[i] = std::move(from_front(i));
    data_ = std::move(fresh);
    capacity_ = cap;
    head_ = 0;
  }

  std::unique_ptr<T[]> data_;
  std::size_t capacity_ = 0;  // a power of two (or 0)
  std::size_t head_ = 0;
  std::size_t size_ = 0;
  std::size_t max_size_ = 0;
};

}  // namespace tolbu_sdk::ta::support
