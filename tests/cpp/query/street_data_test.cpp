#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "query/hit_lists.hpp"
#include "query/postal.hpp"
#include "query/search_sheet.hpp"
#include "query/street_data.hpp"
#include "rules/rules.hpp"

namespace tarnwik {
namespace {

using namespace query;
using testing::commune;
using testing::house;
using testing::HitView;
using testing::SearchSheet;
using testing::street;
using testing::views;

// Two communes named Valmora (the second more prominent) and Borgo, each
// with a Via Roma; the rules carry a rule pair, which turns the direct
// street-data stage on.
build::SheetSpec valmora_spec(bool pairs = true) {
    build::SheetSpec s;
    s.meta = {{"country", "pt"}};
    s.communes = {commune("A1", "Valmora", 40, 44.90, 8.60), commune("A2", "Valmora", 90, 45.30, 8.90),
                  commune("B1", "Borgo", 300, 44.95, 8.70)};
    s.streets = {street("Via Roma", 0, "15030", {house(1, 44.9001, 8.6), house(3, 44.9003, 8.6), house(5, 44.9005, 8.6)}),
                 street("Via Roma", 1, "15040", {house(3, 45.3003, 8.9), house(4, 45.3004, 8.9, "", "a")}),
                 street("Via Roma", 2, "15050", {house(3, 44.9503, 8.7)})};
    if (pairs) s.rules = {{rules::kKind24Pairs, "doce", "12"}};
    return s;
}

std::vector<std::string> communes_and_numbers(const std::vector<HitWithFeatures>& hits) {
    std::vector<std::string> out;
    for (const auto& [h, f] : hits) out.push_back(h.commune + " " + h.housenumber.value_or("-") + " @" + std::to_string(h.lat));
    return out;
}

HitWithFeatures fabricated(std::string_view precision, std::optional<std::string> number) {
    Hit h;
    h.precision = precision;
    h.street = "Somewhere Else";
    h.commune = "Elsewhere";
    h.housenumber = std::move(number);
    h.confidence = 0.5f;
    return {h, Features{}};
}

TEST(StreetDataDirect, OneHitPerNamesakeCommuneInTheLocality) {
    SearchSheet x(valmora_spec());
    ASSERT_TRUE(x.ok());
    // Both Valmoras have house 3; Borgo's is left out; the more prominent
    // Valmora comes first.
    const std::vector<std::string> both = {"Valmora 3 @45.300300", "Valmora 3 @44.900300"};
    for (const char* text : {"Via Roma 3, Valmora", "Via Roma, 3, Valmora", "  via roma   3 ,VALMORA ",
                             "Via Roma, 3 - scala B, Valmora"})
        EXPECT_EQ(communes_and_numbers(street_data_direct(*x, text, 10, {})), both) << text;

    const auto hits = street_data_direct(*x, "Via Roma 3, Valmora", 10, {});
    ASSERT_EQ(hits.size(), 2u);
    for (const auto& [h, f] : hits) {
        EXPECT_EQ(h.precision, "house");
        EXPECT_EQ(h.street, "Via Roma");
        EXPECT_EQ(h.flags, (std::vector<FixedText>{"street_exact", "commune_exact", "house_rep"}));
        EXPECT_EQ(f, (Features{1, 0, 1, 0, 0, 0, 0, 1, 1, 1}));
    }
    EXPECT_GE(hits[0].first.confidence, hits[1].first.confidence);

    EXPECT_EQ(communes_and_numbers(street_data_direct(*x, "Via Roma 3, Valmora", 1, {})),
              std::vector<std::string>{both[0]});
    EXPECT_EQ(communes_and_numbers(street_data_direct(*x, "Via Roma 5, Valmora", 10, {})),
              std::vector<std::string>{"Valmora 5 @44.900500"})
        << "the other Valmora has only a nearest house";
    EXPECT_EQ(communes_and_numbers(street_data_direct(*x, "Via Roma 4a, Valmora", 10, {})),
              std::vector<std::string>{"Valmora 4a @45.300400"});
    EXPECT_EQ(communes_and_numbers(street_data_direct(*x, "Via Roma 3, Borgo", 10, {})),
              std::vector<std::string>{"Borgo 3 @44.950300"});
}

TEST(StreetDataDirect, LeavesTheResultWhenItDoesNotApply) {
    SearchSheet x(valmora_spec());
    ASSERT_TRUE(x.ok());
    const std::vector<HitWithFeatures> current = {fabricated("street", std::nullopt)};
    for (const char* text : {
             "Via Roma 3 Valmora",                // one field
             "Via Roma, Valmora",                 // no number
             "Via Roma 3, Valmora 2",             // a locality with a digit
             "Via Roma 3, Centro, Valmora",       // number at the end of field 0 needs two fields
             "Via Roma, 3, Centro, Valmora",      // number in field 1 needs three fields
             "Via Roma, 3",                       // no locality field
             "Via Roma 123456, Valmora",          // not a house number
             "Via Roma 9, Valmora",               // only nearest houses
             "Via Roma 3, Nowhere",               // no such commune
             "Via Rome 3, Valmora",               // looked up exactly
         })
        EXPECT_EQ(views(street_data_direct(*x, text, 10, current)), views(current)) << text;

    // A result that already places the house stands; one with another
    // number does not.
    const std::vector<HitWithFeatures> placed = {fabricated("house", "3b")};
    EXPECT_EQ(views(street_data_direct(*x, "Via Roma 3, Valmora", 10, placed)), views(placed));
    EXPECT_EQ(street_data_direct(*x, "Via Roma 3, Valmora", 10, {fabricated("house", "5")}).size(), 2u);
    EXPECT_EQ(street_data_direct(*x, "Via Roma 3, Valmora", 10, {fabricated("near", "3")}).size(), 2u);
}

TEST(StreetData, DefaultRulesReduceToThePostalRetry) {
    SearchSheet x(valmora_spec(false));
    ASSERT_TRUE(x.ok());
    for (const char* text : {"Via Roma 3, Valmora", "Via Roma, 3, Valmora", "Via Roma 9, Borgo", "acme, Via Roma 3",
                             "Via Roma 3 15030 Valmora LX", "Valmora", "", ",,,"}) {
        const auto chain = views(query_feats_postal_retry(*x, text, 10));
        EXPECT_EQ(views(query_feats_street_data_base(*x, text, 10)), chain) << text;
        EXPECT_EQ(views(query_feats_street_data(*x, text, 10)), chain) << text;
    }
}

TEST(StreetData, BaseEndsWithTheDirectStageWhenTheRulesHavePairs) {
    SearchSheet x(valmora_spec());
    ASSERT_TRUE(x.ok());
    for (const char* text : {"Via Roma 3, Valmora", "Via Roma, 3, Valmora", "Via Roma 9, Valmora", "Via Roma 4, Valmora",
                             "Borgo"}) {
        const auto chain = query_feats_postal_retry(*x, text, 10);
        EXPECT_EQ(views(query_feats_street_data_base(*x, text, 10)), views(street_data_direct(*x, text, 10, chain)))
            << text;
    }
}

// Lisboa and Baixa both have a Rua Augusta; the field settings are on and
// "acme" opens a first field that is not part of the address.
build::SheetSpec pt_spec(std::vector<std::string> first_field_words) {
    build::SheetSpec s;
    s.meta = {{"country", "pt"}};
    s.communes = {commune("L1", "Lisboa", 500, 38.7, -9.1), commune("B1", "Baixa", 10, 38.71, -9.13)};
    s.streets = {street("Rua Augusta", 0, "1000-205", {house(1, 38.70, -9.10), house(3, 38.7001, -9.10)}),
                 street("Rua Augusta", 1, "1100-001", {house(7, 38.71, -9.13)})};
    for (const auto& [k, v] : std::vector<std::pair<std::string, std::string>>{
             {"enabled", "1"}, {"regions", "LX"}, {"forms", "comma"}, {"postal_digits", "7"}, {"postal_split", "4"}})
        s.rules.push_back({rules::kOptions, k, v});
    for (const std::string& w : first_field_words) s.rules.push_back({rules::kKind25Words, w, ""});
    return s;
}

TEST(StreetData, FirstFieldDroppedOnlyWhenNothingWasFound) {
    const char* rest = "Rua Augusta, s/n, Baixa, Lisboa, LX";
    {
        SearchSheet x(pt_spec({"Acme"}));
        ASSERT_TRUE(x.ok());
        const auto without = query_feats_street_data_base(*x, rest, 10);
        ASSERT_FALSE(without.empty());
        for (const char* text : {"acme, Rua Augusta, s/n, Baixa, Lisboa, LX",
                                 "ACME  Corp., Rua Augusta, s/n, Baixa, Lisboa, LX"}) {
            // Precondition: with the first field the chain finds nothing.
            ASSERT_TRUE(query_feats_street_data_base(*x, text, 10).empty()) << text;
            EXPECT_EQ(views(query_feats_street_data(*x, text, 10)), views(without)) << text;
        }
        // A word that only begins the first field's first word does not
        // open it.
        ASSERT_TRUE(query_feats_street_data_base(*x, "acmeco, Rua Augusta, s/n, Baixa, Lisboa, LX", 10).empty());
        EXPECT_TRUE(query_feats_street_data(*x, "acmeco, Rua Augusta, s/n, Baixa, Lisboa, LX", 10).empty());
        // Nothing left after the first field.
        EXPECT_EQ(views(query_feats_street_data(*x, "acme, ", 10)), views(query_feats_street_data_base(*x, "acme, ", 10)));
        // Found with the first field: kept as found.
        const char* found = "acme, Rua Augusta 3, Lisboa";
        ASSERT_FALSE(query_feats_street_data_base(*x, found, 10).empty());
        EXPECT_EQ(views(query_feats_street_data(*x, found, 10)), views(query_feats_street_data_base(*x, found, 10)));
    }
    {
        SearchSheet x(pt_spec({}));
        ASSERT_TRUE(x.ok());
        EXPECT_TRUE(query_feats_street_data(*x, "acme, Rua Augusta, s/n, Baixa, Lisboa, LX", 10).empty());
    }
}

TEST(StreetData, RescueAcceptance) {
    HitWithFeatures h = fabricated("house", "12b");
    h.first.commune = "Vila Nova";
    h.first.flags = {"street_fuzzy"};
    const std::vector<HitWithFeatures> hits = {h};
    EXPECT_TRUE(rescue_accepted(hits, 12, std::nullopt, true));
    EXPECT_TRUE(rescue_accepted(hits, 12, "vila nova", true));
    EXPECT_FALSE(rescue_accepted(hits, 12, "vila", true));
    EXPECT_FALSE(rescue_accepted(hits, 13, std::nullopt, false));
    EXPECT_FALSE(rescue_accepted({}, 12, std::nullopt, false));
    h.first.flags = {"commune_exact"};
    EXPECT_FALSE(rescue_accepted({h}, 12, std::nullopt, true));
    EXPECT_TRUE(rescue_accepted({h}, 12, std::nullopt, false));
    h.first.precision = "near";
    EXPECT_FALSE(rescue_accepted({h}, 12, std::nullopt, false));
    h.first.precision = "house";
    h.first.housenumber.reset();
    EXPECT_FALSE(rescue_accepted({h}, 12, std::nullopt, false));
}

}  // namespace
}  // namespace tarnwik
