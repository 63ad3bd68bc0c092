// An owned array of samples, zero-filled or left for the caller to overwrite, whose memory can be
// handed over to another owner; and rows of doubles laid out on cache lines.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <new>
#include <span>
#include <type_traits>
#include <utility>

namespace tarnwick {

/// Asks the system to back a large block with transparent huge pages, where it offers them: a
/// fresh mapping costs a fault per 4 KiB page on first write, thousands for an image-sized
/// buffer. Only a hint; the contents are unaffected.
void advise_huge_pages(void* data, std::size_t bytes) noexcept;

/// calloc-backed so that large zero buffers cost no writes; release() passes the memory (to be
/// freed with std::free) to a new owner, such as the array that adopts it.
template <typename T>
class Buffer {
public:
    Buffer() = default;
    explicit Buffer(std::size_t size)
        : data_(static_cast<T*>(std::calloc(size == 0 ? 1 : size, sizeof(T)))), size_(size) {
        if (!data_) throw std::bad_alloc();
    }
    /// Uninitialised memory for a caller that writes every element before reading any: no page is
    /// touched twice.
    static Buffer for_overwrite(std::size_t size) {
        static_assert(std::is_trivially_copyable_v<T>);
        if (size > SIZE_MAX / sizeof(T)) throw std::bad_alloc();
        Buffer buffer;
        buffer.data_ = static_cast<T*>(std::malloc((size == 0 ? 1 : size) * sizeof(T)));
        if (!buffer.data_) throw std::bad_alloc();
        buffer.size_ = size;
        advise_huge_pages(buffer.data_, size * sizeof(T));
        return buffer;
    }
    Buffer(Buffer&& other) noexcept
        : data_(std::exchange(other.data_, nullptr)), size_(std::exchange(other.size_, 0)) {}
    Buffer& operator=(Buffer&& other) noexcept {
        std::swap(data_, other.data_);
        std::swap(size_, other.size_);
        return *this;
    }
    Buffer(const Buffer&) = delete;
    Buffer& operator=(const Buffer&) = delete;
    ~Buffer() { std::free(data_); }

    T* data() noexcept { return data_; }
    const T* data() const noexcept { return data_; }
    std::size_t size() const noexcept { return size_; }
    std::span<T> span() noexcept { return {data_, size_}; }
    std::span<const T> span() const noexcept { return {data_, size_}; }
    T* begin() noexcept { return data_; }
    T* end() noexcept { return data_ + size_; }
    const T* begin() const noexcept { return data_; }
    const T* end() const noexcept { return data_ + size_; }
    T& operator[](std::size_t i) noexcept { return data_[i]; }
    const T& operator[](std::size_t i) const noexcept { return data_[i]; }

    /// Gives up ownership; the caller frees the memory with std::free.
    T* release() noexcept {
        size_ = 0;
        return std::exchange(data_, nullptr);
    }

private:
    T* data_ = nullptr;
    std::size_t size_ = 0;
};

/// Rows of doubles that start on a cache line: vectors written there, and read back at the same
/// columns, never straddle two lines.
constexpr std::size_t LINE_DOUBLES = 64 / sizeof(double);
constexpr std::size_t whole_lines(std::size_t doubles) {
    return (doubles + LINE_DOUBLES - 1) / LINE_DOUBLES * LINE_DOUBLES;
}

/// Room for n doubles, left for the caller to overwrite, from the start of a cache line.
class LineBuffer {
public:
    explicit LineBuffer(std::size_t n) : buffer_(Buffer<double>::for_overwrite(n + LINE_DOUBLES - 1)) {
        const auto address = reinterpret_cast<std::uintptr_t>(buffer_.data());
        start_ = buffer_.data() + (LINE_DOUBLES - address / sizeof(double) % LINE_DOUBLES) % LINE_DOUBLES;
    }
    double* data() noexcept { return start_; }

private:
    Buffer<double> buffer_;
    double* start_;  // into buffer_'s block, which a move keeps
};

}  // namespace tarnwick
