// The stand-in platform information library: the description reader's
// verdicts, the operations in-process over description files, and over
// this machine when there is no description.
#include "description.h"
#include "host.h"
#include "lumo.h"
#include "support.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <sys/stat.h>
#include <sys/utsname.h>

namespace
{

std::string problem_of(const std::string &text)
{
    lumo::Tree tree;
    std::string problem;
    return lumo::read_description(text, tree, problem) ? "" : problem;
}

// Serves a description through the library's own operations.
class Served : public testing::Test
{
  protected:
    void serve(const std::string &text)
    {
        write_file(dir / "platform", text);
        (void)setenv("LUMO_PLATFORM", (dir / "platform").c_str(), 1);
        ASSERT_EQ(lumo_initialize(), 0) << lumo_strerror(LUMO_BAD_DESCRIPTION);
    }
    void TearDown() override
    {
        (void)lumo_shutdown();
        (void)unsetenv("LUMO_PLATFORM");
    }
    uint64_t root()
    {
        uint64_t handle = 0;
        EXPECT_EQ(lumo_get_root(&handle), 0);
        return handle;
    }
    // The property of the node with that name, by walking its list.
    uint64_t prop(uint64_t node, const std::string &name)
    {
        uint64_t handle;
        int code = lumo_get_first_prop(node, &handle);
        while (code == 0) {
            lumo_propinfo_t info;
            EXPECT_EQ(lumo_get_propinfo(handle, &info), 0);
            if (info.name == name)
                return handle;
            code = lumo_get_next_prop(handle, &handle);
        }
        ADD_FAILURE() << "no property " << name;
        return 0;
    }
    TempDir dir;
};

} // namespace

TEST(Description, ProblemsNameTheLine)
{
    struct {
        const char *text;
        const char *problem;
    } cases[] = {
        {"node r\nend\n", ""},
        {"# only a comment\n\n", "no root node"},
        {"node r\n", "line 1: block has no end"},
        {"node r\nend\nnode s\nend\n", "line 3: a second root node"},
        {"end\n", "line 1: end without a block to close"},
        {"node\n", "line 1: a node needs a name"},
        {"uint x 1\n", "line 1: a value outside every node"},
        {"node r\n  colour c 1\nend\n", "line 2: unknown type colour"},
        {"node r\n  uint\nend\n", "line 2: a property needs a name"},
        {"node r\n  uint x -1\nend\n", "line 2: needs one unsigned 64-bit integer"},
        {"node r\n  int x 9223372036854775808\nend\n", "line 2: needs one signed 64-bit integer"},
        {"node r\n  float x one\nend\n", "line 2: needs one number"},
        {"node r\n  string x bare\nend\n", "line 2: needs one quoted string"},
        {"node r\n  string x \"open\nend\n", "line 2: unterminated string"},
        {"node r\n  string x \"\\q\"\nend\n", "line 2: unknown escape in string"},
        {"node r\n  string x \"\\x4\"\nend\n", "line 2: \\x needs two hexadecimal digits"},
        {"node r\n  bytes x 0g\nend\n", "line 2: bytes are pairs of hexadecimal digits"},
        {"node r\n  bytes x 123\nend\n", "line 2: bytes are pairs of hexadecimal digits"},
        {"node r\n  none x 1\nend\n", "line 2: this type has no value"},
        {"node r\n  uint x size=16777217 1\nend\n", "line 2: size= needs a number up to 16777216"},
        {"node r\n  uint x fail=value 1\nend\n",
         "line 2: fail= needs OPERATION:CODE with a 32-bit code"},
        {"node r\n  uint x fail=jump:1 1\nend\n", "line 2: unknown operation jump"},
        {"node r\n  uint x fail=child:1 1\nend\n", "line 2: no operation child here"},
        {"node r fail=value:1\nend\n", "line 1: a node has no operation value"},
        {"node r\n  table t\n    uint 1\n  end\nend\n", "line 3: a table holds rows only"},
        {"node r\n  row\nend\n", "line 2: a row outside a table"},
        {"node r\n  table t\n    row\n      node n\n", "line 4: a node inside a table"},
        {"node r\n  fail root:1\nend\n", "line 2: fail lines belong outside every node"},
        {"fail leaf:1\nnode r\nend\n", "line 1: fail outside a node takes initialize or root"},
        {"node r\n  table t 1\nend\n", "line 2: a table's cells go in rows below it"},
        {"node r\n  string x \"a\"b\nend\n", "line 2: text right after a closing quote"},
    };
    for (auto &c : cases)
        EXPECT_EQ(problem_of(c.text), c.problem) << c.text;
}

TEST(Description, ValuesAddUpToAtMost256MiB)
{
    std::string text = "node r\n";
    for (int i = 0; i < 16; i++)
        text += "  bytes b size=16777216\n";
    EXPECT_EQ(problem_of(text + "end\n"), "");
    EXPECT_EQ(problem_of(text + "  uint one 1\nend\n"),
              "line 18: values add up to more than 268435456 bytes");
}

TEST_F(Served, ValuesKeepTheirSizesAndBytes)
{
    serve("node r\n"
          "  int i -2\n  int w 5000000000\n  int b size=1 -1\n  uint u 7\n  uint p size=3 1\n"
          "  float f 0.5\n  float d size=8 0.5\n  handle h 9\n  time t -1\n  bytes y 0102 03\n"
          "  string s \"a\\tb\"\n  string long size=2 \"abc\"\n  7 raw ff\n  void v\nend\n");
    struct {
        const char *name;
        int32_t type;
        std::string bytes;
    } cases[] = {
        {"i", 2, std::string("\xfe\xff\xff\xff", 4)},
        {"w", 2, std::string("\x00\xf2\x05\x2a\x01\x00\x00\x00", 8)},
        {"b", 2, "\xff"},
        {"u", 3, std::string("\x07\x00\x00\x00", 4)},
        {"p", 3, std::string("\x01\x00\x00", 3)},
        {"f", 4, std::string("\x00\x00\x00\x3f", 4)},
        {"d", 4, std::string("\x00\x00\x00\x00\x00\x00\xe0\x3f", 8)},
        {"h", 5, std::string("\x09\x00\x00\x00\x00\x00\x00\x00", 8)},
        {"t", 7, std::string(8, '\xff')},
        {"y", 8, "\x01\x02\x03"},
        {"s", 9, std::string("a\tb\0", 4)},
        {"long", 9, "ab"},
        {"raw", 7, "\xff"},
        {"v", 1, ""},
    };
    uint64_t node = root();
    for (auto &c : cases) {
        uint64_t handle = prop(node, c.name);
        lumo_propinfo_t info;
        ASSERT_EQ(lumo_get_propinfo(handle, &info), 0);
        EXPECT_EQ(info.type, c.type) << c.name;
        EXPECT_EQ(info.size, c.bytes.size()) << c.name;
        char buffer[16] = {};
        EXPECT_EQ(lumo_get_propval(handle, buffer, sizeof buffer), 0);
        EXPECT_EQ(std::string(buffer, c.bytes.size()), c.bytes) << c.name;
    }
    char two[2] = {'x', 'x'};
    EXPECT_EQ(lumo_get_propval(prop(node, "i"), two, 1), 0) << "a short buffer takes what fits";
    EXPECT_EQ(two[0], '\xfe');
    EXPECT_EQ(two[1], 'x');
}

TEST_F(Served, NodesLinkByNameAndTablesByRowAndColumn)
{
    serve("node r\n  node a\n    table t\n      row\n        int 1\n        int 2\n      end\n"
          "      row\n        int 3\n      end\n    end\n  end\n  node b\n  end\nend\n");
    uint64_t r = root();
    uint64_t a, b, none;
    char name[16];
    EXPECT_EQ(lumo_get_propval_by_name(r, "_child", &a, sizeof a), 0);
    EXPECT_EQ(lumo_get_propval_by_name(a, "_peer", &b, sizeof b), 0);
    EXPECT_EQ(lumo_get_propval_by_name(b, "name", name, sizeof name), 0);
    EXPECT_STREQ(name, "b");
    EXPECT_EQ(lumo_get_propval_by_name(b, "_peer", &none, sizeof none), LUMO_NO_SUCH_PROPERTY);
    EXPECT_EQ(lumo_get_propval_by_name(b, "_child", &none, sizeof none), LUMO_NO_SUCH_PROPERTY);
    EXPECT_EQ(lumo_get_propval_by_name(b, "colour", name, sizeof name), LUMO_NO_SUCH_PROPERTY);

    uint64_t table;
    EXPECT_EQ(lumo_get_propval_by_name(a, "t", &table, sizeof table), 0);
    std::string cells;
    uint64_t row, cell;
    int code = lumo_get_next_by_col(table, &row);
    while (code == 0) {
        cell = row;
        do {
            int32_t value;
            EXPECT_EQ(lumo_get_propval(cell, &value, sizeof value), 0);
            cells += std::to_string(value);
        } while (lumo_get_next_by_row(cell, &cell) == 0);
        cells += ";";
        code = lumo_get_next_by_col(row, &row);
    }
    EXPECT_EQ(code, LUMO_END_OF_LIST);
    EXPECT_EQ(cells, "12;3;");
}

TEST_F(Served, HandlesAreTheSameForTheSameFileAndCheckedOnUse)
{
    const char text[] = "node r\n  node a\n  end\nend\n";
    serve(text);
    uint64_t first = root();
    ASSERT_EQ(lumo_shutdown(), 0);
    uint64_t after;
    EXPECT_EQ(lumo_get_root(&after), LUMO_NOT_INITIALIZED);
    serve(text);
    EXPECT_EQ(root(), first);

    lumo_propinfo_t info;
    uint64_t out;
    EXPECT_EQ(lumo_get_propinfo(0, &info), LUMO_INVALID_HANDLE);
    EXPECT_EQ(lumo_get_propinfo(~uint64_t{0}, &info), LUMO_INVALID_HANDLE);
    EXPECT_EQ(lumo_get_propinfo(first, &info), LUMO_INVALID_HANDLE) << "a node is no property";
    EXPECT_EQ(lumo_get_first_prop(prop(first, "name"), &out), LUMO_INVALID_HANDLE);
    EXPECT_EQ(lumo_get_next_by_row(prop(first, "name"), &out), LUMO_INVALID_HANDLE);
}

TEST_F(Served, FaultsAnswerOnTheirOperationOnly)
{
    serve("fail root:0\n"
          "node r fail=first_prop:31 fail=child:32 fail=peer:33 fail=name:34\n"
          "  uint x fail=info:35 fail=value:36 fail=next:37 1\n"
          "  table t fail=first_cell:38\n"
          "    row\n      uint fail=next:39 fail=next_row:40 1\n      uint 2\n    end\n"
          "  end\nend\n");
    uint64_t r = root();
    uint64_t out;
    char buffer[64];
    lumo_propinfo_t info;
    EXPECT_EQ(lumo_get_first_prop(r, &out), 31);
    EXPECT_EQ(lumo_get_propval_by_name(r, "_child", buffer, 8), 32);
    EXPECT_EQ(lumo_get_propval_by_name(r, "_peer", buffer, 8), 33);
    EXPECT_EQ(lumo_get_propval_by_name(r, "name", buffer, sizeof buffer), 34);
    uint64_t x = lumo::Tree::first_handle + 2;
    EXPECT_EQ(lumo_get_propinfo(x, &info), 35);
    EXPECT_EQ(lumo_get_propval(x, buffer, sizeof buffer), 36);
    EXPECT_EQ(lumo_get_propval_by_name(r, "x", buffer, sizeof buffer), 36);
    EXPECT_EQ(lumo_get_next_prop(x, &out), 37);
    uint64_t table;
    EXPECT_EQ(lumo_get_propval_by_name(r, "t", &table, sizeof table), 0);
    EXPECT_EQ(lumo_get_next_by_col(table, &out), 38);
    uint64_t cell = table + 2; // after the table comes its property, then the cells
    EXPECT_EQ(lumo_get_next_by_row(cell, &out), 39);
    EXPECT_EQ(lumo_get_next_by_col(cell, &out), 40);
    EXPECT_EQ(lumo_get_propval(cell + 1, buffer, sizeof buffer), 0);
}

TEST_F(Served, InitializationAndRootFaults)
{
    write_file(dir / "platform", "fail initialize:15\nnode r\nend\n");
    (void)setenv("LUMO_PLATFORM", (dir / "platform").c_str(), 1);
    EXPECT_EQ(lumo_initialize(), 15);
    serve("fail root:16\nnode r\nend\n");
    uint64_t out;
    EXPECT_EQ(lumo_get_root(&out), 16);
}

TEST(Strerror, EveryCodeHasAText)
{
    for (int code : {0, 1, 2, 3, 7, 11, 15, 16, 28, 40, -5, 99}) {
        const char *text = lumo_strerror(code);
        ASSERT_NE(text, nullptr);
        EXPECT_GT(strlen(text), 0u) << code;
    }
    EXPECT_STREQ(lumo_strerror(28), "value not readable");
    EXPECT_STREQ(lumo_strerror(99), "error 99");
}

// The folders of /sys/devices in byte order, as the library lists them.
static std::vector<std::string> device_folders()
{
    std::vector<std::string> names;
    DIR *dir = opendir("/sys/devices");
    if (dir == nullptr)
        return names;
    while (const dirent *entry = readdir(dir))
        if (entry->d_type == DT_DIR && strcmp(entry->d_name, ".") != 0 &&
            strcmp(entry->d_name, "..") != 0)
            names.push_back(entry->d_name);
    (void)closedir(dir);
    std::sort(names.begin(), names.end());
    return names;
}

TEST(RunningHost, ServedWhenThereIsNoDescription)
{
    struct stat status;
    if (lstat("/etc/lumo/platform", &status) == 0)
        GTEST_SKIP() << "this machine has a platform description";
    (void)unsetenv("LUMO_PLATFORM");
    ASSERT_EQ(lumo_initialize(), 0) << lumo_strerror(LUMO_BAD_DESCRIPTION);
    uint64_t root;
    ASSERT_EQ(lumo_get_root(&root), 0);
    utsname kernel;
    ASSERT_EQ(uname(&kernel), 0);
    char text[lumo::attribute_cap + 1];
    EXPECT_EQ(lumo_get_propval_by_name(root, "kernel_release", text, sizeof text), 0);
    EXPECT_STREQ(text, kernel.release);

    std::vector<std::string> children;
    uint64_t first = 0, node;
    int code = lumo_get_propval_by_name(root, "_child", &node, sizeof node);
    for (first = node; code == 0;
         code = lumo_get_propval_by_name(node, "_peer", &node, sizeof node)) {
        ASSERT_EQ(lumo_get_propval_by_name(node, "name", text, sizeof text), 0);
        children.push_back(text);
    }
    EXPECT_EQ(code, LUMO_NO_SUCH_PROPERTY);
    EXPECT_EQ(children, device_folders());

    // Every property's info record agrees with the value then fetched.
    uint64_t prop;
    code = lumo_get_first_prop(first, &prop);
    while (code == 0) {
        lumo_propinfo_t info;
        ASSERT_EQ(lumo_get_propinfo(prop, &info), 0);
        memset(text, 1, sizeof text);
        int fetched = lumo_get_propval(prop, text, sizeof text);
        if (fetched == 0 && info.type == LUMO_TYPE_STRING)
            EXPECT_EQ(strnlen(text, sizeof text) + 1, info.size) << info.name;
        else if (fetched == 0)
            EXPECT_EQ(info.type, LUMO_TYPE_BYTES) << info.name;
        else
            EXPECT_EQ(fetched, LUMO_NOT_READABLE) << info.name;
        code = lumo_get_next_prop(prop, &prop);
    }
    EXPECT_EQ(code, LUMO_END_OF_LIST);
    uint64_t again;
    EXPECT_EQ(lumo_get_propval_by_name(root, "_child", &again, sizeof again), 0);
    EXPECT_EQ(again, first) << "handles are stable within a run";
    EXPECT_EQ(lumo_shutdown(), 0);
}
