// Secrets in memory: key material and decrypted plaintext are wiped before
// their storage is given back, on every path.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>

namespace tavolin {

// Overwrites `bytes` with zeros in a way the compiler keeps.
void wipe(std::span<std::uint8_t> bytes) noexcept;

// A byte buffer whose storage is wiped whenever it is given up: when the
// buffer is released, moved from, cleared, or grows into new storage. Holds
// master keys, data keys and the plaintext of records. Move-only.
class SecretBytes {
 public:
  SecretBytes() noexcept = default;
  explicit SecretBytes(std::span<const std::uint8_t> bytes);
  SecretBytes(const SecretBytes&) = delete;
  SecretBytes& operator=(const SecretBytes&) = delete;
  SecretBytes(SecretBytes&& other) noexcept;
  SecretBytes& operator=(SecretBytes&& other) noexcept;
  ~SecretBytes() { release(); }

  [[nodiscard]] std::uint8_t* data() noexcept { return data_.get(); }
  [[nodiscard]] const std::uint8_t* data() const noexcept { return data_.get(); }
  [[nodiscard]] std::size_t size() const noexcept { return size_; }
  [[nodiscard]] bool empty() const noexcept { return size_ == 0; }
  [[nodiscard]] std::span<std::uint8_t> span() noexcept { return {data_.get(), size_}; }
  [[nodiscard]] std::span<const std::uint8_t> span() const noexcept { return {data_.get(), size_}; }
  operator std::span<const std::uint8_t>() const noexcept { return span(); }  // NOLINT

  // Sets the size; bytes beyond the old size are left unset (they are about
  // to be overwritten). Growing past the capacity moves the content to new
  // storage and wipes the old.
  void resize(std::size_t size);
  void push_back(std::uint8_t byte);
  // Wipes the content; the storage is kept for reuse.
  void clear() noexcept;
  // Wipes and frees the storage.
  void release() noexcept;

 private:
  void grow_to(std::size_t capacity);

  std::unique_ptr<std::uint8_t[]> data_;
  std::size_t size_ = 0;
  std::size_t capacity_ = 0;
};

}  // namespace tavolin
