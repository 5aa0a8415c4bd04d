// Hand-made damaged maps that a walk must give up on quickly.
#pragma once

#include <cstdint>
#include <string>

namespace fsttest {

// A version-3 map of `levels` nodes stacked above a dead end (a node neither
// final nor with transitions), each with transitions 'a' and 'b' to the node
// just below it: 2^levels paths and no key. The footer declares 5 keys.
inline std::string dead_end_dag(int levels) {
    auto u64le = [](uint64_t v) {
        std::string s;
        for (int k = 0; k < 8; ++k) s.push_back(static_cast<char>(v >> (8 * k)));
        return s;
    };
    // Nodes are written lowest byte first. The dead end: sizes byte, count
    // byte 0, state byte "any number of transitions, not final".
    std::string n("\x11\x00\x00", 3);
    // Each level: the 1-byte deltas of 'b' and 'a' (both 1: the state byte
    // just below the node), the inputs, sizes (1-byte deltas, no outputs),
    // state (two transitions, not final).
    for (int level = 0; level < levels; ++level) n += std::string("\x01\x01" "ba" "\x10\x02", 6);
    const uint64_t root = 16 + n.size() - 1;
    return u64le(3) + u64le(0) + n + u64le(5) + u64le(root) + std::string(4, '\0');
}

}  // namespace fsttest
