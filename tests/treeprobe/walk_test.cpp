// The tree walk in-process over the stand-in library linked into the test:
// what the installed program cannot be made to show.
#include "support.h"
#include "treeprobe.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <set>
#include <string>
#include <sys/resource.h>
#include <unistd.h>

static void bind_library()
{
    lumo_initialize_ptr = lumo_initialize;
    // Reports on standard error, which treeprobe never writes, the last table's count.
    lumo_shutdown_ptr = [] {
        (void)fprintf(stderr, "lumo_shutdown after %u\n", tablestringbufneed);
        return lumo_shutdown();
    };
    // The root's handle is 0, which stands for 0x10000.
    lumo_get_root_ptr = [](uint64_t *root) {
        *root = 0;
        return 0;
    };
    lumo_get_first_prop_ptr = [](uint64_t node, uint64_t *p) {
        return lumo_get_first_prop(node == 0 ? 0x10000 : node, p);
    };
    lumo_get_next_prop_ptr = lumo_get_next_prop;
    lumo_get_propinfo_ptr = lumo_get_propinfo;
    lumo_get_propval_ptr = lumo_get_propval;
    lumo_get_propval_by_name_ptr = [](uint64_t node, const char *name, void *buf, size_t size) {
        return lumo_get_propval_by_name(node == 0 ? 0x10000 : node, name, buf, size);
    };
    lumo_get_next_by_row_ptr = lumo_get_next_by_row;
    lumo_get_next_by_col_ptr = lumo_get_next_by_col;
    lumo_strerror_ptr = lumo_strerror;
}

// A chain of 80,000 nodes (0, 0x10002, ... 0x370fe) looping back to the
// root's child, far more than a 1 MiB stack holds at a frame per level.
TEST(Walk, AnyDepthUnderASmallStackAndARootOfHandleZero)
{
    std::string down, up = "end\n", chain;
    for (int level = 1; level < 80000; level++) {
        down += "node n\n";
        up += "end\n";
        chain += error_record("Error processing child", 5203, 0);
    }
    struct {
        std::string description, tail, err; // tail of standard output
        int status;
    } cases[] = {
        {"node r\ntable t\nrow\nstring \"abc\"\nend\nend\ntable u\nrow\n9 78\nend\nend\nend\n",
         "*node: r\nnivex-id: 0\nname: r\nt: abc\nu: x\n", "lumo_shutdown after 2\n", 0},
        {down + "node n link=child:0x10002\n" + up,
         "name: n\n" + error_record("Error getting child node: link back to 0x10002", 5203, 0) +
             chain + error_record("Error processing node", 5203, 0),
         "", 3},
    };
    TempDir dir;
    (void)setenv("LUMO_PLATFORM", (dir / "platform").c_str(), 1);
    bind_library();
    for (auto &c : cases) {
        write_file(dir / "platform", c.description);
        ChildOutcome r = in_child([] {
            (void)alarm(20);
            struct rlimit stack = {1 << 20, 1 << 20};
            (void)setrlimit(RLIMIT_STACK, &stack);
            exit(walk_platform_tree());
        });
        EXPECT_TRUE(r.out.ends_with(c.tail)) << r.out.substr(0, 300) << c.tail.substr(0, 300);
        EXPECT_EQ(r.err + "exit " + std::to_string(r.status),
                  c.err + "exit " + std::to_string(c.status));
    }
}

// Runs the walk over a description in a child; its output and exit status.
static ChildOutcome walk(const TempDir &dir, const std::string &description)
{
    write_file(dir / "platform", description);
    return in_child([] {
        (void)alarm(20);
        exit(walk_platform_tree());
    });
}

// Links that reach a node written before by another route than up the
// path: each node is written once, then the link is reported as a loop.
TEST(Walk, EveryNodeOnceWhateverTheLinks)
{
    auto handle = [](int n) {
        char text[32];
        (void)snprintf(text, sizeof text, "%#x", 0x10000 + 2 * n);
        return std::string(text);
    };
    // 100 peers, the last leading back to the first (node 2, under node 1).
    std::string loop = "node r\nnode a\n";
    for (int i = 0; i < 100; i++)
        loop +=
            "node c" + std::to_string(i) + (i == 99 ? " link=peer:" + handle(2) : "") + "\nend\n";
    loop += "end\nend\n";
    // 61 nodes: the root's 60 children, each one's first child its own next
    // peer; were only the path checked, every node would be reached from
    // each node before it, 2^60 records.
    std::string shared = "node r\n";
    for (int i = 1; i <= 60; i++)
        shared += "node n" + std::to_string(i) + (i < 60 ? " link=child:" + handle(i + 1) : "") +
                  "\nend\n";
    shared += "end\n";
    auto child_chain = [](int levels) {
        std::string chain;
        for (int i = 0; i < levels; i++)
            chain += error_record("Error processing child", 5203, 0);
        return chain + error_record("Error processing node", 5203, 0);
    };
    struct {
        std::string description;
        size_t nodes;
        std::string tail;
    } cases[] = {
        {loop, 102,
         error_record("Error getting peer node: link back to " + handle(2), 5203, 0) +
             child_chain(1)},
        // Down the chain of first children to n60, then n59's peer n60 again.
        {shared, 61,
         error_record("Error getting peer node: link back to " + handle(60), 5203, 0) +
             child_chain(58)},
    };
    TempDir dir;
    (void)setenv("LUMO_PLATFORM", (dir / "platform").c_str(), 1);
    bind_library();
    for (auto &c : cases) {
        ChildOutcome r = walk(dir, c.description);
        ParsedOutput parsed = parse_records(r.out);
        std::set<std::string> ids;
        size_t nodes = 0;
        for (const Record &record : parsed.records)
            if (!record.is_error()) {
                nodes++;
                const std::string *id = record.find("nivex-id");
                ids.insert(id != nullptr ? *id : "none");
            }
        EXPECT_EQ(nodes, c.nodes);
        EXPECT_EQ(ids.size(), c.nodes);
        EXPECT_TRUE(r.out.ends_with(c.tail)) << r.out.substr(r.out.size() - 400);
        EXPECT_EQ(r.status, 3);
    }
}

// A table handle that cannot be fetched once its value could; a full buffer.
TEST(Walk, RendererLimits)
{
    static int code = LUMO_NOT_READABLE;
    lumo_get_propval_ptr = [](uint64_t, void *, size_t) { return code; };
    lumo_propinfo_t table = {LUMO_TYPE_TABLE, 0, 8, ""};
    EXPECT_STREQ(lumostrval(1, table, "12345678"), "(not readable)");
    code = LUMO_INVALID_HANDLE;
    ChildOutcome r = in_child([&] { (void)lumostrval(1, table, "12345678"); });
    EXPECT_EQ(r.out + "exit " + std::to_string(r.status),
              error_record("Error interpreting LUMO value", 5203, 0) + "exit 3");

    static unsigned char value[value_buffer_size + 1];
    lumo_propinfo_t bytes = {LUMO_TYPE_BYTES, 0, value_buffer_size, ""};
    EXPECT_EQ(strlen(lumostrval(1, bytes, value)), 4 * value_buffer_size);
}

// Numbers and times are formatted without printf: the text must stay what
// "%lld", "%#llx", "%f" and asctime(localtime_r()) write, in a zone with
// summer time, for years of any width, and for a float met again.
TEST(Walk, NumbersAndTimesAsTheFormatsWrite)
{
    const int64_t numbers[] = {0,
                               1,
                               -1,
                               9,
                               10,
                               -10,
                               255,
                               -128,
                               0x7fffffff,
                               -0x7fffffff - 1,
                               1700000000,
                               -1700000000,
                               253402300799,
                               253402300800,
                               -62135596800,
                               -62135596801,
                               -30610224000,
                               -30610224001,
                               67767976233532799,
                               67768036191676800,
                               INT64_MAX,
                               INT64_MIN,
                               0x123456789abcdef};
    char expected[512];
    (void)setenv("TZ", "EST5EDT,M3.2.0,M11.1.0", 1);
    tzset();
    for (int64_t number : numbers)
        for (uint32_t size : {1u, 2u, 4u, 8u}) {
            unsigned char value[8] = {};
            memcpy(value, &number, size);
            uint64_t bits = 0;
            memcpy(&bits, value, size);
            int64_t as_signed = size == 8   ? static_cast<int64_t>(bits)
                                : size == 4 ? static_cast<int32_t>(bits)
                                : size == 2 ? static_cast<int16_t>(bits)
                                            : static_cast<int8_t>(bits);
            (void)snprintf(expected, sizeof expected, "%lld", static_cast<long long>(as_signed));
            EXPECT_STREQ(lumostrval(1, {LUMO_TYPE_INT, 0, size, ""}, value), expected);
            (void)snprintf(expected, sizeof expected, "%#llx",
                           static_cast<unsigned long long>(bits));
            EXPECT_STREQ(lumostrval(1, {LUMO_TYPE_UINT, 0, size, ""}, value), expected);
            EXPECT_STREQ(lumostrval(1, {LUMO_TYPE_HANDLE, 0, size, ""}, value), expected);
        }
    for (int64_t number : numbers) {
        time_t when = static_cast<time_t>(number);
        struct tm local;
        const char *text = localtime_r(&when, &local) != nullptr ? asctime(&local) : nullptr;
        std::string want = text != nullptr ? text : "(not readable)";
        EXPECT_EQ(lumostrval(1, {LUMO_TYPE_TIMESTAMP, 0, 8, ""}, &number), want) << number;
    }
    // Every hour of two years across the summer time changes.
    for (int64_t when = 1699999999; when < 1700000000 + 2 * 366 * 86400; when += 3599) {
        time_t at = static_cast<time_t>(when);
        struct tm local;
        ASSERT_NE(localtime_r(&at, &local), nullptr);
        EXPECT_EQ(lumostrval(1, {LUMO_TYPE_TIMESTAMP, 0, 8, ""}, &when),
                  std::string(asctime(&local)));
    }
    const double floats[] = {0.0, -0.0, 1.5, -2.25, 1.001, 1e300, -1e-300, 123456789.125};
    for (int round = 0; round < 2; round++)
        for (double number : floats) {
            (void)snprintf(expected, sizeof expected, "%f", number);
            EXPECT_STREQ(lumostrval(1, {LUMO_TYPE_FLOAT, 0, 8, ""}, &number), expected);
            auto single = static_cast<float>(number);
            (void)snprintf(expected, sizeof expected, "%f", static_cast<double>(single));
            EXPECT_STREQ(lumostrval(1, {LUMO_TYPE_FLOAT, 0, 4, ""}, &single), expected);
        }
    (void)unsetenv("TZ");
    tzset();
}
