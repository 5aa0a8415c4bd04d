// Sheets crafted to make opening walk without end. Open streams the whole
// words map to check every word's postings, so a map whose paths can only be
// told apart from a real one by walking them must still fail fast, with the
// corrupt-index message.
#include <gtest/gtest.h>

#include "fst/hostile_maps.hpp"
#include "index/sheet_fixture.hpp"

namespace tarnwik {
namespace {

TEST(OpenHostileSheet, WordsMapOfDeadEndsIsCorrupt) {
    // 2^21 paths without a key: walked one by one, the open would take
    // seconds and then succeed.
    build::SheetSpec spec = testing::small_spec();
    spec.section_overrides[section::words_fst] = fsttest::dead_end_dag(21);
    EXPECT_EQ(testing::open_error(spec), "{}: corrupt index (panic while reading sections)");
}

}  // namespace
}  // namespace tarnwik
