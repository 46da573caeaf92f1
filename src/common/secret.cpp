#include "common/secret.hpp"

#include <string.h>

#include <algorithm>
#include <cstring>
#include <utility>

namespace tavolin {

void wipe(std::span<std::uint8_t> bytes) noexcept {
  if (!bytes.empty()) ::explicit_bzero(bytes.data(), bytes.size());
}

SecretBytes::SecretBytes(std::span<const std::uint8_t> bytes) {
  resize(bytes.size());
  if (!bytes.empty()) std::memcpy(data_.get(), bytes.data(), bytes.size());
}

SecretBytes::SecretBytes(SecretBytes&& other) noexcept
    : data_(std::move(other.data_)),
      size_(std::exchange(other.size_, 0)),
      capacity_(std::exchange(other.capacity_, 0)) {}

SecretBytes& SecretBytes::operator=(SecretBytes&& other) noexcept {
  if (this != &other) {
    release();
    data_ = std::move(other.data_);
    size_ = std::exchange(other.size_, 0);
    capacity_ = std::exchange(other.capacity_, 0);
  }
  return *this;
}

void SecretBytes::grow_to(std::size_t capacity) {
  auto larger = std::make_unique_for_overwrite<std::uint8_t[]>(capacity);
  if (size_ > 0) std::memcpy(larger.get(), data_.get(), size_);
  wipe({data_.get(), capacity_});
  data_ = std::move(larger);
  capacity_ = capacity;
}

void SecretBytes::resize(std::size_t size) {
  if (size > capacity_) grow_to(size);
  size_ = size;
}

void SecretBytes::push_back(std::uint8_t byte) {
  if (size_ == capacity_) grow_to(std::max<std::size_t>(64, capacity_ * 2));
  data_[size_++] = byte;
}

void SecretBytes::clear() noexcept {
  wipe({data_.get(), capacity_});
  size_ = 0;
}

void SecretBytes::release() noexcept {
  wipe({data_.get(), capacity_});
  data_.reset();
  size_ = capacity_ = 0;
}

}  // namespace tavolin
