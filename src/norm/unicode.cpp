#include "norm/unicode.hpp"

#include <unicode/normalizer2.h>
#include <unicode/uchar.h>
#include <unicode/unistr.h>
#include <unicode/ustring.h>
#include <unicode/utf16.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <unordered_map>
#include <vector>

#include "util/text.hpp"

namespace tarnwik::norm::ucd {
namespace {

constexpr char32_t kMaxScalar = 0x10FFFF;

// Table entry layout (32 bits):
//   bits 0-3   property flags
//   bit  4     the fold differs from the character (then bits 6-31 are valid)
//   bits 6-11  fold length in bytes
//   bits 12-31 fold offset in the pool
constexpr uint32_t kAlpha = 1u << 0;
constexpr uint32_t kNumeric = 1u << 1;
constexpr uint32_t kWhite = 1u << 2;
constexpr uint32_t kMark = 1u << 3;
constexpr uint32_t kFolds = 1u << 4;
constexpr int kLenShift = 6;
constexpr uint32_t kLenMask = 0x3F;
constexpr int kOffShift = 12;
constexpr uint32_t kOffLimit = 1u << 20;

// Two-stage lookup: identical blocks are stored once, so the unassigned planes
// and the large uniform CJK ranges cost one block each.
constexpr int kBlockBits = 7;
constexpr size_t kBlockSize = size_t{1} << kBlockBits;
constexpr size_t kBlocks = (size_t{kMaxScalar} + 1) >> kBlockBits;

struct Table {
    std::vector<uint16_t> stage1;  // block number per block of code points
    std::vector<uint32_t> stage2;  // entries, kBlockSize per distinct block
    std::string pool;              // UTF-8 of every fold that differs

    uint32_t entry(char32_t c) const {
        if (c > kMaxScalar) return 0;
        return stage2[(size_t{stage1[c >> kBlockBits]} << kBlockBits) | (c & (kBlockSize - 1))];
    }
};

[[noreturn]] void icu_failure(const char* what) {
    // The character data is part of the program; without it no key can be
    // built, so there is nothing sensible to continue with.
    std::fputs("fatal: ICU character data unavailable: ", stderr);
    std::fputs(what, stderr);
    std::fputc('\n', stderr);
    std::abort();
}

const icu::Normalizer2& nfd_instance() {
    static const icu::Normalizer2* inst = [] {
        UErrorCode st = U_ZERO_ERROR;
        const icu::Normalizer2* n = icu::Normalizer2::getNFDInstance(st);
        if (U_FAILURE(st) || n == nullptr) icu_failure(u_errorName(st));
        return n;
    }();
    return *inst;
}

bool scalar(char32_t c) { return c <= kMaxScalar && (c < 0xD800 || c > 0xDFFF); }

CodePoints from_utf16(const char16_t* s, int32_t len) {
    CodePoints out;
    for (int32_t i = 0; i < len;) {
        UChar32 c;
        U16_NEXT(s, i, len, c);
        if (out.size == CodePoints::capacity) icu_failure("mapping longer than expected");
        out.cp[out.size++] = static_cast<char32_t>(c);
    }
    return out;
}

CodePoints single(char32_t c) {
    CodePoints out;
    out.cp[0] = c;
    out.size = 1;
    return out;
}

bool icu_is_mark(char32_t c) {
    return (U_GET_GC_MASK(static_cast<UChar32>(c)) & U_GC_M_MASK) != 0;
}

CodePoints icu_lower_full(char32_t c) {
    if (!scalar(c)) return single(c);
    char16_t src[2];
    int32_t n = 0;
    U16_APPEND_UNSAFE(src, n, static_cast<UChar32>(c));
    char16_t dst[16];
    UErrorCode st = U_ZERO_ERROR;
    // A lone character has no cased letter before it, so the one condition the
    // root locale knows (final sigma) never fires: this is the context-free
    // mapping.
    int32_t len = u_strToLower(dst, 16, src, n, "", &st);
    if (U_FAILURE(st)) icu_failure(u_errorName(st));
    return from_utf16(dst, len);
}

CodePoints icu_nfd(char32_t c) {
    if (!scalar(c)) return single(c);
    icu::UnicodeString d;
    if (!nfd_instance().getDecomposition(static_cast<UChar32>(c), d)) return single(c);
    return from_utf16(d.getBuffer(), d.length());
}

uint32_t build_entry(char32_t c, std::string& pool) {
    if (!scalar(c)) return 0;
    const auto uc = static_cast<UChar32>(c);
    const int8_t type = u_charType(uc);
    // Unassigned and private-use code points have no properties, no case and
    // no decomposition.
    if (type == U_UNASSIGNED || type == U_PRIVATE_USE_CHAR) return 0;

    uint32_t e = 0;
    if (u_hasBinaryProperty(uc, UCHAR_ALPHABETIC)) e |= kAlpha;
    if (type == U_DECIMAL_DIGIT_NUMBER || type == U_LETTER_NUMBER || type == U_OTHER_NUMBER)
        e |= kNumeric;
    if (u_hasBinaryProperty(uc, UCHAR_WHITE_SPACE)) e |= kWhite;
    if (icu_is_mark(c)) e |= kMark;

    std::string fold;
    bool same = true;
    const CodePoints low = icu_lower_full(c);
    if (!(low.size == 1 && low.cp[0] == c)) same = false;
    for (char32_t l : low) {
        const CodePoints dec = icu_nfd(l);
        if (!(dec.size == 1 && dec.cp[0] == l)) same = false;
        for (char32_t d : dec) {
            if (icu_is_mark(d)) {
                same = false;
                continue;
            }
            text::append_utf8(fold, d);
        }
    }
    if (same) return e;
    if (fold.size() > kLenMask || pool.size() + fold.size() >= kOffLimit)
        icu_failure("fold table overflow");
    e |= kFolds | (static_cast<uint32_t>(fold.size()) << kLenShift) |
         (static_cast<uint32_t>(pool.size()) << kOffShift);
    pool += fold;
    return e;
}

Table build_table() {
    Table t;
    t.stage1.resize(kBlocks);
    std::unordered_map<std::string, uint16_t> seen;
    std::vector<uint32_t> block(kBlockSize);
    for (size_t b = 0; b < kBlocks; ++b) {
        for (size_t i = 0; i < kBlockSize; ++i)
            block[i] = build_entry(static_cast<char32_t>((b << kBlockBits) | i), t.pool);
        std::string key(reinterpret_cast<const char*>(block.data()), block.size() * sizeof(uint32_t));
        auto [it, fresh] = seen.try_emplace(std::move(key), static_cast<uint16_t>(seen.size()));
        if (fresh) t.stage2.insert(t.stage2.end(), block.begin(), block.end());
        t.stage1[b] = it->second;
    }
    t.stage2.shrink_to_fit();
    t.pool.shrink_to_fit();
    return t;
}

const Table& table() {
    static const Table t = build_table();
    return t;
}

}  // namespace

bool is_alphabetic(char32_t c) { return table().entry(c) & kAlpha; }
bool is_numeric(char32_t c) { return table().entry(c) & kNumeric; }
bool is_white_space(char32_t c) { return table().entry(c) & kWhite; }
bool is_mark(char32_t c) { return table().entry(c) & kMark; }

CodePoints lower_full(char32_t c) { return icu_lower_full(c); }
CodePoints nfd(char32_t c) { return icu_nfd(c); }

std::optional<std::string_view> folded(char32_t c) {
    const Table& t = table();
    const uint32_t e = t.entry(c);
    if (!(e & kFolds)) return std::nullopt;
    return std::string_view(t.pool).substr(e >> kOffShift, (e >> kLenShift) & kLenMask);
}

}  // namespace tarnwik::norm::ucd
