// The stand-in platform information library: the description reader's
// verdicts, what the operations answer besides the tree that the walk
// tests read through them, and this machine when there is no description.
#include "description.h"
#include "lumo.h"
#include "support.h"

#include <cstring>
#include <sys/stat.h>

namespace
{

std::string problem_of(const std::string &text)
{
    lumo::Tree tree;
    std::string problem;
    return lumo::read_description(text, tree, problem) ? "" : problem;
}

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

TEST(Operations, CheckHandlesAndBuffersAndAnswerOnlyWhileInitialized)
{
    TempDir dir;
    write_file(dir / "platform", "node r\n  int i -2\nend\n");
    (void)setenv("LUMO_PLATFORM", (dir / "platform").c_str(), 1);
    uint64_t root;
    EXPECT_EQ(lumo_get_root(&root), LUMO_NOT_INITIALIZED);
    ASSERT_EQ(lumo_initialize(), 0);
    ASSERT_EQ(lumo_get_root(&root), 0);
    lumo_propinfo_t info;
    uint64_t out;
    EXPECT_EQ(lumo_get_propinfo(0, &info), LUMO_INVALID_HANDLE);
    EXPECT_EQ(lumo_get_propinfo(~uint64_t{0}, &info), LUMO_INVALID_HANDLE);
    EXPECT_EQ(lumo_get_propinfo(root, &info), LUMO_INVALID_HANDLE) << "a node is no property";
    EXPECT_EQ(lumo_get_first_prop(root + 1, &out), LUMO_INVALID_HANDLE);
    EXPECT_EQ(lumo_get_next_by_row(root + 1, &out), LUMO_INVALID_HANDLE);
    char two[2] = {'x', 'x'};
    EXPECT_EQ(lumo_get_propval_by_name(root, "i", two, 1), 0) << "a short buffer takes what fits";
    EXPECT_EQ(std::string(two, 2), "\xfex");
    EXPECT_EQ(lumo_get_propval_by_name(root, "colour", two, 1), LUMO_NO_SUCH_PROPERTY);
    EXPECT_EQ(lumo_shutdown(), 0);
    EXPECT_EQ(lumo_get_root(&root), LUMO_NOT_INITIALIZED);
    (void)unsetenv("LUMO_PLATFORM");
}

// Files of the host are read when their info record is asked for, so that
// the record and the value then fetched always agree.
TEST(RunningHost, InfoRecordsAgreeWithTheValues)
{
    struct stat status;
    if (lstat("/etc/lumo/platform", &status) == 0)
        GTEST_SKIP() << "this machine has a platform description";
    ASSERT_EQ(lumo_initialize(), 0) << lumo_strerror(LUMO_BAD_DESCRIPTION);
    uint64_t node, prop;
    ASSERT_EQ(lumo_get_root(&node), 0);
    ASSERT_EQ(lumo_get_propval_by_name(node, "_child", &node, sizeof node), 0);
    int code = lumo_get_first_prop(node, &prop);
    for (; code == 0; code = lumo_get_next_prop(prop, &prop)) {
        lumo_propinfo_t info;
        ASSERT_EQ(lumo_get_propinfo(prop, &info), 0);
        static char text[65537];
        memset(text, 1, sizeof text);
        int fetched = lumo_get_propval(prop, text, sizeof text);
        if (fetched == 0 && info.type == LUMO_TYPE_STRING)
            EXPECT_EQ(strnlen(text, sizeof text) + 1, info.size) << info.name;
        else if (fetched == 0)
            EXPECT_TRUE(info.type == LUMO_TYPE_BYTES || info.type == LUMO_TYPE_TABLE) << info.name;
        else
            EXPECT_EQ(fetched, LUMO_NOT_READABLE) << info.name;
    }
    EXPECT_EQ(code, LUMO_END_OF_LIST);
    EXPECT_EQ(lumo_shutdown(), 0);
}
