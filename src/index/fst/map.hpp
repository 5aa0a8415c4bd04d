// FST maps: sorted byte-string keys with 64-bit values, read in place.
//
// A map is a minimal acyclic transducer stored in one byte slice (a section
// of a sheet). Nothing is copied at open: `Map` is a few words pointing into
// the slice, `get` allocates nothing and a `Stream` allocates only its key
// buffer and its explicit walk stack.
//
// Maps come from files, so node data is untrusted even after `open`, which
// checks only the frame. Every node read is bounds-checked (index/fst/raw):
// `get` treats a damaged node as an absent key, and a stream ends with
// `corrupt()` set. Walks always terminate: a transition's target is stored as
// a distance below the node's lowest byte, so addresses strictly decrease
// along every path and no cycle can be encoded at all.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "index/fst/raw/node.hpp"
#include "util/bytes.hpp"
#include "util/result.hpp"

namespace tarnwik::fst {

struct Bound {
    enum class Kind { Unbounded, Included, Excluded } kind = Kind::Unbounded;
    std::string bytes;

    static Bound unbounded() { return {}; }
    static Bound included(std::string_view b) { return {Kind::Included, std::string(b)}; }
    static Bound excluded(std::string_view b) { return {Kind::Excluded, std::string(b)}; }
};

// Automaton: a type A with `using State = ...;` and
//   State start() const; bool is_match(const State&) const; bool can_match(const State&) const;
//   std::optional<State> accept(const State&, uint8_t byte) const;   // nullopt = dead state
// `can_match` is false only when no extension of the input read so far can
// match; the stream skips such subtrees. Streams hold their automaton by
// value, so a large automaton should be passed as a cheap handle.

// Matches every key: plain range scans.
struct AlwaysMatch {
    struct State {};
    State start() const { return {}; }
    bool is_match(const State&) const { return true; }
    bool can_match(const State&) const { return true; }
    std::optional<State> accept(const State&, uint8_t) const { return State{}; }
};

// Accepts the keys that have some prefix accepted by A. Once A has matched,
// the rest of the key is irrelevant (Done); a byte A cannot take ends the
// attempt (Dead).
template <class A>
class StartsWith {
public:
    // `inner` means something only while Running; it is kept in place
    // rather than in an optional because the walks copy states at every
    // transition.
    struct State {
        enum class Tag : uint8_t { Done, Running, Dead } tag = Tag::Dead;
        typename A::State inner{};
    };

    explicit StartsWith(A inner) : a_(std::move(inner)) {}

    State start() const {
        auto s = a_.start();
        if (a_.is_match(s)) return State{State::Tag::Done, {}};
        return State{State::Tag::Running, std::move(s)};
    }
    bool is_match(const State& s) const {
        switch (s.tag) {
            case State::Tag::Done: return true;
            case State::Tag::Running: return a_.is_match(s.inner);
            case State::Tag::Dead: return false;
        }
        return false;
    }
    bool can_match(const State& s) const {
        switch (s.tag) {
            case State::Tag::Done: return true;
            case State::Tag::Running: return a_.can_match(s.inner);
            case State::Tag::Dead: return false;
        }
        return false;
    }
    std::optional<State> accept(const State& s, uint8_t byte) const {
        switch (s.tag) {
            case State::Tag::Done: return s;
            case State::Tag::Running: {
                auto next = a_.accept(s.inner, byte);
                if (!next) return State{State::Tag::Dead, {}};
                if (a_.is_match(*next)) return State{State::Tag::Done, {}};
                return State{State::Tag::Running, std::move(*next)};
            }
            case State::Tag::Dead: return s;
        }
        return s;
    }

    const A& inner() const { return a_; }

private:
    A a_;
};

template <class A>
class Stream;

class Map {
public:
    Map() = default;  // an empty handle (no keys), used before open

    // Checks the frame (size, version, footer); node data is checked as it
    // is read.
    static Result<Map> open(ByteView slice);

    uint64_t key_count() const { return key_count_; }
    uint64_t version() const { return version_; }
    uint64_t map_type() const { return map_type_; }
    std::optional<uint32_t> checksum() const { return checksum_; }
    uint64_t root() const { return root_; }
    ByteView slice() const { return slice_; }
    bool is_open() const { return open_; }

    // Nothing when the key is absent, or when node data on its path is corrupt.
    std::optional<uint64_t> get(std::string_view key) const;

    // The (key, value) pairs within the bounds whose key the automaton
    // accepts, in ascending byte order.
    template <class A>
    Stream<A> stream(A automaton, Bound lower = {}, Bound upper = {}) const {
        return Stream<A>(*this, std::move(automaton), std::move(lower), std::move(upper));
    }
    Stream<AlwaysMatch> range(Bound lower = {}, Bound upper = {}) const;

private:
    ByteView slice_;
    uint64_t version_ = 0;
    uint64_t map_type_ = 0;
    uint64_t key_count_ = 0;
    uint64_t root_ = raw::kEmptyAddress;
    std::optional<uint32_t> checksum_;
    bool open_ = false;
};

// A depth-first walk in ascending input order. The stack holds one frame per
// node on the current path; the key buffer holds the inputs taken, so
// key().size() + 1 == number of frames between calls.
template <class A>
class Stream {
public:
    Stream(const Map& map, A automaton, Bound lower, Bound upper)
        : slice_(map.slice()),
          version_(map.version()),
          root_(map.root()),
          key_count_(map.key_count()),
          open_(map.is_open()),
          aut_(std::move(automaton)),
          lower_(std::move(lower)),
          upper_(std::move(upper)) {
        stack_.reserve(32);
        key_.reserve(64);
    }

    // Advances to the next (key, value); false at the end.
    bool next() {
        if (!started_) {
            started_ = true;
            if (seek() && pending_) {
                pending_ = false;
                return true;
            }
        }
        while (!done_ && !stack_.empty()) {
            Frame& top = stack_.back();
            if (top.next >= top.node.len()) {
                stack_.pop_back();
                if (!key_.empty()) key_.pop_back();
                continue;
            }
            // Only the input byte is read up front: an automaton turns most
            // bytes of a node away, and their targets and outputs are never needed.
            const uint32_t i = top.next++;
            const uint8_t input = top.node.input(i);
            key_.push_back(static_cast<char>(input));
            // Keys come in ascending order and a prefix sorts before its
            // extensions, so the first prefix past the upper bound ends the walk.
            if (beyond_upper()) return finish();
            auto state = aut_.accept(top.state, input);
            if (!state || !aut_.can_match(*state)) {
                key_.pop_back();
                continue;
            }
            const raw::Transition t = top.node.transition(i);
            if (!push(t.target, top.out + t.output, std::move(*state))) return finish();
            const Frame& child = stack_.back();
            if (child.node.is_final() && aut_.is_match(child.state)) {
                value_ = child.out + child.node.final_output();
                return true;
            }
        }
        return finish();
    }

    // Valid until the next call to next().
    std::string_view key() const { return key_; }
    uint64_t value() const { return value_; }
    // True when the walk ended because node data lay outside the map, the
    // map holds more keys than its footer declares, or a path leads to a
    // node that ends no key.
    bool corrupt() const { return corrupt_; }

private:
    using State = typename A::State;
    struct Frame {
        raw::Node node;
        uint32_t next = 0;  // the next transition to follow
        uint64_t out = 0;   // outputs summed along the path to this node
        State state;
    };

    bool finish() {
        done_ = true;
        stack_.clear();
        return false;
    }

    // Decodes the node at `addr` and makes it the top frame. Also guards
    // against damaged data that forms a huge DAG: each final node met on a
    // distinct path is a distinct key, so meeting more of them than the footer
    // declares keys means the walk is not over a well-formed map, and it is
    // stopped as corrupt instead of enumerating an exponential number of paths.
    // That bound holds only if every path ends in a final node, so a node
    // that ends no key at all (not final, no transitions; a well-formed map
    // has one only as the root of an empty map) is corrupt too: a DAG of such
    // dead ends would otherwise be walked path by path without ever meeting
    // a final node.
    bool push(uint64_t addr, uint64_t out, State state) {
        auto node = raw::Node::read(slice_, addr, version_);
        if (!node || (node->is_final() && ++finals_ > key_count_) ||
            (!node->is_final() && node->len() == 0 && !stack_.empty())) {
            corrupt_ = true;
            return false;
        }
        stack_.push_back(Frame{*node, 0, out, std::move(state)});
        return true;
    }

    bool beyond_upper() const {
        switch (upper_.kind) {
            case Bound::Kind::Unbounded: return false;
            case Bound::Kind::Included: return std::string_view(key_) > upper_.bytes;
            case Bound::Kind::Excluded: return std::string_view(key_) >= upper_.bytes;
        }
        return false;
    }

    // Descends along the lower bound, leaving on the stack exactly the frames
    // whose remaining transitions lead to keys above it. Returns false when
    // the stream is already over. Sets pending_ when the bound itself is a
    // key to yield first.
    bool seek() {
        if (!open_) return finish();
        State start = aut_.start();
        if (!aut_.can_match(start)) return finish();
        if (!push(root_, 0, std::move(start))) return finish();
        // Unbounded below is the same as included(""); excluded("") skips
        // only the empty key.
        const std::string_view low = lower_.bytes;
        for (size_t d = 0; d < low.size(); ++d) {
            Frame& top = stack_.back();
            const uint8_t b = static_cast<uint8_t>(low[d]);
            const uint32_t i = top.node.lower_bound(b);
            if (i >= top.node.len() || top.node.input(i) != b) {
                top.next = i;  // every remaining transition is above the bound
                return true;
            }
            top.next = i + 1;
            const raw::Transition t = top.node.transition(i);
            key_.push_back(static_cast<char>(b));
            if (beyond_upper()) return finish();
            auto state = aut_.accept(top.state, b);
            if (!state || !aut_.can_match(*state)) {
                key_.pop_back();
                return true;
            }
            if (!push(t.target, top.out + t.output, std::move(*state))) return finish();
        }
        if (beyond_upper()) return finish();
        const Frame& top = stack_.back();
        if (lower_.kind != Bound::Kind::Excluded && top.node.is_final() && aut_.is_match(top.state)) {
            value_ = top.out + top.node.final_output();
            pending_ = true;
        }
        return true;
    }

    ByteView slice_;
    uint64_t version_;
    uint64_t root_;
    uint64_t key_count_;
    bool open_;
    A aut_;
    Bound lower_, upper_;

    std::vector<Frame> stack_;
    std::string key_;
    uint64_t value_ = 0;
    uint64_t finals_ = 0;
    bool started_ = false;
    bool pending_ = false;
    bool done_ = false;
    bool corrupt_ = false;
};

inline Stream<AlwaysMatch> Map::range(Bound lower, Bound upper) const {
    return stream(AlwaysMatch{}, std::move(lower), std::move(upper));
}

}  // namespace tarnwik::fst
