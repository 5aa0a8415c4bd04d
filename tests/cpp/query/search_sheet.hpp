// Small exact sheets for the search-core tests: a description, written to a
// temporary file and opened, with the sheet's rules installed as the
// thread's current rules for as long as the sheet is held (as a query does).
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "build/sheet.hpp"
#include "index/index.hpp"
#include "index/sheet_fixture.hpp"
#include "query/match_flags.hpp"
#include "rules/rules.hpp"

namespace tarnwik {

inline void PrintTo(const MatchFlags& f, std::ostream* os) {
    *os << "{";
    bool first = true;
    for (size_t i = 0; i < MatchFlags::kSlots; ++i)
        if (f.slot[i]) {
            *os << (first ? "" : ",") << i;
            first = false;
        }
    *os << "}";
}

namespace testing {

// The flags with exactly the given slots set.
inline MatchFlags slots(std::initializer_list<MatchFlags::Slot> on) {
    MatchFlags f;
    for (MatchFlags::Slot s : on) f.set(s);
    return f;
}

class SearchSheet {
public:
    explicit SearchSheet(const build::SheetSpec& spec) : file_(std::make_unique<TempSheet>(write_or_die(spec))) {
        auto idx = Index::open(file_->path());
        EXPECT_TRUE(idx) << (idx ? "" : idx.error().message);
        if (!idx) return;
        idx_ = *idx;
        rules_.emplace(idx_->rules());
    }
    bool ok() const { return idx_ != nullptr; }
    const Index& operator*() const { return *idx_; }
    const Index* operator->() const { return idx_.get(); }

private:
    std::unique_ptr<TempSheet> file_;
    std::shared_ptr<const Index> idx_;
    std::optional<rules::ScopedCurrent> rules_;
};

inline build::HouseSpec house(uint32_t number, double lat, double lon, std::string postcode = "",
                              std::string suffix = "") {
    return build::HouseSpec{number, std::move(suffix), lat, lon, std::move(postcode)};
}

inline build::StreetSpec street(std::string name, uint32_t commune, std::string postcode = "",
                                std::vector<build::HouseSpec> houses = {}) {
    if (houses.empty()) houses.push_back(house(1, 45.0, 5.0));
    return build::StreetSpec{std::move(name), commune, std::nullopt, std::nullopt, std::move(postcode),
                             std::move(houses)};
}

inline build::CommuneSpec commune(std::string code, std::string name, uint32_t prominence = 1,
                                  std::optional<double> lat = 45.0, std::optional<double> lon = 5.0,
                                  std::vector<std::string> aliases = {}) {
    return build::CommuneSpec{std::move(code), std::move(name), prominence, lat, lon, std::move(aliases)};
}

}  // namespace testing
}  // namespace tarnwik
