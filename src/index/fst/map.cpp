#include "index/fst/map.hpp"

#include <string>

namespace tarnwik::fst {

namespace {

Error format_error(size_t size) {
    return Error{"Error opening FST with size " + std::to_string(size) +
                     " bytes: An unknown error occurred. This usually means you're trying to read "
                     "data that isn't actually an encoded FST.",
                 {}};
}

}  // namespace

Result<Map> Map::open(ByteView slice) {
    if (slice.size() < raw::kMinMapSize) return std::unexpected(format_error(slice.size()));
    const uint64_t version = slice.u64(0);
    if (version < 1 || version > raw::kMaxVersion) {
        return fail("Error opening FST: expected API version " + std::to_string(raw::kMaxVersion) +
                    ", got API version " + std::to_string(version) +
                    ". The data is not an FST map of a format version this engine reads, so it "
                    "must be regenerated.");
    }
    Map m;
    m.slice_ = slice;
    m.version_ = version;
    uint64_t end = slice.size();
    if (version >= 3) {
        // Carried for tools that want it; reading never verifies it.
        end -= raw::kChecksumSize;
        m.checksum_ = slice.u32(end);
    }
    m.map_type_ = slice.u64(8);
    m.key_count_ = slice.u64(end - 16);
    m.root_ = slice.u64(end - 8);
    // A root at address 0 (the map holding only the empty key, value 0) has no
    // node bytes, so the map is exactly header and footer long.
    const uint64_t bare = raw::kHeaderSize + raw::kFooterSize + (version >= 3 ? raw::kChecksumSize : 0);
    if (m.root_ == raw::kEmptyAddress && slice.size() > bare)
        return std::unexpected(format_error(slice.size()));
    m.open_ = true;
    return m;
}

std::optional<uint64_t> Map::get(std::string_view key) const {
    if (!open_) return std::nullopt;
    auto node = raw::Node::read(slice_, root_, version_);
    if (!node) return std::nullopt;
    uint64_t sum = 0;
    for (char c : key) {
        const auto i = node->find(static_cast<uint8_t>(c));
        if (!i) return std::nullopt;
        const raw::Transition t = node->transition(*i);
        sum += t.output;  // wraps by design: values are the wrapping sum of outputs
        node = raw::Node::read(slice_, t.target, version_);
        if (!node) return std::nullopt;
    }
    if (!node->is_final()) return std::nullopt;
    return sum + node->final_output();
}

}  // namespace tarnwik::fst
