// A read-only memory map of a whole file, shared by reference counting and
// unmapped with its last holder.
#pragma once

#include <memory>
#include <string>

#include "util/bytes.hpp"
#include "util/result.hpp"

namespace tarnwik {

class Mapping {
public:
    // Maps `path` read-only. The descriptor is closed before returning; the
    // mapping stays valid on its own.
    static Result<std::shared_ptr<const Mapping>> map_file(const std::string& path);

    ~Mapping();
    Mapping(const Mapping&) = delete;
    Mapping& operator=(const Mapping&) = delete;

    ByteView bytes() const { return {static_cast<const uint8_t*>(addr_), size_}; }

private:
    Mapping(void* addr, size_t size) : addr_(addr), size_(size) {}
    void* addr_;
    size_t size_;
};

}  // namespace tarnwik
