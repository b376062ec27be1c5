// The tree walk and the node records, driven in-process against the test
// double; every run goes through a child process, since failures end it.
#include "collector.h"
#include "fake_lumo.h"
#include "support.h"
#include "treeprobe.h"

#include <cstdio>

const char collector_name[] = "treeprobe";
const int collector_output_failure_status = 3;

namespace
{

std::string hex(uint64_t handle)
{
    char text[32];
    (void)snprintf(text, sizeof text, "%#llx", static_cast<unsigned long long>(handle));
    return text;
}

std::string head(uint64_t node, uint64_t parent = 0)
{
    std::string text = "*node: " + fake[node].name + "\nnivex-id: " + hex(node) + "\n";
    if (parent != 0)
        text += "nivex-parent-id: " + hex(parent) + "\n";
    return text;
}

ChildOutcome walk()
{
    return in_child([] { exit(walk_platform_tree()); });
}

const std::string shut_down = "lumo_shutdown\n";
const std::string showing = error_record("Error showing node properties", 5203, 0);
const std::string child_failed = error_record("Error processing child", 5203, 0);
const std::string node_failed = error_record("Error processing node", 5203, 0);

// root -> a -> g, each with a "model" property; g has a second, "rev".
struct Chain {
    uint64_t root, root_model, a, a_model, g, g_model, g_rev;
};

Chain build_chain()
{
    bind_fake();
    Chain c{};
    c.root = fake.node("root");
    c.root_model = fake.prop(c.root, "model", LUMO_TYPE_STRING, string_value("R220"));
    c.a = fake.node("a", c.root);
    c.a_model = fake.prop(c.a, "model", LUMO_TYPE_STRING, string_value("bus"));
    c.g = fake.node("g", c.a);
    c.g_model = fake.prop(c.g, "model", LUMO_TYPE_STRING, string_value("disk"));
    c.g_rev = fake.prop(c.g, "rev", LUMO_TYPE_UINT, bytes_of(uint32_t{3}));
    return c;
}

} // namespace

TEST(Walk, WritesEveryNodeDepthFirstWithParentIds)
{
    bind_fake();
    uint64_t root = fake.node("root");
    (void)fake.prop(root, "model", LUMO_TYPE_STRING, string_value("R220"));
    uint64_t a = fake.node("a", root);
    uint64_t a1 = fake.node("a1", a);
    uint64_t b = fake.node("b", root);
    uint64_t c = fake.node("c", root);
    for (uint64_t node : {a, a1, b, c})
        (void)fake.prop(node, "n", LUMO_TYPE_INT, bytes_of(int32_t{7}));
    ChildOutcome r = walk();
    EXPECT_EQ(r.out, head(root) + "model: R220\n" + head(a, root) + "n: 7\n" + head(a1, a) +
                         "n: 7\n" + head(b, root) + "n: 7\n" + head(c, root) + "n: 7\n");
    EXPECT_EQ(r.err, shut_down);
    EXPECT_EQ(r.status, 0);
}

TEST(Walk, RootAloneHasNoParentLineAndHandleZeroIsWrittenAsZero)
{
    bind_fake();
    fake.next_handle = 0;
    uint64_t root = fake.node("root");
    (void)fake.prop(root, "model", LUMO_TYPE_STRING, string_value("x"));
    ChildOutcome r = walk();
    EXPECT_EQ(r.out, "*node: root\nnivex-id: 0\nmodel: x\n");
    EXPECT_EQ(r.status, 0);
}

TEST(Walk, UnreadablePropertiesAnywhereInTheListAreWrittenAndTheListGoesOn)
{
    for (int position = 0; position < 3; position++) {
        for (int code : {int{LUMO_NOT_READABLE}, 5, int{LUMO_NO_SUCH_PROPERTY}}) {
            bind_fake();
            uint64_t root = fake.node("root");
            uint64_t props[3];
            for (int i = 0; i < 3; i++)
                props[i] = fake.prop(root, "p" + std::to_string(i), LUMO_TYPE_STRING,
                                     string_value("v" + std::to_string(i)));
            fake[props[position]].value_code = code;
            std::string lines;
            for (int i = 0; i < 3; i++) {
                std::string text = "v" + std::to_string(i);
                if (i == position)
                    text =
                        code == LUMO_NOT_READABLE ? "(not readable)" : "ERROR: " + fake_text(code);
                lines += "p" + std::to_string(i) + ": " + text + "\n";
            }
            ChildOutcome r = walk();
            SCOPED_TRACE("position " + std::to_string(position) + " code " + std::to_string(code));
            EXPECT_EQ(r.out, head(root) + lines);
            EXPECT_EQ(r.status, 0);
        }
    }
}

TEST(Walk, FailureAtDepthTwoWritesTheChainOfRecordsUpToTheRoot)
{
    struct Case {
        const char *name;
        void (*inject)(const Chain &);
        // What the output holds before the error records, after the records
        // of root and a.
        std::string (*written)(const Chain &);
        std::string (*records)(const Chain &);
    } cases[] = {
        {"name fetch", [](const Chain &c) { fake[c.g].name_code = 15; },
         [](const Chain &) { return std::string(); },
         [](const Chain &) {
             return error_record("Error getting name: text 15", 5203, 15) + showing + child_failed +
                    child_failed;
         }},
        {"first property", [](const Chain &c) { fake[c.g].first_prop_code = 11; },
         [](const Chain &c) { return head(c.g, c.a); },
         [](const Chain &) {
             return error_record("Error in lumo_get_first_prop: text 11", 5203, 11) + showing +
                    child_failed + child_failed;
         }},
        {"property info", [](const Chain &c) { fake[c.g_rev].info_code = 3; },
         [](const Chain &c) { return head(c.g, c.a) + "model: disk\n"; },
         [](const Chain &) {
             return error_record("Error in lumo_get_propinfo: text 3", 5203, 3) + showing +
                    child_failed + child_failed;
         }},
        {"property value 2", [](const Chain &c) { fake[c.g_model].value_code = 2; },
         [](const Chain &c) { return head(c.g, c.a); },
         [](const Chain &) {
             return error_record("Error in lumo_get_propval: text 2", 5203, 2) + showing +
                    child_failed + child_failed;
         }},
        {"property value 15", [](const Chain &c) { fake[c.g_rev].value_code = 15; },
         [](const Chain &c) { return head(c.g, c.a) + "model: disk\n"; },
         [](const Chain &) {
             return error_record("Error in lumo_get_propval: text 15", 5203, 15) + showing +
                    child_failed + child_failed;
         }},
        {"property value 16", [](const Chain &c) { fake[c.g_model].value_code = 16; },
         [](const Chain &c) { return head(c.g, c.a); },
         [](const Chain &) {
             return error_record("Error in lumo_get_propval: text 16", 5203, 16) + showing +
                    child_failed + child_failed;
         }},
        {"next property", [](const Chain &c) { fake[c.g_rev].next_code = 5; },
         [](const Chain &c) { return head(c.g, c.a) + "model: disk\nrev: 0x3\n"; },
         [](const Chain &) {
             return error_record("Error in lumo_get_next_prop: text 5", 5203, 5) + showing +
                    child_failed + child_failed;
         }},
        {"child fetch", [](const Chain &c) { fake[c.g].child_code = 5; },
         [](const Chain &c) { return head(c.g, c.a) + "model: disk\nrev: 0x3\n"; },
         [](const Chain &) {
             return error_record("Error getting child node: text 5", 5203, 5) + child_failed +
                    child_failed;
         }},
        // The peer of g is fetched by the walk of a, one level up.
        {"peer fetch", [](const Chain &c) { fake[c.g].peer_code = 16; },
         [](const Chain &c) { return head(c.g, c.a) + "model: disk\nrev: 0x3\n"; },
         [](const Chain &) {
             return error_record("Error getting peer node: text 16", 5203, 16) + child_failed;
         }},
    };
    for (const Case &c : cases) {
        Chain chain = build_chain();
        c.inject(chain);
        ChildOutcome r = walk();
        SCOPED_TRACE(c.name);
        EXPECT_EQ(r.out, head(chain.root) + "model: R220\n" + head(chain.a, chain.root) +
                             "model: bus\n" + c.written(chain) + c.records(chain) + node_failed);
        EXPECT_EQ(r.err, "") << "lumo_shutdown is called only after a completed walk";
        EXPECT_EQ(r.status, 3);
    }
}

TEST(Walk, FailuresBeforeTheWalkWriteOneRecord)
{
    struct {
        int initialize_code, root_code;
        std::string out;
    } cases[] = {
        {5, 0, error_record("Error in lumo_initialize: text 5", 5203, 5)},
        {0, 15, error_record("Error in lumo_get_root: text 15", 5203, 15)},
    };
    for (auto &c : cases) {
        build_chain();
        fake.initialize_code = c.initialize_code;
        fake.root_code = c.root_code;
        ChildOutcome r = walk();
        EXPECT_EQ(r.out, c.out);
        EXPECT_EQ(r.err, "");
        EXPECT_EQ(r.status, 3);
    }
}

TEST(Walk, RendererFailureEndsTheRunWithoutTheChainOfRecords)
{
    Chain chain = build_chain();
    fake[chain.g_rev].info.size = 3;
    ChildOutcome r = walk();
    EXPECT_EQ(r.out, head(chain.root) + "model: R220\n" + head(chain.a, chain.root) +
                         "model: bus\n" + head(chain.g, chain.a) + "model: disk\n" +
                         error_record("Integer error", 5203, 0));
    EXPECT_EQ(r.status, 3);
}

TEST(Walk, TenThousandLevelsFitTheDefaultStack)
{
    bind_fake();
    uint64_t node = 0;
    for (int i = 0; i < 10000; i++) {
        node = fake.node("level", node);
        (void)fake.prop(node, "depth", LUMO_TYPE_INT, bytes_of(int32_t{i}));
    }
    ChildOutcome r = walk();
    ParsedOutput parsed = parse_records(r.out);
    EXPECT_TRUE(parsed.problems.empty()) << r.out.substr(0, 500);
    ASSERT_EQ(parsed.records.size(), 10000u);
    EXPECT_EQ(*parsed.records.back().find("depth"), "9999");
    EXPECT_EQ(r.status, 0);
}

TEST(Walk, LinksBackToAnAncestorOrALoopOfPeersEndTheWalk)
{
    struct Case {
        const char *name;
        // Makes the bad link and returns the node it leads to.
        uint64_t (*link)(const Chain &);
        const char *message;
        int levels_above; // "Error processing child" records after it
    } cases[] = {
        {"child is the node itself", [](const Chain &c) { return fake[c.g].child = c.g; },
         "Error getting child node: link back to ", 2},
        {"child is the root", [](const Chain &c) { return fake[c.g].child = c.root; },
         "Error getting child node: link back to ", 2},
        {"peer is the parent", [](const Chain &c) { return fake[c.g].peer = c.a; },
         "Error getting peer node: link back to ", 1},
        {"peer is the node itself", [](const Chain &c) { return fake[c.g].peer = c.g; },
         "Error getting peer node: link back to ", 1},
        {"peers loop",
         [](const Chain &c) {
             for (const char *name : {"h", "i"})
                 (void)fake.prop(fake.node(name, c.a), "model", LUMO_TYPE_VOID, "");
             fake[fake[fake[c.g].peer].peer].peer = c.g;
             return c.g;
         },
         "Error getting peer node: link back to ", 1},
    };
    for (const Case &c : cases) {
        Chain chain = build_chain();
        uint64_t target = c.link(chain);
        ChildOutcome r = walk();
        SCOPED_TRACE(c.name);
        std::string tail = error_record(c.message + hex(target), 5203, 0);
        for (int i = 0; i < c.levels_above; i++)
            tail += child_failed;
        tail += node_failed;
        ASSERT_GE(r.out.size(), tail.size());
        EXPECT_EQ(r.out.substr(r.out.size() - tail.size()), tail);
        EXPECT_LT(r.out.size(), 4096u) << "the loop was walked too often";
        EXPECT_EQ(r.status, 3);
    }
}
