// Storage for large transient lists of the frame functions: an allocator
// that maps big requests directly with transparent huge pages advised (a
// million names fill a few huge pages instead of thousands of small ones,
// which is where the time of filling fresh memory goes), and a list of texts
// laid end to end in one buffer instead of one heap string per text.
#pragma once

#include <sys/mman.h>

#include <cstddef>
#include <initializer_list>
#include <limits>
#include <memory>
#include <new>
#include <string_view>
#include <vector>

namespace tavolin::frames {

// Requests from this size on are mapped directly.
inline constexpr std::size_t kBulkMappingThreshold = std::size_t{4} << 20;

template <class T>
struct BulkAllocator {
  using value_type = T;

  BulkAllocator() noexcept = default;
  template <class U>
  BulkAllocator(const BulkAllocator<U>&) noexcept {}  // NOLINT: rebinding

  T* allocate(std::size_t n) {
    if (n > std::numeric_limits<std::size_t>::max() / sizeof(T)) throw std::bad_array_new_length();
    const std::size_t bytes = n * sizeof(T);
    if (bytes < kBulkMappingThreshold) return std::allocator<T>().allocate(n);
    void* p = ::mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED) throw std::bad_alloc();
    ::madvise(p, bytes, MADV_HUGEPAGE);  // advice only; refused where unsupported
    return static_cast<T*>(p);
  }

  void deallocate(T* p, std::size_t n) noexcept {
    const std::size_t bytes = n * sizeof(T);
    if (bytes < kBulkMappingThreshold) {
      std::allocator<T>().deallocate(p, n);
    } else {
      ::munmap(p, bytes);
    }
  }

  template <class U>
  bool operator==(const BulkAllocator<U>&) const noexcept {
    return true;
  }
};

template <class T>
using BulkVector = std::vector<T, BulkAllocator<T>>;

// An owned list of texts stored end to end.
class TextList {
 public:
  TextList() = default;
  TextList(std::initializer_list<std::string_view> texts) {
    for (std::string_view text : texts) push_back(text);
  }

  void reserve(std::size_t count, std::size_t bytes) {
    ends_.reserve(count);
    bytes_.reserve(bytes);
  }
  void push_back(std::string_view text) {
    bytes_.insert(bytes_.end(), text.begin(), text.end());
    ends_.push_back(bytes_.size());
  }

  [[nodiscard]] std::size_t size() const noexcept { return ends_.size(); }
  [[nodiscard]] bool empty() const noexcept { return ends_.empty(); }
  [[nodiscard]] std::string_view operator[](std::size_t i) const noexcept {
    const std::size_t begin = i == 0 ? 0 : ends_[i - 1];
    return {bytes_.data() + begin, ends_[i] - begin};
  }

 private:
  BulkVector<char> bytes_;
  BulkVector<std::size_t> ends_;
};

}  // namespace tavolin::frames
