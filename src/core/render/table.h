// Box-drawn text tables: a header row and body rows of UTF-8 cells, laid out
// at their natural width or wrapped to fit a terminal.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tessellar {

struct TableCell {
    std::string text;  // UTF-8; a line feed starts a new line inside the cell
    bool bold = false;
};

using TableRow = std::vector<TableCell>;

// Rows shorter than the longest row are completed with empty cells.
struct TextTable {
    TableRow header;
    std::vector<TableRow> rows;
};

struct RenderOptions {
    // Terminal columns the table must fit in; without one every column takes
    // its natural width and nothing wraps.
    std::optional<std::size_t> width_limit = std::nullopt;
    // Wrap the texts of bold cells in terminal bold escapes.
    bool styled = false;
};

// Terminal columns `text` occupies: wide characters count two, combining
// marks none. A byte that does not start a valid UTF-8 sequence counts one
// (the renderer draws it as U+FFFD).
std::size_t display_width(std::string_view text);

// The table's lines joined with "\n", without a trailing line feed. Like
// every container, it throws std::bad_alloc only when memory runs out.
std::string render_table(const TextTable& table, const RenderOptions& options = {});

}  // namespace tessellar
