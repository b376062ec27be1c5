// The tree walk and the value renderer in-process, bound to the stand-in
// library linked into the test, which serves the description each test
// writes and injects its faults. Runs that end the process go in a child.
#include "collector.h"
#include "lumo.h"
#include "support.h"
#include "treeprobe.h"

#include <cstring>
#include <ctime>

const char collector_name[] = "treeprobe";
const int collector_output_failure_status = 3;

namespace
{

std::vector<size_t> fetch_sizes; // of every value fetch the renderer makes

// A link that no description can make: `link` of `node` leads to `target`.
struct {
    uint64_t node;
    const char *link;
    uint64_t target;
} redirect;

void bind_library()
{
    lumo_initialize_ptr = lumo_initialize;
    // Says so on standard error, which treeprobe never writes.
    lumo_shutdown_ptr = [] {
        (void)fputs("lumo_shutdown\n", stderr);
        return lumo_shutdown();
    };
    lumo_get_root_ptr = lumo_get_root;
    lumo_get_first_prop_ptr = lumo_get_first_prop;
    lumo_get_next_prop_ptr = lumo_get_next_prop;
    lumo_get_propinfo_ptr = lumo_get_propinfo;
    lumo_get_propval_ptr = [](uint64_t prop, void *buf, size_t size) {
        fetch_sizes.push_back(size);
        return lumo_get_propval(prop, buf, size);
    };
    lumo_get_propval_by_name_ptr = [](uint64_t node, const char *name, void *buf, size_t size) {
        if (node != redirect.node || strcmp(name, redirect.link) != 0)
            return lumo_get_propval_by_name(node, name, buf, size);
        memcpy(buf, &redirect.target, sizeof redirect.target);
        return 0;
    };
    lumo_get_next_by_row_ptr = lumo_get_next_by_row;
    lumo_get_next_by_col_ptr = lumo_get_next_by_col;
    lumo_strerror_ptr = lumo_strerror;
}

class Treeprobe : public testing::Test
{
  protected:
    void SetUp() override
    {
        bind_library();
        redirect = {0, "", 0};
        (void)setenv("LUMO_PLATFORM", (dir / "platform").c_str(), 1);
        (void)setenv("TZ", "UTC0", 1);
        tzset();
        // Every test starts as the process does, before its first table.
        free(tablestringbuf);
        tablestringbuf = nullptr;
        tablestringbufsz = 0;
    }
    ChildOutcome walk(const std::string &description)
    {
        write_file(dir / "platform", description);
        return in_child([] { exit(walk_platform_tree()); });
    }
    // The text of each property of a root after its name, rendered in turn
    // as if its value had been fetched.
    std::vector<std::string> render(const std::string &properties)
    {
        static char value[value_buffer_size + 1];
        write_file(dir / "platform", "node r\n" + properties + "end\n");
        EXPECT_EQ(lumo_initialize(), 0) << lumo_strerror(LUMO_BAD_DESCRIPTION);
        std::vector<std::string> texts;
        uint64_t prop = 0;
        (void)lumo_get_root(&prop);
        for (int code = lumo_get_first_prop(prop, &prop); code == 0;
             code = lumo_get_next_prop(prop, &prop)) {
            lumo_propinfo_t info;
            EXPECT_EQ(lumo_get_propinfo(prop, &info), 0);
            memset(value, 0, sizeof value);
            (void)lumo_get_propval(prop, value, value_buffer_size);
            texts.push_back(lumostrval(prop, info, value));
        }
        (void)lumo_shutdown();
        if (!texts.empty())
            texts.erase(texts.begin());
        return texts;
    }
    TempDir dir;
};

const std::string showing = error_record("Error showing node properties", 5203, 0);
const std::string child_failed = error_record("Error processing child", 5203, 0);
const std::string node_failed = error_record("Error processing node", 5203, 0);

// root (0x10000) -> a (0x10003) -> g (0x10005), h (0x10009), i (0x1000b).
std::string chain(const std::string &before, const std::string &g, const std::string &rev)
{
    return before + "node root\n uint model 1\n node a\n  node g " + g +
           "\n   uint model 2\n   uint rev " + rev +
           " 3\n  end\n  node h\n  end\n  node i\n  end\n end\nend\n";
}
const std::string above_g = "*node: root\nnivex-id: 0x10000\nname: root\nmodel: 0x1\n"
                            "*node: a\nnivex-id: 0x10003\nnivex-parent-id: 0x10000\nname: a\n";
const std::string g_head = above_g + "*node: g\nnivex-id: 0x10005\nnivex-parent-id: 0x10003\n";
const std::string g_model = g_head + "name: g\nmodel: 0x2\n";
const std::string g_all = g_model + "rev: 0x3\n";

// A table holding a table in a cell, and so on, one level past the bound.
std::string nested_tables(const std::string &name)
{
    std::string text = "table " + name + "\n";
    std::string ends = "end\n";
    for (int level = 1; level <= table_nesting_limit + 1; level++) {
        text += "row\nstring \"l" + std::to_string(level) + "\"\n";
        ends += "end\n";
        if (level <= table_nesting_limit) {
            text += "table\n";
            ends += "end\n";
        }
    }
    return text + ends;
}

// The failing call's record, then one record per level on the way up.
std::string up_from(const std::string &message, int number, bool in_writer, int levels)
{
    std::string records = error_record(message, 5203, number) + (in_writer ? showing : "");
    for (int i = 0; i < levels; i++)
        records += child_failed;
    return records + node_failed;
}

} // namespace

TEST_F(Treeprobe, WritesEveryNodeDepthFirstAndEveryPropertyThatCannotBeRead)
{
    ChildOutcome r = walk("node root\n string a fail=value:28 \"x\"\n string b \"v\"\n"
                          " string c fail=value:7 \"x\"\n string d fail=value:1 \"x\"\n"
                          " string e fail=value:28 \"x\"\n"
                          " node a\n  node a1\n  end\n end\n node b\n end\n node c\n end\nend\n");
    EXPECT_EQ(r.out, "*node: root\nnivex-id: 0x10000\nname: root\na: (not readable)\nb: v\n"
                     "c: ERROR: no such property\nd: ERROR: failure\ne: (not readable)\n"
                     "*node: a\nnivex-id: 0x10007\nnivex-parent-id: 0x10000\nname: a\n"
                     "*node: a1\nnivex-id: 0x10009\nnivex-parent-id: 0x10007\nname: a1\n"
                     "*node: b\nnivex-id: 0x1000b\nnivex-parent-id: 0x10000\nname: b\n"
                     "*node: c\nnivex-id: 0x1000d\nnivex-parent-id: 0x10000\nname: c\n");
    EXPECT_EQ(r.err, "lumo_shutdown\n");
    EXPECT_EQ(r.status, 0);
}

TEST_F(Treeprobe, HandleZeroIsWrittenAsZero)
{
    lumo_get_root_ptr = [](uint64_t *root) {
        *root = 0;
        return 0;
    };
    lumo_get_first_prop_ptr = [](uint64_t, uint64_t *prop) {
        return lumo_get_first_prop(0x10000, prop);
    };
    lumo_get_propval_by_name_ptr = [](uint64_t, const char *name, void *buf, size_t size) {
        return lumo_get_propval_by_name(0x10000, name, buf, size);
    };
    EXPECT_EQ(walk("node r\nend\n").out, "*node: r\nnivex-id: 0\nname: r\n");
}

TEST_F(Treeprobe, EveryFailureEndsTheWalkWithItsChainOfRecords)
{
    struct {
        std::string description, out;
    } cases[] = {
        {chain("fail initialize:5\n", "", ""),
         error_record("Error in lumo_initialize: error 5", 5203, 5)},
        {chain("fail root:15\n", "", ""),
         error_record("Error in lumo_get_root: stale handle", 5203, 15)},
        {chain("", "fail=name:15", ""),
         above_g + up_from("Error getting name: stale handle", 15, true, 2)},
        {chain("", "fail=first_prop:11", ""),
         g_head + up_from("Error in lumo_get_first_prop: end of list", 11, true, 2)},
        {chain("", "", "fail=info:3"),
         g_model + up_from("Error in lumo_get_propinfo: invalid argument", 3, true, 2)},
        {chain("", "", "fail=value:2"),
         g_model + up_from("Error in lumo_get_propval: library not initialized", 2, true, 2)},
        {chain("", "", "fail=value:15"),
         g_model + up_from("Error in lumo_get_propval: stale handle", 15, true, 2)},
        {chain("", "", "fail=value:16"),
         g_model + up_from("Error in lumo_get_propval: invalid handle", 16, true, 2)},
        {chain("", "", "fail=next:5"),
         g_all + up_from("Error in lumo_get_next_prop: error 5", 5, true, 2)},
        {chain("", "fail=child:5", ""),
         g_all + up_from("Error getting child node: error 5", 5, false, 2)},
        // The peer of g is fetched by the walk of a, one level up.
        {chain("", "fail=peer:16", ""),
         g_all + up_from("Error getting peer node: invalid handle", 16, false, 1)},
        // The renderer ends the run itself, without the chain.
        {chain("", "", "size=3"), g_model + error_record("Integer error", 5203, 0)},
    };
    for (auto &c : cases) {
        ChildOutcome r = walk(c.description);
        EXPECT_EQ(r.out, c.out) << c.description;
        EXPECT_EQ(r.err, "") << "lumo_shutdown only after a completed walk";
        EXPECT_EQ(r.status, 3);
    }
}

TEST_F(Treeprobe, LinksBackToAnAncestorOrALoopOfPeersEndTheWalk)
{
    struct {
        uint64_t node;
        const char *link;
        uint64_t target;
        std::string tail;
    } cases[] = {
        {0x10005, "_child", 0x10000,
         up_from("Error getting child node: link back to 0x10000", 0, false, 2)},
        {0x10005, "_peer", 0x10003,
         up_from("Error getting peer node: link back to 0x10003", 0, false, 1)},
        {0x1000b, "_peer", 0x10005,
         up_from("Error getting peer node: link back to 0x10005", 0, false, 1)},
    };
    for (auto &c : cases) {
        redirect = {c.node, c.link, c.target};
        ChildOutcome r = walk(chain("", "", ""));
        ASSERT_GE(r.out.size(), c.tail.size());
        EXPECT_EQ(r.out.substr(r.out.size() - c.tail.size()), c.tail);
        EXPECT_EQ(r.status, 3);
    }
}

// The most stack a walk can take: tables nested to the bound in the
// deepest node of a 10,000-level chain.
TEST_F(Treeprobe, TenThousandLevelsFitTheDefaultStack)
{
    std::string description;
    for (int i = 0; i < 10000; i++)
        description += "node level\n";
    description += nested_tables("deepest");
    for (int i = 0; i < 10000; i++)
        description += "end\n";
    ChildOutcome r = walk(description);
    ParsedOutput parsed = parse_records(r.out);
    ASSERT_EQ(parsed.records.size(), 10000u) << r.out.substr(0, 300);
    EXPECT_EQ(*parsed.records.back().find("deepest"),
              "l1, l2, l3, l4, ERROR:  tables nested too deeply");
    EXPECT_EQ(r.status, 0);
}

TEST_F(Treeprobe, RendersEveryTypeCodeAndSize)
{
    struct {
        const char *property, *text;
    } cases[] = {
        {"none n", ""},
        {"void v", ""},
        {"int i -1", "-1"},
        {"int i size=1 -128", "-128"},
        {"int i size=2 -300", "-300"},
        {"int i -9223372036854775808", "-9223372036854775808"},
        {"uint u size=1 255", "0xff"},
        {"uint u size=2 0xbeef", "0xbeef"},
        {"uint u 0xdeadbeef", "0xdeadbeef"},
        {"uint u 0x1122334455667788", "0x1122334455667788"},
        {"uint u size=8 0", "0"},
        {"float f 1.5", "1.500000"},
        {"float f size=8 -2.25", "-2.250000"},
        {"float f size=2 1", "(not readable)"},
        {"handle h 0xdeadbeefcafe", "0xdeadbeefcafe"},
        {"handle h 0", "0"},
        {"time t 0", "Thu Jan  1 00:00:00 1970\n"},
        {"time t 9223372036854775807", "(not readable)"},
        {"bytes b", ""},
        {"bytes b 00 1f a0", " 00  1f  a0 "},
        {"bytes b 01", " 01 "}, // after a longer one
        {"bytes b size=524289 fe", "(not readable)"},
        {"string s \"okay\"", "okay"},
        {"10 x 61 62", "(unknown type 10)"},
        {"-3 x 61", "(unknown type -3)"},
    };
    std::string properties;
    for (auto &c : cases)
        properties += std::string(c.property) + "\n";
    std::vector<std::string> texts = render(properties);
    ASSERT_EQ(texts.size(), std::size(cases));
    for (size_t i = 0; i < texts.size(); i++)
        EXPECT_EQ(texts[i], cases[i].text) << cases[i].property;

    std::string full = render("bytes b size=524288 fe\n").at(0);
    EXPECT_EQ(full.size(), 4 * value_buffer_size);
    EXPECT_EQ(full.substr(0, 8), " fe  00 ");
}

TEST_F(Treeprobe, IntegerOfAnotherSizeEndsTheRun)
{
    for (const char *property : {"int i size=3 1\n", "uint u size=16 1\n"}) {
        ChildOutcome r = in_child([&] { (void)render(property); });
        EXPECT_EQ(r.out, error_record("Integer error", 5203, 0)) << property;
        EXPECT_EQ(r.status, 3);
    }
}

TEST_F(Treeprobe, TablesJoinTheirCellsInRowOrderAndNestInPlace)
{
    const std::string long_text(3000, 'n');
    std::vector<std::string> texts = render(
        "table grid\n row\n  string \"a\"\n  string \"b\"\n end\n row\n  string \"c\"\n"
        "  string \"d\"\n end\nend\n"
        "table empty\nend\n"
        "table mixed\n row\n  uint size=2 0x1f\n  time 0\n  bytes 0a\n end\nend\n"
        "table failing-cells\n row\n  string \"a\"\n  string fail=value:28 \"u\"\n"
        "  string fail=value:5 \"o\"\n  bytes size=524289 00\n end\nend\n"
        "table nested\n row\n  string \"a\"\n  table\n   row\n    string \"b\"\n   end\n"
        "   row\n    string \"c\"\n   end\n  end\n  table\n  end\n  string \"d\"\n end\nend\n"
        "table outgrown\n row\n  string \"a\"\n  table\n   row\n    string \"" +
        long_text +
        "\"\n   end\n  end\n  table fail=value:28\n  end\n end\nend\n"
        "table not-readable fail=value:28\nend\n"
        "table failing fail=value:5\nend\n");
    std::vector<std::string> expected = {
        "a, b, c, d",
        "",
        "0x1f, Thu Jan  1 00:00:00 1970\n,  0a ",
        "a, ERROR:  value not readable, ERROR:  error 5, ERROR:  value larger than 524288 bytes",
        "a, b, c, , d",
        "a, " + long_text + ", ERROR:  value not readable",
        "(not readable)",
        "ERROR: error 5",
    };
    EXPECT_EQ(texts, expected);
    for (size_t size : fetch_sizes)
        EXPECT_LE(size, value_buffer_size) << "no fetch past the cell value buffer";

    EXPECT_EQ(render(nested_tables("t")),
              std::vector<std::string>{"l1, l2, l3, l4, ERROR:  tables nested "
                                       "too deeply"});
}

TEST_F(Treeprobe, TableHandleIsFetchedIntoEightBytesAndCellsWithTheirSize)
{
    fetch_sizes.clear();
    EXPECT_EQ(render("table t size=16\n row\n  string \"t\"\n end\nend\n"),
              std::vector<std::string>{"t"});
    EXPECT_EQ(fetch_sizes, (std::vector<size_t>{8, 2}));
}

TEST_F(Treeprobe, TableBufferGrowsToExactlyTheCountedSize)
{
    const std::string small = "table s\n row\n  string \"x\"\n end\nend\n";
    EXPECT_EQ(render(small), std::vector<std::string>{"x"});
    EXPECT_EQ(tablestringbufsz, 1024u);

    // 1 + 400 + (3 + 400) * 2: one more than the text, per separator.
    const std::string cell = "  string \"" + std::string(400, 'l') + "\"\n";
    std::vector<std::string> texts =
        render("table l\n row\n" + cell + cell + " end\n row\n" + cell + " end\nend\n" + small);
    EXPECT_EQ(texts.at(0).size(), 1204u);
    EXPECT_EQ(tablestringbufsz, 1207u) << "grown exactly, and not shrunk by a smaller table";
    EXPECT_EQ(tablestringbufneed, 2u);
}

TEST_F(Treeprobe, TableFailuresEndTheRun)
{
    struct {
        const char *table, *first, *second, *message;
        int number;
    } cases[] = {
        {"fail=first_cell:5", "", "", "Error in lumo_get_next_by_col: error 5", 5},
        {"", "fail=next_row:4", "", "Error in lumo_get_next_by_col: error 4", 4},
        {"", "fail=next:6", "", "Error in lumo_get_next_by_row: error 6", 6},
        {"", "", "fail=info:3", "Error in lumo_get_propinfo: invalid argument", 3},
        {"", "", "fail=value:15", "Error in lumo_get_propval: stale handle", 15},
        {"fail=value:16", "", "", "Error interpreting LUMO value", 0},
    };
    for (auto &c : cases) {
        std::string table = std::string("table t ") + c.table + "\n row\n  string " + c.first +
                            " \"a\"\n  string " + c.second +
                            " \"b\"\n end\n row\n  string \"c\"\n" + " end\nend\n";
        ChildOutcome r = in_child([&] { (void)render(table); });
        EXPECT_EQ(r.out, error_record(c.message, 5203, c.number)) << table;
        EXPECT_EQ(r.status, 3);
    }
}
