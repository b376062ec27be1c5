// The stand-in library: the description reader's verdicts, and what the
// operations answer that no walk asks.
#include "description.h"
#include "lumo.h"
#include "support.h"
#include "tree.h"

#include <cstring>
#include <new>
#include <sys/stat.h>
#include <unistd.h>

// The cases of descriptions.problems (tests/README.md).
class Description : public testing::TestWithParam<TestCase>
{
};

TEST_P(Description, ProblemNamesTheLine)
{
    lumo::Tree tree;
    std::string problem;
    bool read = lumo::read_description(GetParam().text('<'), tree, problem);
    EXPECT_EQ(problem + (read ? "" : "\n"), GetParam().text('!'));
}
CASE_TESTS(Description, TREEPROBE_SAMPLES "/descriptions.problems");

// A description file is read a piece at a time: lines across the pieces'
// edges, one longer than a piece and a last one without a line feed give
// the tree, or the problem and its line, that the whole text gives.
TEST(DescriptionFile, ReadInPiecesGivesWhatItsWholeTextGives)
{
    std::string body = "node root\n";
    for (int i = 0; i < 30000; i++)
        body += "  string p" + std::to_string(i) + " \"value " + std::to_string(i) + "\"\n";
    body += "  bytes long " + std::string(600000, 'a') + "\n";
    for (const std::string &text : {body + "end", body + "  string p7 \"again\"\nend\n"}) {
        TempDir dir;
        write_file(dir / "platform", text);
        lumo::Tree whole, pieces;
        std::string whole_problem, pieces_problem;
        bool read = lumo::read_description(text, whole, whole_problem);
        EXPECT_EQ(lumo::read_description_file((dir / "platform").c_str(), pieces, pieces_problem),
                  read);
        EXPECT_EQ(pieces_problem, whole_problem);
        if (!read) {
            EXPECT_EQ(pieces_problem, "line 30003: the node already has a property \"p7\"");
            continue;
        }
        uint64_t handle = lumo::Tree::first_handle;
        for (; whole.find(handle) != nullptr; handle++) {
            const lumo::Object &a = *whole.find(handle);
            ASSERT_NE(pieces.find(handle), nullptr) << handle;
            const lumo::Object &b = *pieces.find(handle);
            ASSERT_EQ(a.kind, b.kind) << handle;
            if (a.kind != lumo::Kind::property)
                continue;
            EXPECT_STREQ(whole.name(a), pieces.name(b)) << handle;
            EXPECT_EQ(
                std::string_view(reinterpret_cast<const char *>(whole.value(a)), a.value_length),
                std::string_view(reinterpret_cast<const char *>(pieces.value(b)), b.value_length))
                << handle;
        }
        EXPECT_EQ(pieces.find(handle), nullptr);
        EXPECT_EQ(handle - lumo::Tree::first_handle, 30003u);
    }
}

TEST(Operations, CheckHandlesAndBuffersAndAnswerOnlyWhileInitialized)
{
    TempDir dir;
    write_file(dir / "platform", "node r\n  string s \"abc\"\nend\n");
    (void)setenv("LUMO_PLATFORM", (dir / "platform").c_str(), 1);
    uint64_t root, node, prop;
    lumo_propinfo_t info;
    char four[5] = "xxxx";
    ASSERT_EQ(lumo_initialize(), 0);
    ASSERT_EQ(lumo_get_root(&root), 0);
    for (uint64_t handle : {uint64_t{0}, ~uint64_t{0}, root})
        EXPECT_EQ(lumo_get_propinfo(handle, &info), LUMO_INVALID_HANDLE) << handle;
    EXPECT_EQ(lumo_get_propval_by_name(root, "s", four, 3), LUMO_VALUE_TOO_LARGE) << "with its NUL";
    EXPECT_STREQ(four, "xxxx") << "a value that does not fit is not cut";
    EXPECT_EQ(lumo_shutdown(), 0);
    EXPECT_EQ(lumo_get_root(&root), LUMO_NOT_INITIALIZED);

    // Without a description, a host file is read when its info record is
    // asked for, so that the record and the value fetched then agree.
    (void)unsetenv("LUMO_PLATFORM");
    struct stat status;
    if (lstat("/etc/lumo/platform", &status) == 0)
        GTEST_SKIP() << "this machine has a platform description";
    static char text[65537];
    ASSERT_EQ(lumo_initialize(), 0) << lumo_strerror(LUMO_BAD_DESCRIPTION);
    ASSERT_EQ(lumo_get_root(&node), 0);
    ASSERT_EQ(lumo_get_propval_by_name(node, "_child", &node, sizeof node), 0);
    int code = lumo_get_first_prop(node, &prop);
    for (; code == 0; code = lumo_get_next_prop(prop, &prop)) {
        ASSERT_EQ(lumo_get_propinfo(prop, &info), 0);
        memset(text, 1, sizeof text);
        int fetched = lumo_get_propval(prop, text, sizeof text);
        EXPECT_EQ(fetched, fetched == 0 ? 0 : LUMO_NOT_READABLE) << info.name;
        EXPECT_TRUE(fetched != 0 ||
                    (info.type == LUMO_TYPE_STRING
                         ? strnlen(text, sizeof text) + 1 == info.size
                         : info.type == LUMO_TYPE_BYTES || info.type == LUMO_TYPE_TABLE))
            << info.name;
    }
    EXPECT_EQ(code, LUMO_END_OF_LIST);
    EXPECT_EQ(lumo_shutdown(), 0);
}

// A process that runs with more privilege than its caller answers as if the
// caller had named no description: it neither opens the file nor tells what
// it is.
TEST(Operations, DescriptionNamedByTheCallerIsIgnoredWhenPrivilegedBeyondIt)
{
    if (geteuid() != 0)
        end_test("only root can take on an effective group other than its real one");
    TempDir dir;
    write_file(dir / "platform", "not a description\n");
    (void)unsetenv("LUMO_PLATFORM");
    int unset = lumo_initialize();
    (void)lumo_shutdown();
    (void)setenv("LUMO_PLATFORM", (dir / "platform").c_str(), 1);
    EXPECT_EQ(lumo_initialize(), LUMO_BAD_DESCRIPTION);
    EXPECT_NE(std::string(lumo_strerror(LUMO_BAD_DESCRIPTION)).find(dir.path()), std::string::npos);
    ASSERT_EQ(setegid(65534), 0);
    int privileged = lumo_initialize();
    std::string text = lumo_strerror(LUMO_BAD_DESCRIPTION);
    (void)lumo_shutdown();
    ASSERT_EQ(setegid(0), 0);
    (void)unsetenv("LUMO_PLATFORM");
    EXPECT_EQ(privileged, unset);
    EXPECT_EQ(text.find(dir.path()), std::string::npos) << text;
}

// A source that runs out of memory halfway leaves its object failing every
// operation, not serving the half it filled in.
TEST(Tree, AnObjectItsSourceFailedToFillInFails)
{
    struct Failing final : lumo::Source {
        void list(lumo::Tree &tree, uint64_t node, uint32_t) override
        {
            tree.add_string(node, "half", "listed");
            throw std::bad_alloc();
        }
        int read(lumo::Tree &, uint64_t, uint32_t) override
        {
            throw std::bad_alloc();
        }
    };
    lumo::Tree tree;
    tree.source = std::make_unique<Failing>();
    uint64_t root = tree.add_pending_node(0, "r", 0);
    uint64_t prop = tree.add_pending_property(root, "p", 0);
    for (uint64_t handle : {root, prop}) {
        EXPECT_THROW(tree.complete(handle), std::bad_alloc);
        tree.complete(handle);
        for (lumo::Operation operation : {lumo::op_first_prop, lumo::op_info, lumo::op_value})
            EXPECT_EQ(tree.fault(handle, *tree.find(handle), operation), LUMO_FAILURE);
    }
}
