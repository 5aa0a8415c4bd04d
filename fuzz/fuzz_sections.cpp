// The small readers of a sheet and of its sidecar, one target: the first
// byte chooses the reader, the rest is its input.
//   0  admin sidecar (parse_admin_sidecar, region_at)
//   1  rules section (rules::from_section_owned)
//   2  token labeller (ml::Parser::from_section, then label): byte 1 is the
//      length T of a token text, T bytes of text (split on spaces), then the
//      section
//   3  rank model: the bytes become the SEC_RANK section of an otherwise
//      valid sheet, which is then opened
//   4  meta section (decode_meta)
//   5  strict varints (strict_varint, and the house blocks' inline decoder)
//   6  container header and table of contents (parse_sections)
//
// Where the format is small enough to restate, the reader's verdict is
// checked against a plain reading of the format written here.
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "build/sheet.hpp"
#include "fuzz_util.hpp"
#include "index/admin.hpp"
#include "index/container.hpp"
#include "index/house_walk.hpp"
#include "index/index.hpp"
#include "ml/ml.hpp"
#include "rules/rules.hpp"
#include "util/text.hpp"

namespace {

using namespace tarnwik;

uint32_t le32(const uint8_t* p) {
    uint32_t v;
    std::memcpy(&v, p, 4);
    return v;
}

void admin(ByteView b) {
    auto regions = parse_admin_sidecar(b);
    const bool sidecar = b.size() > 8 && std::memcmp(b.data(), "WOFA", 4) == 0;
    TW_FUZZ_CHECK(regions.has_value() == sidecar, "sidecar accepted or refused against its magic and size");
    if (!regions) return;
    TW_FUZZ_CHECK(regions->size() <= le32(b.data() + 4), "more regions than the sidecar announces");
    std::vector<std::pair<double, double>> points = {{0, 0}, {NAN, NAN}, {90, 180}, {-90, -180}, {1e300, -1e300}};
    for (size_t i = 0; i < regions->size() && i < 4; ++i) {
        const AdminRegion& r = (*regions)[i];
        points.emplace_back(r.min_lat / 1e7, r.min_lon / 1e7);
        points.emplace_back(r.max_lat / 1e7, r.max_lon / 1e7);
        points.emplace_back((r.min_lat / 2.0 + r.max_lat / 2.0) / 1e7, (r.min_lon / 2.0 + r.max_lon / 2.0) / 1e7);
        for (size_t k = 0; k < r.rings.size() && k < 2; ++k)
            if (!r.rings[k].empty()) points.emplace_back(r.rings[k][0].first / 1e7, r.rings[k][0].second / 1e7);
    }
    for (auto [lat, lon] : points)
        if (auto name = region_at(*regions, lat, lon))
            TW_FUZZ_CHECK(text::valid_utf8(*name), "region name is not UTF-8");
}

// A plain reading of the rules section's framing: whether every announced
// record is complete.
bool rules_complete(ByteView b) {
    if (b.size() < 4) return false;
    const uint32_t n = le32(b.data());
    if (n == 0) return false;
    uint64_t off = 4;
    for (uint32_t r = 0; r < n; ++r) {
        if (b.size() - off < 3) return false;
        const uint64_t k = b.data()[off + 1] | uint64_t{b.data()[off + 2]} << 8;
        off += 3;
        if (b.size() - off < k + 2) return false;
        const uint64_t v = b.data()[off + k] | uint64_t{b.data()[off + k + 1]} << 8;
        off += k + 2;
        if (b.size() - off < v) return false;
        off += v;
    }
    return true;
}

void rules_section(ByteView b) {
    auto r = rules::from_section_owned(b);
    TW_FUZZ_CHECK((r != nullptr) == rules_complete(b), "rules section accepted or refused against its framing");
    if (!r) return;
    // The defaults stay, and every street-type record of the section is one.
    TW_FUZZ_CHECK(r->is_street_type("улица") && r->commune_alias("den haag").has_value(), "defaults lost");
    uint64_t off = 4;
    for (uint32_t i = 0, n = le32(b.data()); i < n && i < 64; ++i) {
        const uint8_t kind = b.data()[off];
        const uint16_t k = b.data()[off + 1] | uint16_t(b.data()[off + 2] << 8);
        const std::string key = text::lossy_utf8(b.sub(off + 3, k).as_chars());
        const uint16_t v = b.data()[off + 3 + k] | uint16_t(b.data()[off + 4 + k] << 8);
        off += 5 + uint64_t{k} + v;
        if (kind == rules::kStreetTypesRu || kind == rules::kStreetTypesFrIt || kind == rules::kStreetTypesOther)
            TW_FUZZ_CHECK(r->is_street_type(key), "a street type of the section is not one");
        if (kind == rules::kAffixes) TW_FUZZ_CHECK(r->is_affix(key), "an affix of the section is not one");
        if (kind == rules::kCommuneAliases) TW_FUZZ_CHECK(r->commune_alias(key).has_value(), "a commune alias is lost");
    }
    (void)r->is_affix("");
}

bool finite_floats(const uint8_t* p, uint64_t n) {
    for (uint64_t i = 0; i < n; ++i)
        if (!std::isfinite(std::bit_cast<float>(le32(p + 4 * i)))) return false;
    return true;
}

void parser(ByteView in) {
    if (in.empty()) return;
    const size_t t = std::min<size_t>(in.data()[0], in.size() - 1);
    const std::string_view text = in.sub(1, t).as_chars();
    const ByteView b = in.tail(1 + t);

    const bool valid = [&] {
        if (b.size() <= 8 || std::memcmp(b.data(), "TWML", 4) != 0) return false;
        const uint64_t buckets = le32(b.data() + 4), labels = b.data()[8];
        if (buckets == 0 || labels == 0 || b.size() != 9 + 4 * labels + 4 * buckets * labels) return false;
        return finite_floats(b.data() + 9, labels + buckets * labels);
    }();
    auto p = ml::Parser::from_section(b);
    TW_FUZZ_CHECK(p.has_value() == valid, "labeller section accepted or refused against the format");
    if (!p) return;

    std::vector<std::string_view> tokens;
    for (size_t at = 0; at <= text.size() && tokens.size() < 32;) {
        const size_t sp = std::min(text.find(' ', at), text.size());
        tokens.push_back(text.substr(at, sp - at));
        at = sp + 1;
    }
    const std::vector<uint8_t> labels = p->label(tokens);
    TW_FUZZ_CHECK(labels.size() == tokens.size(), "one label per token");
    for (uint8_t l : labels) TW_FUZZ_CHECK(l < p->labels(), "a label beyond the model's labels");
}

// A sheet that opens, with its rank section moved to the end of the file so
// that any bytes can take its place.
struct RankTemplate {
    std::string bytes;
    size_t toc_entry = 0;  // offset of the SEC_RANK entry in the TOC

    RankTemplate() {
        build::SheetSpec s;
        s.meta = {{"country", "it"}};
        s.communes.push_back({"A1", "Valmora", 40, 44.9, 8.6, {}});
        build::StreetSpec roma{"Via Roma", 0, std::nullopt, std::nullopt, "15030", {}};
        roma.houses.push_back({1, "", 44.9, 8.6, ""});
        s.streets = {roma};
        s.rank = std::string("TWRK\x0a", 5) + std::string(44, '\0');
        auto written = build::write_sheet(s);
        if (!written) fuzz::violated("cannot write the template sheet: " + written.error().message);
        bytes = std::move(*written);
        for (size_t i = 0; i < static_cast<uint8_t>(bytes[5]); ++i)
            if (bytes[6 + 17 * i] == 11) toc_entry = 6 + 17 * i;
        if (toc_entry == 0) fuzz::violated("the template sheet has no rank section");
    }
};

void rank(ByteView b) {
    static const RankTemplate tmpl;
    static fuzz::MemFile file("tarnwik-fuzz-rank");
    std::string sheet = tmpl.bytes;
    const uint64_t off = sheet.size(), len = b.size();
    std::memcpy(&sheet[tmpl.toc_entry + 1], &off, 8);
    std::memcpy(&sheet[tmpl.toc_entry + 9], &len, 8);
    sheet.append(b.as_chars());
    file.write(sheet);

    const bool valid = b.size() == 49 && std::memcmp(b.data(), "TWRK", 4) == 0 && b.data()[4] == 10 &&
                       finite_floats(b.data() + 5, 11);
    auto idx = Index::open(file.path());
    if (b.empty() || valid) {
        TW_FUZZ_CHECK(idx, "a sheet with a valid or empty rank section does not open: " + idx.error().message);
        const RankModel* m = (*idx)->rank_model();
        TW_FUZZ_CHECK((m != nullptr) == valid, "rank model present against its section");
        if (m) {
            TW_FUZZ_CHECK(std::bit_cast<uint32_t>(m->bias) == le32(b.data() + 5), "rank bias misread");
            for (size_t i = 0; i < 10; ++i)
                TW_FUZZ_CHECK(std::bit_cast<uint32_t>(m->weights[i]) == le32(b.data() + 9 + 4 * i), "rank weight misread");
        }
    } else {
        TW_FUZZ_CHECK(!idx && idx.error().message.ends_with(": SEC_RANK is present but malformed — corrupt/tampered sheet"),
                      "a malformed rank section is not refused with its message");
    }
}

void meta(ByteView b) {
    auto pairs = decode_meta(b);
    if (!pairs) return;
    // Re-encoding the pairs gives back the bytes they were read from.
    std::string again(4, '\0');
    const uint32_t count = static_cast<uint32_t>(pairs->size());
    std::memcpy(again.data(), &count, 4);
    for (const auto& [k, v] : *pairs) {
        TW_FUZZ_CHECK(text::valid_utf8(k) && text::valid_utf8(v), "meta text is not UTF-8");
        const uint16_t kl = static_cast<uint16_t>(k.size());
        const uint32_t vl = static_cast<uint32_t>(v.size());
        again.append(reinterpret_cast<const char*>(&kl), 2).append(k);
        again.append(reinterpret_cast<const char*>(&vl), 4).append(v);
    }
    TW_FUZZ_CHECK(b.as_chars().starts_with(again), "meta pairs do not re-encode to their bytes");
}

// strict_varint as the format states it.
std::optional<uint64_t> plain_varint(ByteView b, size_t& pos) {
    if (pos >= b.size()) return std::nullopt;
    uint64_t v = 0;
    for (size_t i = 0; i < 10; ++i) {
        if (pos + i >= b.size()) {
            pos = b.size();
            return std::nullopt;
        }
        const uint8_t byte = b.data()[pos + i];
        if (i == 9) {
            pos += 10;
            if (byte > 1) return std::nullopt;
            return v | uint64_t{byte} << 63;
        }
        v |= uint64_t{byte & 0x7Fu} << (7 * i);
        if (!(byte & 0x80)) {
            pos += i + 1;
            return v;
        }
    }
    return std::nullopt;
}

void varints(ByteView b) {
    for (size_t start = 0; start < b.size() && start < 64; ++start) {
        size_t pos = start, want_pos = start, house_pos = start;
        const auto got = strict_varint(b, pos);
        const auto want = plain_varint(b, want_pos);
        TW_FUZZ_CHECK(got == want && pos == want_pos, "strict_varint differs at offset " + std::to_string(start));
        uint64_t house = 0;
        const bool ok = detail::house_varint(b.data(), b.size(), house_pos, house);
        TW_FUZZ_CHECK(ok == got.has_value() && (!ok || (house == *got && house_pos == pos)),
                      "the house-block varint differs at offset " + std::to_string(start));
    }
}

void container(ByteView b) {
    auto table = parse_sections(b);
    if (!table) return;
    for (uint8_t id = 1; id <= section::kMaxId; ++id) {
        const SectionSlot& s = (*table)[id];
        TW_FUZZ_CHECK(b.fits(s.offset, s.length), "a section outside the file");
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    const ByteView rest(data + 1, size - 1);
    switch (data[0] % 7) {
        case 0: admin(rest); break;
        case 1: rules_section(rest); break;
        case 2: parser(rest); break;
        case 3: rank(rest); break;
        case 4: meta(rest); break;
        case 5: varints(rest); break;
        case 6: container(rest); break;
    }
    return 0;
}
