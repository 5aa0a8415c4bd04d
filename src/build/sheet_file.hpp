// Writing a sheet file the way every builder command does: atomically, and
// only when the engine itself accepts the result.
#pragma once

#include <cstdint>
#include <string>

#include "build/sheet.hpp"
#include "util/result.hpp"

namespace tarnwik::build {

struct WrittenSheet {
    WriteStats stats;
    uint64_t bytes = 0;
};

// Writes the sheet to a temporary file next to `path` and renames it into
// place, so readers never see a half-written sheet and a failed build leaves
// an earlier file at `path` untouched. With `verify`, the temporary file is
// first opened with Index::open; when the engine refuses it, nothing is left
// behind and the error is the engine's message (naming `path`, not the
// temporary file). Tests that need deliberately malformed sheets pass
// verify = false.
Result<WrittenSheet> write_sheet_file(const std::string& path, const SheetSpec& spec, bool verify = true);

}  // namespace tarnwik::build
