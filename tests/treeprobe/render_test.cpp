// Property value rendering in-process: every type code, byte arrays, and
// tables walked through the test double. Fatal failures run in a child.
#include "fake_lumo.h"
#include "support.h"
#include "treeprobe.h"

#include <climits>
#include <cstdlib>
#include <cstring>
#include <ctime>

namespace
{

lumo_propinfo_t info_of(int32_t type, uint32_t size)
{
    lumo_propinfo_t info{};
    info.type = type;
    info.size = size;
    (void)strcpy(info.name, "p");
    return info;
}

// Renders a value that the caller fetched into a full value buffer.
std::string render(int32_t type, const std::string &value, uint32_t size)
{
    static char buffer[value_buffer_size + 1];
    memset(buffer, 0, sizeof buffer);
    memcpy(buffer, value.data(), value.size());
    return lumostrval(0x42, info_of(type, size), buffer);
}

std::string render(int32_t type, const std::string &value)
{
    return render(type, value, static_cast<uint32_t>(value.size()));
}

// A table property's text, its table walked in the double.
std::string render_table(uint64_t table, uint32_t size = 8)
{
    uint64_t prop = fake.cell(LUMO_TYPE_TABLE, bytes_of(table));
    char value[16] = {};
    return lumostrval(prop, info_of(LUMO_TYPE_TABLE, size), value);
}

uint64_t string_cell(const std::string &text)
{
    return fake.cell(LUMO_TYPE_STRING, string_value(text));
}

class Render : public testing::Test
{
  protected:
    void SetUp() override
    {
        bind_fake();
        // Every test starts as the process does, before its first table.
        free(tablestringbuf);
        tablestringbuf = nullptr;
        tablestringbufsz = 0;
        tablestringbufneed = 0;
        (void)setenv("TZ", "UTC0", 1);
        tzset();
    }
};

} // namespace

TEST_F(Render, EveryTypeCodeAndSize)
{
    struct {
        const char *name;
        int32_t type;
        std::string value;
        std::string text;
    } cases[] = {
        {"none", 0, "", ""},
        {"void", 1, bytes_of(int32_t{5}), ""},
        {"int 4", 2, bytes_of(int32_t{-1}), "-1"},
        {"int 1", 2, bytes_of(int8_t{-128}), "-128"},
        {"int 2", 2, bytes_of(int16_t{-300}), "-300"},
        {"int 8", 2, bytes_of(int64_t{INT64_MIN}), "-9223372036854775808"},
        {"uint 1 max", 3, bytes_of(uint8_t{255}), "0xff"},
        {"uint 1 zero", 3, bytes_of(uint8_t{0}), "0"},
        {"uint 2", 3, bytes_of(uint16_t{0xbeef}), "0xbeef"},
        {"uint 4 zero", 3, bytes_of(uint32_t{0}), "0"},
        {"uint 8 high half", 3, bytes_of(uint64_t{0x1122334455667788}), "0x1122334455667788"},
        {"uint 8 zero", 3, bytes_of(uint64_t{0}), "0"},
        {"float 4", 4, bytes_of(1.5f), "1.500000"},
        {"float 8", 4, bytes_of(-2.25), "-2.250000"},
        {"float 2", 4, bytes_of(int16_t{1}), "(not readable)"},
        {"handle", 5, bytes_of(uint64_t{0xdeadbeefcafe}), "0xdeadbeefcafe"},
        {"handle zero", 5, bytes_of(uint64_t{0}), "0"},
        {"time zero", 7, bytes_of(int64_t{0}), "Thu Jan  1 00:00:00 1970\n"},
        {"time past ctime", 7, bytes_of(int64_t{INT64_MAX}), "(not readable)"},
        {"bytes empty", 8, "", ""},
        {"bytes", 8, std::string("\x00\x1f\xa0", 3), " 00  1f  a0 "},
        {"string", 9, string_value("okay"), "okay"},
        {"type 10", 10, "ab", "(unknown type 10)"},
        {"negative type", -3, "ab", "(unknown type -3)"},
    };
    for (auto &c : cases)
        EXPECT_EQ(render(c.type, c.value), c.text) << c.name;
}

TEST_F(Render, IntegerOfAnotherSizeEndsTheRun)
{
    for (int32_t type : {LUMO_TYPE_INT, LUMO_TYPE_UINT}) {
        for (uint32_t size : {0u, 3u, 5u, 16u}) {
            ChildOutcome r = in_child([&] { (void)render(type, bytes_of(uint64_t{1}), size); });
            EXPECT_EQ(r.out, error_record("Integer error", 5203, 0)) << type << " " << size;
            EXPECT_EQ(r.status, 3);
        }
    }
}

TEST_F(Render, ByteArrays)
{
    EXPECT_EQ(render(LUMO_TYPE_BYTES, std::string(4, '\x11')), " 11  11  11  11 ");
    EXPECT_EQ(render(LUMO_TYPE_BYTES, "\x01"), " 01 ") << "a shorter array leaves nothing behind";

    std::string full(value_buffer_size, '\xfe');
    std::string text = render(LUMO_TYPE_BYTES, full);
    EXPECT_EQ(text.size(), 4 * value_buffer_size);
    EXPECT_EQ(text.substr(text.size() - 8), " fe  fe ");

    EXPECT_EQ(render(LUMO_TYPE_BYTES, "", value_buffer_size + 1), "(not readable)")
        << "more bytes than any value buffer holds";
}

TEST_F(Render, TablesJoinCellsInRowOrder)
{
    uint64_t two_by_two =
        fake.table({{string_cell("a"), string_cell("b")}, {string_cell("c"), string_cell("d")}});
    EXPECT_EQ(render_table(two_by_two), "a, b, c, d");

    uint64_t empty = fake.table({});
    EXPECT_EQ(render_table(empty), "") << "every table starts from an empty text";

    uint64_t mixed = fake.table({{fake.cell(LUMO_TYPE_UINT, bytes_of(uint16_t{0x1f})),
                                  fake.cell(LUMO_TYPE_TIMESTAMP, bytes_of(int64_t{0})),
                                  fake.cell(LUMO_TYPE_BYTES, "\x0a")}});
    EXPECT_EQ(render_table(mixed), "0x1f, Thu Jan  1 00:00:00 1970\n,  0a ");
}

TEST_F(Render, TableBufferGrowsToExactlyTheCountedSize)
{
    uint64_t small = fake.table({{string_cell("x")}});
    EXPECT_EQ(render_table(small), "x");
    EXPECT_EQ(tablestringbufsz, 1024u);

    // 1 + 400 + (3 + 400) * 2: one more than the text, per separator.
    std::string long_text(400, 'l');
    uint64_t large =
        fake.table({{string_cell(long_text), string_cell(long_text)}, {string_cell(long_text)}});
    EXPECT_EQ(render_table(large), long_text + ", " + long_text + ", " + long_text);
    EXPECT_EQ(tablestringbufsz, 1207u);
    EXPECT_EQ(tablestringbufneed, 1207u);

    EXPECT_EQ(render_table(small), "x");
    EXPECT_EQ(tablestringbufsz, 1207u) << "a smaller table leaves the size";
    EXPECT_EQ(tablestringbufneed, 2u);
}

TEST_F(Render, CellsThatCannotBeFetchedBecomeErrorTexts)
{
    uint64_t unreadable = string_cell("u");
    fake[unreadable].value_code = LUMO_NOT_READABLE;
    uint64_t other = string_cell("o");
    fake[other].value_code = 5;
    uint64_t huge = fake.cell(LUMO_TYPE_BYTES, "");
    fake[huge].info.size = value_buffer_size + 1;
    uint64_t table = fake.table({{string_cell("a"), unreadable, other, huge}});
    fake.fetch_sizes.clear();
    EXPECT_EQ(render_table(table),
              "a, ERROR:  text 28, ERROR:  text 5, ERROR:  value larger than 524288 bytes");
    for (size_t size : fake.fetch_sizes)
        EXPECT_LE(size, value_buffer_size) << "no fetch past the cell value buffer";
}

TEST_F(Render, TableHandleIsFetchedIntoEightBytes)
{
    uint64_t table = fake.table({{string_cell("t")}});
    fake.fetch_sizes.clear();
    uint64_t prop = fake.cell(LUMO_TYPE_TABLE, bytes_of(table) + std::string(8, '\xff'));
    char value[value_buffer_size + 1] = {};
    EXPECT_STREQ(lumostrval(prop, info_of(LUMO_TYPE_TABLE, 16), value), "t");
    ASSERT_EQ(fake.fetch_sizes.size(), 2u);
    EXPECT_EQ(fake.fetch_sizes[0], 8u);
    EXPECT_EQ(fake.fetch_sizes[1], 2u) << "a cell is fetched with its own size";
}

TEST_F(Render, TableWhoseFetchFailsIsNotReadableOrAnError)
{
    char value[value_buffer_size + 1] = {};
    uint64_t prop = fake.cell(LUMO_TYPE_TABLE, "");
    fake[prop].value_code = LUMO_NOT_READABLE;
    EXPECT_STREQ(lumostrval(prop, info_of(LUMO_TYPE_TABLE, 8), value), "(not readable)");
    fake[prop].value_code = 5;
    EXPECT_STREQ(lumostrval(prop, info_of(LUMO_TYPE_TABLE, 8), value), "ERROR: text 5");
}

TEST_F(Render, NestedTablesRenderTheirCellsInPlace)
{
    auto nested = [](uint64_t inner) { return fake.cell(LUMO_TYPE_TABLE, bytes_of(inner)); };
    uint64_t inner = fake.table({{string_cell("b")}, {string_cell("c")}});
    uint64_t outer = fake.table({{string_cell("a"), nested(inner), string_cell("d")}});
    EXPECT_EQ(render_table(outer), "a, b, c, d");

    uint64_t empty = fake.table({});
    EXPECT_EQ(render_table(fake.table({{string_cell("a"), nested(empty), string_cell("d")}})),
              "a, , d");

    // The inner table outgrows the buffer while the outer text is in it.
    std::string long_text(3000, 'n');
    uint64_t big = fake.table({{string_cell(long_text)}});
    EXPECT_EQ(render_table(fake.table({{string_cell("a"), nested(big), string_cell("d")}})),
              "a, " + long_text + ", d");

    uint64_t unreadable = nested(inner);
    fake[unreadable].value_code = LUMO_NOT_READABLE;
    uint64_t first = fake.cell(LUMO_TYPE_STRING, string_value("a"));
    EXPECT_EQ(render_table(fake.table({{first, unreadable}})), "a, ERROR:  text 28")
        << "the cell fetch fails before the table handle is fetched";
}

TEST_F(Render, NestingIsBoundedAndATableInsideItselfEnds)
{
    uint64_t table = fake.table({{string_cell("x")}});
    for (int level = 1; level < table_nesting_limit + 2; level++)
        table = fake.table({{string_cell("l" + std::to_string(level)),
                             fake.cell(LUMO_TYPE_TABLE, bytes_of(table))}});
    EXPECT_EQ(render_table(table), "l5, l4, l3, l2, ERROR:  tables nested too deeply");

    uint64_t self_cell = fake.cell(LUMO_TYPE_TABLE, "");
    uint64_t self = fake.table({{string_cell("s"), self_cell}});
    fake[self_cell].value = bytes_of(self);
    fake[self_cell].info.size = 8;
    EXPECT_EQ(render_table(self), "s, s, s, s, ERROR:  tables nested too deeply");
}

std::string render_table_in_child(uint64_t table, ChildOutcome &outcome)
{
    outcome = in_child([table] { (void)render_table(table); });
    return outcome.out;
}

TEST_F(Render, TableFailuresEndTheRun)
{
    struct Case {
        const char *name;
        void (*inject)(uint64_t table, uint64_t first, uint64_t second);
        std::string out;
    } cases[] = {
        {"first row", [](uint64_t t, uint64_t, uint64_t) { fake[t].below_code = 5; },
         error_record("Error in lumo_get_next_by_col: text 5", 5203, 5)},
        {"next row", [](uint64_t, uint64_t f, uint64_t) { fake[f].below_code = 4; },
         error_record("Error in lumo_get_next_by_col: text 4", 5203, 4)},
        {"next cell", [](uint64_t, uint64_t f, uint64_t) { fake[f].next_code = 6; },
         error_record("Error in lumo_get_next_by_row: text 6", 5203, 6)},
        {"cell info", [](uint64_t, uint64_t, uint64_t s) { fake[s].info_code = 3; },
         error_record("Error in lumo_get_propinfo: text 3", 5203, 3)},
        {"cell value 2", [](uint64_t, uint64_t, uint64_t s) { fake[s].value_code = 2; },
         error_record("Error in lumo_get_propval: text 2", 5203, 2)},
        {"cell value 15", [](uint64_t, uint64_t, uint64_t s) { fake[s].value_code = 15; },
         error_record("Error in lumo_get_propval: text 15", 5203, 15)},
        {"cell value 16", [](uint64_t, uint64_t, uint64_t s) { fake[s].value_code = 16; },
         error_record("Error in lumo_get_propval: text 16", 5203, 16)},
    };
    for (const Case &c : cases) {
        bind_fake();
        uint64_t first = string_cell("a");
        uint64_t second = string_cell("b");
        uint64_t table = fake.table({{first, second}, {string_cell("c")}});
        c.inject(table, first, second);
        ChildOutcome r;
        EXPECT_EQ(render_table_in_child(table, r), c.out) << c.name;
        EXPECT_EQ(r.status, 3) << c.name;
    }
}

TEST_F(Render, TableFetchFailingFatallyEndsTheRun)
{
    for (int code : {2, 15, 16}) {
        uint64_t prop = fake.cell(LUMO_TYPE_TABLE, "");
        fake[prop].value_code = code;
        ChildOutcome r = in_child([prop] {
            char value[16] = {};
            (void)lumostrval(prop, info_of(LUMO_TYPE_TABLE, 8), value);
        });
        EXPECT_EQ(r.out, error_record("Error interpreting LUMO value", 5203, 0)) << code;
        EXPECT_EQ(r.status, 3);
    }
}
