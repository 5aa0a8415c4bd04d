#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <string>

#include "build/inspect.hpp"
#include "build/keys_report.hpp"
#include "build/sheet_file.hpp"
#include "index/container.hpp"
#include "util/text.hpp"

namespace tarnwik::build {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;

class TempDir {
public:
    TempDir() {
        char tmpl[] = "/tmp/tarnwik-build-test-XXXXXX";
        path_ = ::mkdtemp(tmpl);
    }
    ~TempDir() { fs::remove_all(path_); }
    std::string file(const std::string& name) const { return (path_ / name).string(); }
    std::vector<std::string> entries() const {
        std::vector<std::string> out;
        for (const auto& e : fs::directory_iterator(path_)) out.push_back(e.path().filename().string());
        return out;
    }

private:
    fs::path path_;
};

SheetSpec two_streets() {
    SheetSpec s;
    s.meta = {{"country", "it"}, {"layer", "addresses"}, {"country", "xx"}};
    s.communes.push_back({"", "Valmora", 30, 44.9, 8.6, {"Centro"}});
    s.communes.push_back({"", "Borgo Lieto", 10, 44.95, 8.7, {}});
    StreetSpec roma{"Via Roma", 0, std::nullopt, std::nullopt, "15030", {}};
    for (uint32_t n : {1u, 2u, 3u}) roma.houses.push_back({n, n == 2 ? "a" : "", 44.9 + n * 1e-5, 8.6, "15030"});
    StreetSpec vigne{"Via delle Vigne", 1, std::nullopt, std::nullopt, "", {{4, " bis", 44.95, 8.7, ""}}};
    s.streets = {roma, vigne};
    return s;
}

TEST(SheetFile, WrittenSheetIsSummarisedByInspect) {
    TempDir dir;
    const std::string path = dir.file("t.sheet");
    auto w = write_sheet_file(path, two_streets());
    ASSERT_TRUE(w) << w.error().message;
    EXPECT_EQ(w->bytes, fs::file_size(path));
    EXPECT_EQ(dir.entries(), std::vector<std::string>{"t.sheet"});  // no temporary left

    auto text = inspect_sheet(path);
    ASSERT_TRUE(text) << text.error().message;
    json j = json::parse(*text);
    EXPECT_EQ(j["path"], path);
    EXPECT_EQ(j["format_version"], 7);
    EXPECT_EQ(j["communes"], 2);
    EXPECT_EQ(j["streets"], 2);
    EXPECT_EQ(j["houses"], 4);
    EXPECT_EQ(j["house_suffixes"], 2);
    EXPECT_EQ(j["word_keys"], w->stats.word_keys);
    EXPECT_GT(j["word_keys"].get<int>(), 0);
    EXPECT_EQ(j["meta"], json::parse(R"([["country","it"],["layer","addresses"],["country","xx"]])"));
    ASSERT_TRUE(j["center"].is_object()) << *text;
    EXPECT_NEAR(j["center"]["lat"].get<double>(), 44.9, 1e-7);
    EXPECT_NEAR(j["center"]["lon"].get<double>(), 8.6, 1e-7);

    // Sections: the table of contents as the file has it.
    std::ifstream in(path, std::ios::binary);
    std::string bytes((std::istreambuf_iterator<char>(in)), {});
    ByteView file(bytes);
    ASSERT_EQ(j["sections"].size(), file.u8(5));
    for (size_t i = 0; i < j["sections"].size(); ++i) {
        const json& s = j["sections"][i];
        EXPECT_EQ(s["id"], file.u8(6 + 17 * i));
        EXPECT_EQ(s["offset"], file.u64(7 + 17 * i));
        EXPECT_EQ(s["length"], file.u64(15 + 17 * i));
        EXPECT_EQ(s["name"], std::string(section_name(s["id"].get<int>())));
    }
    EXPECT_EQ(section_name(4), "streets_fst");
    EXPECT_EQ(section_name(15), "SEC_RULES");
}

TEST(SheetFile, SheetWithoutCenterShowsNull) {
    TempDir dir;
    SheetSpec s = two_streets();
    for (CommuneSpec& c : s.communes) c.prominence = 0;
    s.omit_sections = {section::meta};
    ASSERT_TRUE(write_sheet_file(dir.file("t.sheet"), s));
    json j = json::parse(*inspect_sheet(dir.file("t.sheet")));
    EXPECT_TRUE(j["center"].is_null());
    EXPECT_EQ(j["meta"], json::array());
}

TEST(SheetFile, RefusedSheetIsNotLeftBehind) {
    TempDir dir;
    const std::string path = dir.file("out.sheet");
    { std::ofstream(path) << "earlier build"; }
    SheetSpec bad = two_streets();
    bad.section_overrides[section::streets_meta] = std::string(35, '\0');
    auto w = write_sheet_file(path, bad);
    ASSERT_FALSE(w);
    // The engine's message, naming the requested path rather than the temporary file.
    EXPECT_EQ(w.error().message,
              text::debug_quote(path) + ": streets_meta length is not a whole number of records — corrupt");
    EXPECT_EQ(dir.entries(), std::vector<std::string>{"out.sheet"});
    std::ifstream in(path);
    std::string kept((std::istreambuf_iterator<char>(in)), {});
    EXPECT_EQ(kept, "earlier build");

    // Unverified, the same description is written, and then refused on open.
    ASSERT_TRUE(write_sheet_file(path, bad, /*verify=*/false));
    auto summary = inspect_sheet(path);
    ASSERT_FALSE(summary);
    EXPECT_EQ(summary.error().message, w.error().message);
}

TEST(SheetFile, WriterErrorsAndUnwritablePaths) {
    TempDir dir;
    SheetSpec bad = two_streets();
    bad.streets[0].commune = 9;
    auto w = write_sheet_file(dir.file("x.sheet"), bad);
    ASSERT_FALSE(w);
    EXPECT_NE(w.error().message.find("commune 9 does not exist"), std::string::npos) << w.error().message;
    EXPECT_TRUE(dir.entries().empty());

    auto nodir = write_sheet_file(dir.file("missing/x.sheet"), two_streets());
    ASSERT_FALSE(nodir);
    EXPECT_NE(nodir.error().message.find("cannot create"), std::string::npos) << nodir.error().message;
}

TEST(KeysReport, EveryKeyForm) {
    auto k = keys_json("  Rue   de l'Église 12-14 ");
    ASSERT_TRUE(k);
    EXPECT_EQ(json::parse(*k), json::parse(R"({
        "normalize": "rue de l eglise 12",
        "fold_homoglyphs": "rue de l eglise 12",
        "translit_cyr_lat": "rue de l eglise 12",
        "translit_cyr_lat_en": "rue de l eglise 12",
        "translit_lat_cyr": "руе де л еглисе 12",
        "phonetic_key": "roi di l iglisi 12",
        "fold_units": "rue de l eglise 12",
        "prepared_query_key": "rue de l eglise 12",
        "street_key": "12 de eglise l rue"})"));

    // Upper case and ё are normalised away before the script functions run.
    auto cyr = keys_json("Ул. Щёлкова, лeнинa");
    ASSERT_TRUE(cyr);
    EXPECT_EQ(json::parse(*cyr), json::parse(R"({
        "normalize": "ул щелкова лeнинa",
        "fold_homoglyphs": "ул щелкова ленина",
        "translit_cyr_lat": "ul scelkova lenina",
        "translit_cyr_lat_en": "ul shchelkova lenina",
        "translit_lat_cyr": "ул щелкова ленина",
        "phonetic_key": "ol shchilkovo linino",
        "fold_units": "ул щелкова ленина",
        "prepared_query_key": "ул щелкова ленина",
        "street_key": "лeнинa ул щелкова"})"));
    auto bad = keys_json("a\xFF");
    ASSERT_FALSE(bad);
    EXPECT_NE(bad.error().message.find("not valid UTF-8"), std::string::npos);
}

}  // namespace
}  // namespace tarnwik::build
