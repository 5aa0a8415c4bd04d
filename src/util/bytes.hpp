// Bounds-checked little-endian reads over a borrowed byte range.
//
// Sheets are untrusted files, so no read of the mapping may go past the range
// it was meant for. Two styles exist on purpose:
//  - `try_*` returns std::nullopt on a short read; query code uses these and
//    treats a failed read as "absent".
//  - the plain accessors throw OutOfBounds; only the sheet-opening code uses
//    them, and it turns the exception into its single "corrupt index" message
//    at one place instead of threading a check through every field read.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string_view>

namespace tarnwik {

struct OutOfBounds {};

class ByteView {
public:
    constexpr ByteView() = default;
    constexpr ByteView(const uint8_t* data, size_t size) : data_(data), size_(size) {}
    explicit ByteView(std::string_view s)
        : data_(reinterpret_cast<const uint8_t*>(s.data())), size_(s.size()) {}

    const uint8_t* data() const { return data_; }
    size_t size() const { return size_; }
    bool empty() const { return size_ == 0; }
    std::string_view as_chars() const {
        return {reinterpret_cast<const char*>(data_), size_};
    }

    bool fits(uint64_t off, uint64_t len) const {
        return off <= size_ && len <= size_ - off;
    }

    // Sub-range; throws when it does not lie inside this view.
    ByteView sub(uint64_t off, uint64_t len) const {
        if (!fits(off, len)) throw OutOfBounds{};
        return {data_ + off, static_cast<size_t>(len)};
    }
    std::optional<ByteView> try_sub(uint64_t off, uint64_t len) const {
        if (!fits(off, len)) return std::nullopt;
        return ByteView{data_ + off, static_cast<size_t>(len)};
    }
    // Everything from `off` on (empty when off == size).
    ByteView tail(uint64_t off) const {
        if (off > size_) throw OutOfBounds{};
        return {data_ + off, size_ - static_cast<size_t>(off)};
    }

    template <class T>
    std::optional<T> try_le(uint64_t off) const {
        if (!fits(off, sizeof(T))) return std::nullopt;
        T v;
        std::memcpy(&v, data_ + off, sizeof(T));  // little-endian host (x86-64, aarch64)
        return v;
    }
    template <class T>
    T le(uint64_t off) const {
        if (!fits(off, sizeof(T))) throw OutOfBounds{};
        T v;
        std::memcpy(&v, data_ + off, sizeof(T));
        return v;
    }

    uint8_t u8(uint64_t off) const { return le<uint8_t>(off); }
    uint16_t u16(uint64_t off) const { return le<uint16_t>(off); }
    uint32_t u32(uint64_t off) const { return le<uint32_t>(off); }
    uint64_t u64(uint64_t off) const { return le<uint64_t>(off); }
    int32_t i32(uint64_t off) const { return le<int32_t>(off); }

    std::optional<uint8_t> try_u8(uint64_t off) const { return try_le<uint8_t>(off); }
    std::optional<uint16_t> try_u16(uint64_t off) const { return try_le<uint16_t>(off); }
    std::optional<uint32_t> try_u32(uint64_t off) const { return try_le<uint32_t>(off); }
    std::optional<uint64_t> try_u64(uint64_t off) const { return try_le<uint64_t>(off); }
    std::optional<int32_t> try_i32(uint64_t off) const { return try_le<int32_t>(off); }

private:
    const uint8_t* data_ = nullptr;
    size_t size_ = 0;
};

}  // namespace tarnwik
