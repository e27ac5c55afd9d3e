#include "core/render/table.h"

#include <gtest/gtest.h>

#include <regex>
#include <sstream>
#include <tuple>

using namespace tessellar;

namespace {

std::vector<std::string> lines_of(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

std::string strip_escapes(const std::string& text) { return std::regex_replace(text, std::regex("\x1b\\[[0-9]*m"), ""); }

std::string without_spaces(std::string text) {
    std::erase(text, ' ');
    return text;
}

// Texts of every column of every logical row, read back from the drawing.
std::vector<std::vector<std::string>> read_cells(const std::string& drawing) {
    std::vector<std::vector<std::string>> rows;
    bool new_row = true;
    for (const std::string& line : lines_of(strip_escapes(drawing))) {
        if (!line.starts_with("│")) {
            new_row = true;
            continue;
        }
        if (new_row) rows.emplace_back();
        std::string body = line.substr(3, line.size() - 6);
        for (std::size_t c = 0, start = 0;; ++c) {
            const std::size_t end = body.find("┆", start);
            if (new_row) rows.back().emplace_back();
            rows.back()[c] += body.substr(start, end - start);
            if (end == std::string::npos) break;
            start = end + 3;
        }
        new_row = false;
    }
    return rows;
}

TextTable example() {
    return {{{"", true}, {"a", true}, {"b", true}},
            {{{"**Entities**", true}, {"2"}, {"3"}},
             {{"**Datasets**", true}, {""}, {""}},
             {{"├─ crm"}, {"5"}, {"4"}},
             {{"└─ erp"}, {"1"}, {"0"}}}};
}

TextTable long_texts() {
    return {{{"label", true}, {"a fairly long collection name", true}, {"x"}},
            {{{"**Entities**", true}, {"12345"}, {"漢字かな交じり文と e\xCC\x81t\xC3\xA9 words"}},
             {{"├─ a_dataset_name_without_any_spaces"}, {""}, {"7"}}}};
}

}  // namespace

TEST(TableLayout, ExampleByteForByte) {
    const std::string expected =
        "╭──────────────┬───┬───╮\n│              ┆ a ┆ b │\n╞══════════════╪═══╪═══╡\n"
        "│ **Entities** ┆ 2 ┆ 3 │\n├╌╌╌╌╌╌╌╌╌╌╌╌╌╌┼╌╌╌┼╌╌╌┤\n│ **Datasets** ┆   ┆   │\n"
        "├╌╌╌╌╌╌╌╌╌╌╌╌╌╌┼╌╌╌┼╌╌╌┤\n│ ├─ crm       ┆ 5 ┆ 4 │\n├╌╌╌╌╌╌╌╌╌╌╌╌╌╌┼╌╌╌┼╌╌╌┤\n"
        "│ └─ erp       ┆ 1 ┆ 0 │\n╰──────────────┴───┴───╯";
    EXPECT_EQ(render_table(example()), expected);
    EXPECT_EQ(render_table(example(), {.width_limit = 24}), expected);  // fits exactly
}

TEST(TableLayout, SmallTablesExactly) {
    EXPECT_EQ(render_table({{{"x"}}, {{{"long"}}}}), "╭──────╮\n│ x    │\n╞══════╡\n│ long │\n╰──────╯");
    EXPECT_EQ(render_table({{{"", true}}, {{{""}}}}, {.styled = true}), "╭──╮\n│  │\n╞══╡\n│  │\n╰──╯");
    EXPECT_EQ(render_table({{{"漢字"}, {"e\xCC\x81"}}, {{{"ab"}, {"xy"}}}}),
              "╭──────┬────╮\n│ 漢字 ┆ e\xCC\x81  │\n╞══════╪════╡\n│ ab   ┆ xy │\n╰──────┴────╯");
    // Short rows are completed, line feeds start new lines, bad bytes show as U+FFFD.
    EXPECT_EQ(render_table({{{"a"}, {"b"}}, {{{"1\n22"}}, {{"\xFF"}}}}),
              "╭────┬───╮\n│ a  ┆ b │\n╞════╪═══╡\n│ 1  ┆   │\n│ 22 ┆   │\n├╌╌╌╌┼╌╌╌┤\n│ \xEF\xBF\xBD  ┆   │\n╰────┴───╯");
}

class TableWidth : public testing::TestWithParam<std::tuple<std::string, std::size_t>> {};

TEST_P(TableWidth, CountsTerminalColumns) { EXPECT_EQ(display_width(std::get<0>(GetParam())), std::get<1>(GetParam())); }

INSTANTIATE_TEST_SUITE_P(, TableWidth,
                         testing::Values(std::tuple("", 0), std::tuple("abc", 3), std::tuple("漢字", 4),
                                         std::tuple("e\xCC\x81", 1), std::tuple("├─ x", 4), std::tuple("\xC3", 1),
                                         std::tuple("\xE6\xBC", 2)));

class TableWrap : public testing::TestWithParam<std::tuple<std::size_t, bool>> {};

TEST_P(TableWrap, FitsLimitAndKeepsText) {
    const auto [limit, styled] = GetParam();
    const TextTable table = long_texts();
    const std::string drawing = render_table(table, {.width_limit = limit, .styled = styled});
    const std::size_t width = display_width(strip_escapes(lines_of(drawing).front()));
    EXPECT_LE(width, limit);
    for (const std::string& line : lines_of(drawing)) EXPECT_EQ(display_width(strip_escapes(line)), width) << line;

    const auto cells = read_cells(drawing);
    ASSERT_EQ(cells.size(), 1 + table.rows.size());
    for (std::size_t r = 0; r < cells.size(); ++r)
        for (std::size_t c = 0; c < 3; ++c)
            EXPECT_EQ(without_spaces(cells[r][c]), without_spaces((r == 0 ? table.header : table.rows[r - 1])[c].text));
    EXPECT_EQ(drawing.find('\x1b') != std::string::npos, styled);
}

INSTANTIATE_TEST_SUITE_P(, TableWrap, testing::Combine(testing::Values(19, 24, 31, 40, 57, 80, 200), testing::Bool()));

TEST(TableLayout, WrapsAtSpacesThenByWidth) {
    EXPECT_EQ(render_table({{{"ab cdefgh"}}, {}}, {.width_limit = 8}),
              "╭──────╮\n│ ab   │\n│ cdef │\n│ gh   │\n╞══════╡\n╰──────╯");
}

TEST(TableLayout, NarrowestWhenNothingFits) {
    // One column per text, two for the column holding wide characters.
    const auto lines = lines_of(render_table(long_texts(), {.width_limit = 5}));
    EXPECT_EQ(display_width(lines.front()), 3 * 3 + 1 + 1 + 1 + 2);
}

TEST(TableStyle, BoldEscapesOnEveryPhysicalLineOfBoldCellsOnly) {
    const TextTable table{{{"head word", true}}, {{{"body word"}}}};
    const std::string plain = render_table(table, {.width_limit = 8});
    const std::string styled = render_table(table, {.width_limit = 8, .styled = true});
    EXPECT_EQ(plain.find('\x1b'), std::string::npos);
    EXPECT_NE(styled.find("│ \x1b[1mhead\x1b[0m │\n│ \x1b[1mword\x1b[0m │"), std::string::npos) << styled;
    EXPECT_NE(styled.find("│ body │\n│ word │"), std::string::npos) << styled;
    EXPECT_EQ(strip_escapes(styled), plain);
}
