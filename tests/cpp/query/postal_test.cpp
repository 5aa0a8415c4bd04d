#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "query/dispatch.hpp"
#include "query/hit_lists.hpp"
#include "query/postal.hpp"
#include "query/search_sheet.hpp"
#include "rules/rules.hpp"

namespace tarnwik {
namespace {

using namespace query;
using testing::commune;
using testing::house;
using testing::SearchSheet;
using testing::street;
using testing::views;

using Options = std::vector<std::pair<std::string, std::string>>;

Options field_options(std::string digits = "7", std::string split = "4", std::string forms = "comma hyphen") {
    return {{"enabled", "1"},
            {"regions", "LX PO sp Éx"},
            {"forms", std::move(forms)},
            {"postal_digits", std::move(digits)},
            {"postal_split", std::move(split)}};
}

// Rules with the given address-field options, installed on the thread.
class WithOptions {
public:
    explicit WithOptions(const Options& options) : rules_(rules::defaults()) {
        for (const auto& [k, v] : options) rules_.add(rules::kOptions, k, v);
        scope_.emplace(rules_);
    }

private:
    Rules rules_;
    std::optional<rules::ScopedCurrent> scope_;
};

TEST(CityTail, FindsTheLocalityBeforeTheRegionCode) {
    const WithOptions rules(field_options("5", "2"));
    struct Case {
        const char* text;
        std::optional<CityTail> tail;
    };
    const std::vector<Case> cases = {
        {"street 10, Springfield, LX", CityTail{"springfield", std::nullopt}},
        {"street 10, Springfield, LX, 12345", CityTail{"springfield", std::nullopt}},
        {"street 10, Springfield, LX, 12-345", CityTail{"springfield", std::nullopt}},
        {"street 10, Springfield - PO", CityTail{"springfield", std::nullopt}},
        {"street 10, São Paulo, SP", CityTail{"sao paulo", std::nullopt}},
        {"street 10 , Sa\u0303o Paulo - sp ,28013", CityTail{"sao paulo", std::nullopt}},
        {"street 10, Vila Nova - Norte - LX", CityTail{"vila nova norte", std::nullopt}},
        // Only ASCII letters fold: an accented letter must match exactly.
        {"street 10, Springfield, ÉX", CityTail{"springfield", std::nullopt}},
        {"street 10, Springfield, éx", std::nullopt},
        {"street 10, Springfield 2, LX", std::nullopt},  // a locality with a digit is not one
        {"street 10, Springfield, XY", std::nullopt},    // no region code
        {"street 10 Springfield LX", std::nullopt},      // one field
        {"street 10 Springfield - LX", std::nullopt},    // the only field is the first
        {"Springfield, LX", std::nullopt},               // nothing before the locality
        {"Springfield - LX, 12345", std::nullopt},
        {"12345", std::nullopt},
        {"street 10, Springfield, LX, 1234", std::nullopt},  // not a postcode: LX is no locality
        {"", std::nullopt},
    };
    for (const Case& c : cases) EXPECT_EQ(city_tail(c.text), c.tail) << c.text;
}

TEST(CityTail, DistrictLeftOutOfTheAlternative) {
    const WithOptions rules(field_options());
    EXPECT_EQ(city_tail("Rua A, s/n, Centro, Lisboa, LX"),
              (CityTail{"lisboa", "Rua A, s/n, Lisboa, LX"}));
    EXPECT_EQ(city_tail("Rua A, S/N, Centro, Lisboa, LX, 1000-205"),
              (CityTail{"lisboa", "Rua A, S/N, Lisboa, LX, 1000-205"}));
    EXPECT_EQ(city_tail("Rua A,  12b , Centro, Lisboa - LX"), (CityTail{"lisboa", "Rua A, 12b, Lisboa - LX"}));
    EXPECT_EQ(city_tail("Rua A, 12b, Centro, Lisboa, LX"), (CityTail{"lisboa", "Rua A, 12b, Lisboa, LX"}));
    EXPECT_EQ(city_tail("Rua A, sem numero, Centro, Lisboa, LX"), (CityTail{"lisboa", std::nullopt}));
    EXPECT_EQ(city_tail("Rua A, s/n, , Lisboa, LX"), (CityTail{"lisboa", std::nullopt}));
    EXPECT_EQ(city_tail(", s/n, Centro, Lisboa, LX"), (CityTail{"lisboa", std::nullopt}));
    EXPECT_EQ(city_tail("Rua A, 1, Centro, Baixa, Lisboa, LX"), (CityTail{"lisboa", std::nullopt}));
}

TEST(CityTail, FormsAndSettingsDecide) {
    {
        const WithOptions rules(field_options("7", "4", "comma"));
        EXPECT_EQ(city_tail("street 10, Springfield - LX"), std::nullopt);
        EXPECT_TRUE(city_tail("street 10, Springfield, LX"));
    }
    {
        const WithOptions rules(field_options("7", "4", "hyphen"));
        EXPECT_EQ(city_tail("street 10, Springfield, LX"), std::nullopt);
        EXPECT_TRUE(city_tail("street 10, Springfield - LX"));
    }
    {
        // A split that is not inside the postcode leaves only its bare form.
        const WithOptions rules(field_options("5", "5"));
        EXPECT_TRUE(city_tail("street 10, Springfield, LX, 12345"));
        EXPECT_EQ(city_tail("street 10, Springfield, LX, 12-345"), std::nullopt);
    }
    for (const Options& off : std::vector<Options>{
             {},
             {{"enabled", "true"}, {"regions", "LX"}, {"forms", "comma"}, {"postal_digits", "5"}, {"postal_split", "2"}},
             {{"enabled", "1"}, {"forms", "comma"}, {"postal_digits", "5"}, {"postal_split", "2"}},
             {{"enabled", "1"}, {"regions", "LX"}, {"postal_digits", "5"}, {"postal_split", "2"}},
             {{"enabled", "1"}, {"regions", "LX"}, {"forms", "comma"}, {"postal_split", "2"}},
             {{"enabled", "1"}, {"regions", "LX"}, {"forms", "comma"}, {"postal_digits", "-5"}, {"postal_split", "2"}},
             {{"enabled", "1"}, {"regions", "LX"}, {"forms", "comma"}, {"postal_digits", "5"}, {"postal_split", "+"}},
         }) {
        const WithOptions rules(off);
        EXPECT_EQ(city_tail("street 10, Springfield, LX"), std::nullopt) << off.size();
    }
}

TEST(PostalRetry, HyphenatesRunsOfExactlyThePostcodeLength) {
    struct Case {
        const char* text;
        std::optional<std::string> rewritten;
    };
    const std::vector<Case> cases = {
        {"rua x 12 1000205 lisboa", "rua x 12 1000-205 lisboa"},
        {"1000205", "1000-205"},
        {"1000205,1100001", "1000-205,1100-001"},
        {"cp1000205é", "cp1000-205é"},
        {"1000205-1", std::nullopt},
        {"1-1000205", std::nullopt},
        {"1000-205", std::nullopt},
        {"10002055", std::nullopt},
        {"100020", std::nullopt},
        {"1000205\u00b2", std::nullopt},  // superscript two is numeric
        {"\u0663" "1000205", std::nullopt},  // an Arabic-Indic digit too
        {"\u2167 1000205", "\u2167 1000-205"},  // a space between
        {"", std::nullopt},
    };
    for (const Case& c : cases) EXPECT_EQ(hyphenate_postcodes(c.text, 7, 4), c.rewritten) << c.text;
}

// Lisboa and Baixa both have a Rua Augusta; Porto has the only Rua Nova.
// The region code is also a region word of the rules, which the search
// leaves out together with the locality before it.
build::SheetSpec pt_spec(const Options& options) {
    build::SheetSpec s;
    s.meta = {{"country", "pt"}};
    s.communes = {commune("L1", "Lisboa", 500, 38.7, -9.1), commune("P1", "Porto", 300, 41.1, -8.6),
                  commune("B1", "Baixa", 10, 38.71, -9.13)};
    s.streets = {street("Rua Augusta", 0, "1000-205", {house(1, 38.70, -9.10), house(3, 38.7001, -9.10)}),
                 street("Rua Nova", 1, "4000-100", {house(2, 41.1, -8.6), house(4, 41.1001, -8.6)}),
                 street("Rua Augusta", 2, "1100-001", {house(7, 38.71, -9.13)})};
    for (const auto& [k, v] : options) s.rules.push_back({rules::kOptions, k, v});
    s.rules.push_back({rules::kRegionWords, "lx", ""});
    return s;
}

TEST(CityTail, AnswerMustLieInTheLocality) {
    SearchSheet x(pt_spec(field_options()));
    ASSERT_TRUE(x.ok());
    // Precondition: the search finds Rua Nova, in Porto, for both texts.
    const auto lisboa = query_feats_country_variants(*x, "Rua Nova, Lisboa, LX", 10);
    ASSERT_FALSE(lisboa.empty());
    ASSERT_EQ(lisboa.front().first.commune, "Porto");
    ASSERT_EQ(lisboa.front().first.precision, "street");
    EXPECT_TRUE(query_feats_city_tail(*x, "Rua Nova, Lisboa, LX", 10).empty());
    EXPECT_TRUE(query_feats_postal_retry(*x, "Rua Nova, Lisboa, LX", 10).empty());
    EXPECT_EQ(views(query_feats_city_tail(*x, "Rua Nova, Porto, PO", 10)),
              views(query_feats_country_variants(*x, "Rua Nova, Porto, PO", 10)));

    // A placed house stands wherever it is.
    const auto house2 = query_feats_country_variants(*x, "Rua Nova 2, Lisboa, LX", 10);
    ASSERT_FALSE(house2.empty());
    ASSERT_EQ(house2.front().first.precision, "house");
    EXPECT_EQ(views(query_feats_city_tail(*x, "Rua Nova 2, Lisboa, LX", 10)), views(house2));

    // So does a nearest house, before the alternative without the district
    // is ever tried.
    const char* district = "Rua Augusta, 3, Baixa, Lisboa, LX";
    const auto near = query_feats_country_variants(*x, district, 10);
    ASSERT_FALSE(near.empty());
    ASSERT_EQ(near.front().first.precision, "near");
    ASSERT_EQ(near.front().first.commune, "Baixa");
    EXPECT_EQ(views(query_feats_city_tail(*x, district, 10)), views(near));
}

TEST(CityTail, WithoutSettingsTheLayersPassThrough) {
    Options not_enabled = field_options();
    not_enabled[0].second = "true";
    for (const Options& options : {Options{}, not_enabled}) {
        SearchSheet x(pt_spec(options));
        ASSERT_TRUE(x.ok());
        for (const char* q : {"Rua Nova, Lisboa, LX", "Rua Augusta 1000205", "Rua Augusta, 3, Baixa, Lisboa, LX"}) {
            const auto plain = views(query_feats_country_variants(*x, q, 10));
            EXPECT_EQ(views(query_feats_city_tail(*x, q, 10)), plain) << q;
            EXPECT_EQ(views(query_feats_postal_retry(*x, q, 10)), plain) << q;
        }
    }
}

TEST(PostalRetry, RetriesWithTheHyphenWhenNoHouseWasPlaced) {
    SearchSheet x(pt_spec(field_options()));
    ASSERT_TRUE(x.ok());
    const auto plain = query_feats_city_tail(*x, "Rua Augusta 1000205", 10);
    const auto hyphenated = query_feats_city_tail(*x, "Rua Augusta 1000-205", 10);
    // Precondition: the two spellings answer differently, the bare one
    // without a placed house.
    ASSERT_FALSE(plain.empty());
    ASSERT_EQ(plain.front().first.precision, "street");
    ASSERT_FALSE(hyphenated.empty());
    ASSERT_NE(views(plain), views(hyphenated));
    EXPECT_EQ(views(query_feats_postal_retry(*x, "Rua Augusta 1000205", 10)), views(hyphenated));

    // A placed house is not retried.
    const auto placed = query_feats_city_tail(*x, "Rua Augusta 3 1000205 Lisboa", 10);
    ASSERT_FALSE(placed.empty());
    ASSERT_EQ(placed.front().first.precision, "house");
    EXPECT_EQ(views(query_feats_postal_retry(*x, "Rua Augusta 3 1000205 Lisboa", 10)), views(placed));
}

TEST(PostalRetry, NeedsASplitInsideThePostcode) {
    for (const char* split : {"0", "7", "9"}) {
        SearchSheet x(pt_spec(field_options("7", split)));
        ASSERT_TRUE(x.ok());
        EXPECT_EQ(views(query_feats_postal_retry(*x, "Rua Augusta 1000205", 10)),
                  views(query_feats_city_tail(*x, "Rua Augusta 1000205", 10)))
            << split;
    }
}

}  // namespace
}  // namespace tarnwik
