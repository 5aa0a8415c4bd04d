// French municipal arrondissements (Paris, Lyon, Marseille): a query that
// designates one by its postcode, or by the city followed by an ordinal, is
// answered inside that arrondissement's commune.
//
// The query driver calls both operations on French sheets only, with the
// words of its prepared key.
#pragma once

#include <span>
#include <string>
#include <string_view>

namespace tarnwik::query {

// What a query that holds an arrondissement postcode asks for.
struct FrPostcodeArea {
    enum class Kind {
        not_applicable,  // the driver goes on with its other readings
        empty_answer,    // the words contradict the postcode: no hits
        commune,         // the query names only the arrondissement
    };
    Kind kind = Kind::not_applicable;
    std::string commune;  // "paris 15e arrondissement"; set for Kind::commune
};

// Of a query made of an arrondissement postcode and at most the city, its
// ordinal and "arrondissement": the arrondissement's commune text.
FrPostcodeArea fr_arrondissement_postcode_area(std::span<const std::string_view> words);

// The arrondissement a query's street search is restricted to.
struct FrConstraint {
    enum class Kind {
        none,      // no arrondissement designated
        conflict,  // designations disagree: no hits
        commune,   // search only inside `commune`
    };
    Kind kind = Kind::none;
    std::string commune;  // set for Kind::commune
};

// Every arrondissement postcode, and every city word followed by an
// ordinal, read as an arrondissement's commune text.
FrConstraint fr_arrondissement_constraint(std::span<const std::string_view> words);

}  // namespace tarnwik::query
