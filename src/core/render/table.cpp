#include "core/render/table.h"

#include <utf8proc.h>

#include <algorithm>
#include <array>
#include <numeric>

namespace tessellar {
namespace {

// Box characters by role, in the order of the style string below.
enum Box : std::size_t {
    Left, Right, Top, Bottom,
    HeadLeft, HeadLine, HeadCross, HeadRight,
    Column, RowLine, RowCross, RowLeft, RowRight,
    TopCross, BottomCross, TopLeft, TopRight, BottomLeft, BottomRight,
    BoxCount,
};

// A full box-drawing set; the modifier rounds its four corners (a space
// keeps the style's character).
constexpr std::string_view kBoxStyle = "││──╞═╪╡┆╌┼├┤┬┴┌┐└┘";
constexpr std::string_view kCornerModifier = "               ╭╮╰╯";

constexpr std::string_view kBoldOn = "\x1b[1m";
constexpr std::string_view kBoldOff = "\x1b[0m";
constexpr std::string_view kReplacement = "\xEF\xBF\xBD";  // U+FFFD

struct Glyph {
    std::size_t bytes;
    std::size_t width;
    bool valid;
};

// The code point at the front of a non-empty `text`. A byte that does not
// start a valid sequence stands alone, one column wide, so nothing ever
// splits a sequence and malformed input cannot derail the layout.
Glyph front_glyph(std::string_view text) {
    utf8proc_int32_t code_point = 0;
    const utf8proc_ssize_t bytes =
        utf8proc_iterate(reinterpret_cast<const utf8proc_uint8_t*>(text.data()),
                         static_cast<utf8proc_ssize_t>(text.size()), &code_point);
    if (bytes <= 0) return {1, 1, false};
    const int width = utf8proc_charwidth(code_point);
    return {static_cast<std::size_t>(bytes), width > 0 ? static_cast<std::size_t>(width) : 0, true};
}

std::string_view take_glyph(std::string_view& text) {
    const std::string_view glyph = text.substr(0, front_glyph(text).bytes);
    text.remove_prefix(glyph.size());
    return glyph;
}

const std::array<std::string, BoxCount>& box_chars() {
    static const std::array<std::string, BoxCount> chars = [] {
        std::array<std::string, BoxCount> result;
        std::string_view style = kBoxStyle, modifier = kCornerModifier;
        for (std::string& ch : result) {
            const std::string_view base = take_glyph(style), over = take_glyph(modifier);
            ch = over == " " ? base : over;
        }
        return result;
    }();
    return chars;
}

const std::string& box(Box role) { return box_chars()[role]; }

// Invalid bytes become U+FFFD so the output is valid UTF-8 and every such
// byte takes the one column display_width() counted for it.
std::string valid_utf8(std::string_view text) {
    std::string result;
    result.reserve(text.size());
    while (!text.empty()) {
        const Glyph glyph = front_glyph(text);
        result += glyph.valid ? text.substr(0, glyph.bytes) : kReplacement;
        text.remove_prefix(glyph.bytes);
    }
    return result;
}

std::size_t widest_glyph(std::string_view text) {
    std::size_t widest = 0;
    for (; !text.empty(); text.remove_prefix(front_glyph(text).bytes))
        widest = std::max(widest, front_glyph(text).width);
    return widest;
}

// A cell split into the physical lines it occupies.
struct LaidCell {
    std::vector<std::string> lines;
    bool bold = false;
};
using LaidRow = std::vector<LaidCell>;

// Appends `text` (no line feeds) wrapped to `width` columns, breaking at
// spaces where possible and cutting longer words by display width. `width`
// is at least the widest glyph of `text`.
void wrap_line(std::string_view text, std::size_t width, std::vector<std::string>& out) {
    if (display_width(text) <= width) {
        out.emplace_back(text);
        return;
    }
    std::string line;
    std::size_t used = 0;
    bool started = false;
    const auto flush = [&] {
        out.push_back(std::move(line));
        line.clear();
        used = 0;
        started = false;
    };
    while (true) {
        const std::size_t space = text.find(' ');
        std::string_view word = text.substr(0, space);
        const std::size_t word_width = display_width(word);
        const std::size_t gap = started ? 1 : 0;
        if (used + gap + word_width <= width) {
            if (started) line += ' ';
            line += word;
            used += gap + word_width;
        } else if (word_width <= width) {
            flush();
            line = word;
            used = word_width;
        } else {
            if (started) flush();
            while (!word.empty()) {
                const Glyph glyph = front_glyph(word);
                if (used + glyph.width > width) flush();
                line += take_glyph(word);
                used += glyph.width;
            }
        }
        started = true;
        if (space == std::string_view::npos) break;
        text.remove_prefix(space + 1);
    }
    out.push_back(std::move(line));
}

// Wraps every line of every cell to its column's width.
std::vector<LaidRow> wrap_cells(const std::vector<LaidRow>& rows, const std::vector<std::size_t>& widths) {
    std::vector<LaidRow> wrapped;
    for (const LaidRow& row : rows) {
        LaidRow& out = wrapped.emplace_back();
        for (std::size_t c = 0; c < row.size(); ++c) {
            LaidCell& cell = out.emplace_back(LaidCell{{}, row[c].bold});
            for (const std::string& line : row[c].lines) wrap_line(line, widths[c], cell.lines);
        }
    }
    return wrapped;
}

// The text of every cell, made valid UTF-8 and split at line feeds, with
// short rows completed by empty cells.
std::vector<LaidRow> split_cells(const TextTable& table) {
    std::vector<const TableRow*> rows{&table.header};
    for (const TableRow& row : table.rows) rows.push_back(&row);
    std::size_t columns = 0;
    for (const TableRow* row : rows) columns = std::max(columns, row->size());

    std::vector<LaidRow> result;
    for (const TableRow* row : rows) {
        LaidRow& laid = result.emplace_back(columns, LaidCell{{""}, false});
        for (std::size_t c = 0; c < row->size(); ++c) {
            const std::string text = valid_utf8((*row)[c].text);
            laid[c] = {{}, (*row)[c].bold};
            for (std::size_t start = 0;;) {
                const std::size_t end = text.find('\n', start);
                laid[c].lines.push_back(text.substr(start, end - start));
                if (end == std::string::npos) break;
                start = end + 1;
            }
        }
    }
    return result;
}

// Per column, the largest `measure` of any of its lines.
template <class Measure>
std::vector<std::size_t> column_max(const std::vector<LaidRow>& rows, Measure measure) {
    std::vector<std::size_t> widths(rows.front().size(), 0);
    for (const LaidRow& row : rows)
        for (std::size_t c = 0; c < row.size(); ++c)
            for (const std::string& line : row[c].lines) widths[c] = std::max(widths[c], measure(line));
    return widths;
}

std::size_t sum(const std::vector<std::size_t>& values) { return std::accumulate(values.begin(), values.end(), std::size_t{0}); }

// Shares `budget` content columns out: every column gets its natural width
// if all fit; otherwise columns within a fair share keep their natural width
// and the rest split what remains evenly. No column goes below its widest
// glyph, the narrowest it can be drawn at; when even those widths exceed the
// budget the table takes them and overflows the limit.
std::vector<std::size_t> arrange(const std::vector<std::size_t>& natural, const std::vector<std::size_t>& narrowest,
                                 std::size_t budget) {
    if (sum(natural) <= budget) return natural;
    if (sum(narrowest) >= budget) return narrowest;

    std::vector<std::size_t> widths(natural.size(), 0);
    std::vector<std::size_t> open(natural.size());
    std::iota(open.begin(), open.end(), std::size_t{0});
    while (!open.empty()) {
        const std::size_t share = budget / open.size();
        // Floors at or above the share settle first; natural widths within
        // the share settle only once no open floor reaches it, which keeps
        // room for the floors of the columns left open.
        auto settled = std::ranges::partition(open, [&](std::size_t c) { return narrowest[c] < share; });
        if (settled.empty()) settled = std::ranges::partition(open, [&](std::size_t c) { return natural[c] > share; });
        if (settled.empty()) break;
        for (std::size_t c : settled) {
            widths[c] = narrowest[c] >= share ? narrowest[c] : natural[c];
            budget -= widths[c];
        }
        open.erase(settled.begin(), settled.end());
    }
    for (std::size_t i = 0; i < open.size(); ++i)
        widths[open[i]] = budget / open.size() + (i < budget % open.size() ? 1 : 0);
    return widths;
}

// Wraps the cells so the columns share `budget` content columns. A column
// whose words wrap narrower than its share gives the rest back to the
// others; every further pass lowers a target, so the passes end.
std::vector<LaidRow> wrap_to_fit(const std::vector<LaidRow>& rows, std::size_t budget) {
    std::vector<std::size_t> targets = column_max(rows, display_width);
    const std::vector<std::size_t> narrowest = column_max(rows, widest_glyph);
    while (true) {
        const std::vector<std::size_t> widths = arrange(targets, narrowest, budget);
        std::vector<LaidRow> wrapped = wrap_cells(rows, widths);
        const std::vector<std::size_t> used = column_max(wrapped, display_width);
        bool lowered = false;
        for (std::size_t c = 0; c < used.size(); ++c) {
            if (used[c] < widths[c]) {
                targets[c] = used[c];
                lowered = true;
            }
        }
        if (!lowered) return wrapped;
    }
}

std::string rule(const std::vector<std::size_t>& widths, Box left, Box fill, Box cross, Box right) {
    std::string line = box(left);
    for (std::size_t c = 0; c < widths.size(); ++c) {
        if (c > 0) line += box(cross);
        for (std::size_t i = 0; i < widths[c] + 2; ++i) line += box(fill);
    }
    return line + box(right);
}

void draw_row(const LaidRow& row, const std::vector<std::size_t>& widths, bool styled, std::vector<std::string>& out) {
    std::size_t height = 1;
    for (const LaidCell& cell : row) height = std::max(height, cell.lines.size());
    for (std::size_t k = 0; k < height; ++k) {
        std::string line = box(Left);
        for (std::size_t c = 0; c < row.size(); ++c) {
            if (c > 0) line += box(Column);
            const std::string_view piece = k < row[c].lines.size() ? std::string_view(row[c].lines[k]) : std::string_view();
            line += ' ';
            if (styled && row[c].bold && !piece.empty()) {
                line += kBoldOn;
                line += piece;
                line += kBoldOff;
            } else {
                line += piece;
            }
            line.append(widths[c] + 1 - display_width(piece), ' ');
        }
        out.push_back(line + box(Right));
    }
}

}  // namespace

std::size_t display_width(std::string_view text) {
    std::size_t width = 0;
    while (!text.empty()) {
        const Glyph glyph = front_glyph(text);
        width += glyph.width;
        text.remove_prefix(glyph.bytes);
    }
    return width;
}

std::string render_table(const TextTable& table, const RenderOptions& options) {
    std::vector<LaidRow> rows = split_cells(table);
    if (options.width_limit) {
        // Every column costs its left border and two padding spaces, plus the
        // closing border of the last one.
        const std::size_t columns = rows.front().size();
        const std::size_t overhead = 3 * columns + 1;
        const std::size_t limit = *options.width_limit;
        const std::size_t budget = limit > overhead ? limit - overhead : 0;
        rows = wrap_to_fit(rows, budget);
    }
    const std::vector<std::size_t> widths = column_max(rows, display_width);

    std::vector<std::string> lines{rule(widths, TopLeft, Top, TopCross, TopRight)};
    draw_row(rows.front(), widths, options.styled, lines);
    lines.push_back(rule(widths, HeadLeft, HeadLine, HeadCross, HeadRight));
    for (std::size_t r = 1; r < rows.size(); ++r) {
        if (r > 1) lines.push_back(rule(widths, RowLeft, RowLine, RowCross, RowRight));
        draw_row(rows[r], widths, options.styled, lines);
    }
    lines.push_back(rule(widths, BottomLeft, Bottom, BottomCross, BottomRight));

    std::string text;
    for (const std::string& line : lines) {
        if (!text.empty()) text += '\n';
        text += line;
    }
    return text;
}

}  // namespace tessellar
