// The built-in vocabularies (Russian, Uzbek, Serbian, Dutch, French and
// Italian). Entries are written nearly in normalised form: abbreviation keys
// carry the space the normaliser puts where a full stop was ("p zza" for
// "P.zza"). The Russian words keep their й for readability; the normaliser
// strips its breve like any diacritic, so every entry goes through it once
// here, or "район" could never match a normalised query word ("раион").
#include <span>
#include <string_view>
#include <utility>

#include "norm/norm.hpp"
#include "rules/rules.hpp"

namespace tarnwik::rules {
namespace {

using Pair = std::pair<std::string_view, std::string_view>;

constexpr Pair kCommuneAliasesDefault[] = {
    {"den haag", "s gravenhage"},
    {"den bosch", "s hertogenbosch"},
    {"reggio emilia", "reggio nell emilia"},
};

constexpr Pair kCityAliasesDefault[] = {
    {"спб", "санкт петербург"},
    {"мск", "москва"},
    {"екб", "екатеринбург"},
    {"нск", "новосибирск"},
    {"питер", "санкт петербург"},
    {"bg", "beograd"},
    {"ns", "novi sad"},
    {"amsterdam zo", "amsterdam"},
    {"moscow", "москва"},
    {"saint petersburg", "санкт петербург"},
    {"st petersburg", "санкт петербург"},
    {"rome", "roma"},
    {"milan", "milano"},
    {"naples", "napoli"},
    {"turin", "torino"},
    {"florence", "firenze"},
    {"venice", "venezia"},
    {"genoa", "genova"},
    {"padua", "padova"},
};

constexpr Pair kAbbreviationsDefault[] = {
    {"p zza", "piazza"},
    {"c so", "corso"},
    {"v le", "viale"},
    {"пр кт", "проспект"},
    {"б р", "бульвар"},
    {"пр т", "проспект"},
};

constexpr std::string_view kMajorCitiesDefault[] = {
    "москва", "paris", "roma", "amsterdam", "beograd", "toshkent", "ташкент", "s gravenhage",
    "санкт петербург",
};
constexpr std::string_view kStreetTypesRuDefault[] = {
    "улица", "проспект", "переулок", "набережная", "шоссе", "бульвар", "площадь", "проезд",
    "аллея", "тупик", "квартал", "микрорайон",
};
constexpr std::string_view kStreetTypesFrItDefault[] = {
    "rue", "avenue", "boulevard", "place", "impasse", "allee", "chemin", "route", "cours",
    "quai", "passage", "square", "via", "viale", "corso", "piazza", "largo", "vicolo", "strada",
};
constexpr std::string_view kStreetTypesOtherDefault[] = {
    "straat", "laan", "weg", "plein", "gracht", "dijk", "kade", "steeg", "singel", "hof",
    "ulica", "bulevar", "trg", "put", "kochasi", "kocha", "kuchasi", "mavze", "mavzesi",
    "dahasi", "daha", "prospekti", "piazzale", "salita",
};
constexpr std::string_view kAffixesDefault[] = {
    "массив", "massiv", "мкр", "микрорайон", "квартал", "kvartal", "жилой", "residential",
    "комплекс", "complex", "жк",
};
constexpr std::string_view kCityMarkersDefault[] = {
    "г", "гор", "город", "gorod", "shahri", "sh",
};
constexpr std::string_view kCitySuffixesDefault[] = {
    "город", "grad", "sh",
};
constexpr std::string_view kRegionWordsDefault[] = {
    "обл", "область", "области", "край", "края", "респ", "республика", "район", "района", "р н",
    "tumani", "tuman", "viloyat", "viloyati",
};
constexpr std::string_view kCountryNamesDefault[] = {
    "france", "francia", "frankrijk", "франция", "italia", "italy", "italie", "италия",
    "srbija", "serbia", "сербия", "србија", "россия", "russia", "рф", "узбекистан",
    "uzbekistan", "ozbekiston", "nederland", "netherlands", "holland", "нидерланды",
};
constexpr std::string_view kCountryWordsDefault[] = {
    "france", "francia", "франция", "nederland", "netherlands", "holland", "нидерланды",
    "italia", "italy", "italie", "италия", "srbija", "serbia", "сербия", "србија", "россия",
    "russia", "рф", "федерация", "российская", "uzbekistan", "узбекистан", "ozbekiston",
    "europe", "европа",
};
constexpr std::string_view kSettlementTypesDefault[] = {
    "территория", "тер", "муниципальный", "округ", "поселение", "городской", "деревня", "дер",
    "село", "поселок", "пос", "рп", "пгт", "аул", "кишлак",
};
constexpr std::string_view kGardenWordsDefault[] = {
    "снт", "днп", "тсн", "сдт", "ст", "садовое", "дачное", "некоммерческое", "товарищество",
    "массив", "микрорайон", "мкр", "квартал", "город", "обл", "область", "край", "район",
};
constexpr std::string_view kArrondissementCitiesDefault[] = {
    "paris", "lyon", "marseille",
};
constexpr std::string_view kQuarterWordsDefault[] = {
    "квартал", "kvartal", "mavze", "mavzesi", "даха", "daha", "dahasi", "массив", "massiv",
    "мкр", "микрорайон",
};

struct WordKind {
    Kind kind;
    std::span<const std::string_view> words;
};

// In the order they are added; the order inside each list is significant.
constexpr WordKind kWordDefaults[] = {
    {kMajorCities, kMajorCitiesDefault},
    {kStreetTypesRu, kStreetTypesRuDefault},
    {kStreetTypesFrIt, kStreetTypesFrItDefault},
    {kStreetTypesOther, kStreetTypesOtherDefault},
    {kAffixes, kAffixesDefault},
    {kCityMarkers, kCityMarkersDefault},
    {kCitySuffixes, kCitySuffixesDefault},
    {kRegionWords, kRegionWordsDefault},
    {kCountryNames, kCountryNamesDefault},
    {kCountryWords, kCountryWordsDefault},
    {kSettlementTypes, kSettlementTypesDefault},
    {kGardenWords, kGardenWordsDefault},
    {kArrondissementCities, kArrondissementCitiesDefault},
    {kQuarterWords, kQuarterWordsDefault},
};

}  // namespace

Rules defaults() {
    using norm::normalize;
    Rules r;
    for (const auto& [k, v] : kCityAliasesDefault) r.city_aliases.emplace_back(normalize(k), normalize(v));
    for (const auto& [k, v] : kAbbreviationsDefault) r.abbreviations.emplace_back(normalize(k), normalize(v));
    for (const auto& [k, v] : kCommuneAliasesDefault) r.commune_aliases.emplace(normalize(k), normalize(v));
    for (const WordKind& wk : kWordDefaults)
        for (std::string_view w : wk.words) r.add(wk.kind, normalize(w), {});
    return r;
}

}  // namespace tarnwik::rules
