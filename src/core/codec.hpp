// Plain types shared by every codec and by the packet layout.
// Nothing here (or in any codec) includes Python.h: operations take plain values and return
// either their result or a CodecError, which the module surface turns into an exception.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <new>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <variant>

namespace bitloom {

__extension__ typedef unsigned __int128 u128;

/// Kind of a failure; each maps onto one Python exception class at the boundary.
enum class ErrorKind : std::uint8_t {
    ValueError,
    KeyError,
    NotImplementedError,
    TypeError,
    OverflowError,
    /// A fault that no operation reports as an ordinary error (a field beyond the packet).
    InternalFault,
};

/// Failure result of every operation: an exception kind and its message text.
struct CodecError {
    ErrorKind kind;
    std::string message;
};

/// Either a value or a CodecError.
template <class T>
class [[nodiscard]] Result {
public:
    Result(T value) noexcept(std::is_nothrow_move_constructible_v<T>)  // NOLINT: implicit by design
        : v_(std::in_place_index<0>, std::move(value)) {}
    Result(CodecError error) : v_(std::in_place_index<1>, std::move(error)) {}  // NOLINT

    bool ok() const noexcept { return v_.index() == 0; }
    explicit operator bool() const noexcept { return ok(); }
    T& value() noexcept { return *std::get_if<0>(&v_); }
    const T& value() const noexcept { return *std::get_if<0>(&v_); }
    T& operator*() noexcept { return value(); }
    const T& operator*() const noexcept { return value(); }
    T* operator->() noexcept { return &value(); }
    const T* operator->() const noexcept { return &value(); }
    CodecError& error() noexcept { return *std::get_if<1>(&v_); }
    const CodecError& error() const noexcept { return *std::get_if<1>(&v_); }

private:
    std::variant<T, CodecError> v_;
};

/// Builds a failure from message pieces; kept out of line of the hot paths by callers.
[[gnu::cold, gnu::noinline]] CodecError value_error(std::string message);
[[gnu::cold, gnu::noinline]] CodecError value_error(const char* message);
[[gnu::cold]] CodecError not_implemented(std::string message);

/// A growable run of bytes. Holds up to 16 bytes inline, so an integer field image
/// (at most 16 bytes) never touches the heap.
class ByteBuffer {
public:
    static constexpr std::size_t kInline = 16;

    ByteBuffer() noexcept = default;
    explicit ByteBuffer(std::size_t size) { resize(size); }
    ByteBuffer(const ByteBuffer& other) { assign(other.data(), other.size()); }
    ByteBuffer(ByteBuffer&& other) noexcept { steal(other); }
    ByteBuffer& operator=(const ByteBuffer& other) {
        if (this != &other) assign(other.data(), other.size());
        return *this;
    }
    ByteBuffer& operator=(ByteBuffer&& other) noexcept {
        if (this != &other) {
            release();
            steal(other);
        }
        return *this;
    }
    ~ByteBuffer() { release(); }

    std::uint8_t* data() noexcept { return heap_ ? heap_ : inline_; }
    const std::uint8_t* data() const noexcept { return heap_ ? heap_ : inline_; }
    std::size_t size() const noexcept { return size_; }
    bool empty() const noexcept { return size_ == 0; }
    std::uint8_t& operator[](std::size_t i) noexcept { return data()[i]; }
    std::uint8_t operator[](std::size_t i) const noexcept { return data()[i]; }
    std::uint8_t* begin() noexcept { return data(); }
    std::uint8_t* end() noexcept { return data() + size_; }
    const std::uint8_t* begin() const noexcept { return data(); }
    const std::uint8_t* end() const noexcept { return data() + size_; }

    /// Grows or shrinks to `size` bytes; new bytes are zero.
    void resize(std::size_t size) {
        reserve(size);
        if (size > size_) std::memset(data() + size_, 0, size - size_);
        size_ = size;
    }
    /// Grows or shrinks to `size` bytes; new bytes are left unset (the caller fills them).
    void resize_for_overwrite(std::size_t size) {
        reserve(size);
        size_ = size;
    }
    void reserve(std::size_t capacity) {
        if (capacity <= capacity_) return;
        std::size_t grown = capacity_ * 2;
        if (grown < capacity) grown = capacity;
        auto* fresh = static_cast<std::uint8_t*>(::operator new(grown));
        if (size_) std::memcpy(fresh, data(), size_);
        release();
        heap_ = fresh;
        capacity_ = grown;
    }
    void push_back(std::uint8_t byte) {
        if (size_ == capacity_) reserve(size_ + 1);
        data()[size_++] = byte;
    }
    void append(const std::uint8_t* bytes, std::size_t count) {
        reserve(size_ + count);
        if (count) std::memcpy(data() + size_, bytes, count);
        size_ += count;
    }
    void append(std::string_view bytes) {
        append(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
    }
    void clear() noexcept { size_ = 0; }
    std::string_view view() const noexcept {
        return {reinterpret_cast<const char*>(data()), size_};
    }

private:
    void assign(const std::uint8_t* bytes, std::size_t count) {
        size_ = 0;
        append(bytes, count);
    }
    void release() noexcept {
        if (heap_) ::operator delete(heap_);
        heap_ = nullptr;
        capacity_ = kInline;
    }
    void steal(ByteBuffer& other) noexcept {
        size_ = other.size_;
        if (other.heap_) {
            heap_ = other.heap_;
            capacity_ = other.capacity_;
            other.heap_ = nullptr;
            other.capacity_ = kInline;
        } else {
            std::memcpy(inline_, other.inline_, other.size_);
        }
        other.size_ = 0;
    }

    std::uint8_t* heap_ = nullptr;
    std::size_t size_ = 0;
    std::size_t capacity_ = kInline;
    std::uint8_t inline_[kInline] = {};
};

/// A read-only run of bytes, borrowed: a decoder's input read in place from the caller's object,
/// or the UTF-8 encoder's result.
struct Bytes {
    const std::uint8_t* data = nullptr;
    std::size_t size = 0;
};

}  // namespace bitloom
