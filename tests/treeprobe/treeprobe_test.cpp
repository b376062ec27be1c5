// treeprobe as the parent collector runs it: the installed program in the
// sandbox, the installed liblumo.so linked at /usr/lib/liblumo.so, and
// platform descriptions from the samples folder, the sample host or the
// test, or no description and this machine's own /sys.
#include "support.h"

#include <algorithm>
#include <dirent.h>
#include <set>
#include <sys/utsname.h>

namespace
{

const std::string samples = TREEPROBE_SAMPLES;
const std::string sample_host_platform = SAMPLE_HOST_PLATFORM;

// A host image with the library where the program looks and the
// description at the library's default path.
struct Host {
    TempDir image;

    explicit Host(const std::string &description, bool with_library = true)
    {
        if (with_library)
            make_link(image / "usr/lib/liblumo.so", "/opt/probes/lib/liblumo.so");
        write_file(image / "etc/lumo/platform", description);
    }
    SandboxResult run(std::vector<std::string> args = {}, std::vector<std::string> env = {})
    {
        SandboxRun run = installed("treeprobe", std::move(args));
        run.image = image.path();
        run.env.push_back("TZ=UTC0");
        run.env.insert(run.env.end(), env.begin(), env.end());
        return run_checked(run);
    }
};

const char one_node[] = "node root\n    uint answer 42\nend\n";

} // namespace

TEST(TreeprobeSandboxed, WritesEveryKindOfValueByteForByte)
{
    REQUIRE_SANDBOX();
    Host host(read_file(samples + "/every-kind.platform"));
    SandboxResult r = host.run();
    EXPECT_EQ(r.out, read_file(samples + "/every-kind.out"));
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.status, 0);
}

TEST(TreeprobeSandboxed, SmallServerGivesWellFormedRecordsWhoseParentsComeFirst)
{
    REQUIRE_SANDBOX();
    Host host(read_file(sample_host_platform));
    SandboxResult r = host.run();
    ASSERT_EQ(r.status, 0) << r.out;
    ParsedOutput parsed = parse_records(r.out);
    EXPECT_TRUE(parsed.problems.empty()) << testing::PrintToString(parsed.problems);
    std::set<std::string> seen;
    for (size_t i = 0; i < parsed.records.size(); i++) {
        const Record &record = parsed.records[i];
        EXPECT_EQ(record.key, "node");
        const std::string *parent = record.find("nivex-parent-id");
        if (i == 0)
            EXPECT_EQ(parent, nullptr);
        else if (parent == nullptr || seen.count(*parent) == 0)
            ADD_FAILURE() << record.value << " does not follow its parent";
        seen.insert(*record.find("nivex-id"));
    }
    EXPECT_EQ(parsed.records.size(), 10u);
    EXPECT_EQ(*parsed.records[0].find("boot-time"), "Tue Nov 14 22:13:20 2023\n");
    EXPECT_EQ(*parsed.records[3].find("status"), "(not readable)");
}

TEST(TreeprobeSandboxed, CommandLinesAndAMissingLibrary)
{
    REQUIRE_SANDBOX();
    const std::string invalid = error_record("Invalid command line argument", 5022, 22);
    const std::string not_loaded = error_record(
        "Error loading lumo library: /usr/lib/liblumo.so: cannot open shared object file: No "
        "such file or directory",
        5203, 0);
    struct {
        bool with_library;
        std::vector<std::string> args;
        std::string out;
        int status;
    } cases[] = {
        {true, {"-V"}, "treeprobe\t1.1\n", 0},
        {false, {"-V"}, "treeprobe\t1.1\n", 0},
        {false, {"-VV"}, invalid, 1},
        {true, {"-x"}, invalid, 1},
        {false, {}, not_loaded, 2},
        {false, {"operand", "-V"}, not_loaded, 2},
        {true, {"operand", "-x"}, "*node: root\nnivex-id: 0x10000\nname: root\nanswer: 0x2a\n", 0},
    };
    for (auto &c : cases) {
        Host host(one_node, c.with_library);
        SandboxResult r = host.run(c.args);
        SCOPED_TRACE(testing::PrintToString(c.args) + (c.with_library ? "" : " without library"));
        EXPECT_EQ(r.out, c.out);
        EXPECT_EQ(r.status, c.status);
    }
}

TEST(TreeprobeSandboxed, LibraryWithoutTheOperationsIsNotBound)
{
    REQUIRE_SANDBOX();
    Host host(one_node, false);
    make_link(host.image / "usr/lib/liblumo.so", "/opt/probes/lib/libadm.so.1");
    SandboxResult r = host.run();
    EXPECT_EQ(r.out, error_record("Error loading lumo library: /usr/lib/liblumo.so: undefined "
                                  "symbol: lumo_get_first_prop",
                                  5203, 0));
    EXPECT_EQ(r.status, 2);
}

TEST(TreeprobeSandboxed, DescriptionThatCannotBeUsedFailsInitialization)
{
    REQUIRE_SANDBOX();
    struct {
        std::string description;
        std::vector<std::string> env;
        std::string message;
    } cases[] = {
        {"node root\n  colour c \"red\"\nend\n",
         {},
         "platform description /etc/lumo/platform: line 2: unknown type colour"},
        {"node root\n", {}, "platform description /etc/lumo/platform: line 1: block has no end"},
        {one_node,
         {"LUMO_PLATFORM=/etc/lumo/elsewhere"},
         "platform description /etc/lumo/elsewhere: No such file or directory"},
    };
    for (auto &c : cases) {
        Host host(c.description);
        SandboxResult r = host.run({}, c.env);
        EXPECT_EQ(r.out, error_record("Error in lumo_initialize: " + c.message, 5203, 40));
        EXPECT_EQ(r.status, 3);
    }
}

TEST(TreeprobeSandboxed, DescriptionNamedByTheEnvironmentIsServed)
{
    REQUIRE_SANDBOX();
    Host host("node ignored\nend\n");
    write_file(host.image / "etc/lumo/other", one_node);
    SandboxResult r = host.run({}, {"LUMO_PLATFORM=/etc/lumo/other"});
    EXPECT_EQ(r.out, "*node: root\nnivex-id: 0x10000\nname: root\nanswer: 0x2a\n");
    EXPECT_EQ(r.status, 0);
}

TEST(TreeprobeSandboxed, InjectedFaultAtDepthTwoEndsTheWalkWithItsChainOfRecords)
{
    REQUIRE_SANDBOX();
    Host host("node root\n node a\n  node b\n   uint x fail=value:15 1\n  end\n end\nend\n");
    SandboxResult r = host.run();
    EXPECT_EQ(r.out, "*node: root\nnivex-id: 0x10000\nname: root\n"
                     "*node: a\nnivex-id: 0x10002\nnivex-parent-id: 0x10000\nname: a\n"
                     "*node: b\nnivex-id: 0x10004\nnivex-parent-id: 0x10002\nname: b\n" +
                         error_record("Error in lumo_get_propval: stale handle", 5203, 15) +
                         error_record("Error showing node properties", 5203, 0) +
                         error_record("Error processing child", 5203, 0) +
                         error_record("Error processing child", 5203, 0) +
                         error_record("Error processing node", 5203, 0));
    EXPECT_EQ(r.status, 3);
}

// The deepest node of a 10,000-level chain holds tables nested past the
// bound: the most stack a walk can take.
TEST(TreeprobeSandboxed, TenThousandLevelsRunWithTheDefaultStack)
{
    REQUIRE_SANDBOX();
    std::string description;
    for (int i = 0; i < 10000; i++)
        description += "node level\n";
    description += "table deepest\n";
    for (int level = 1; level <= 5; level++)
        description +=
            "row\nstring \"l" + std::to_string(level) + "\"\n" + (level < 5 ? "table\n" : "");
    for (int level = 1; level <= 5; level++)
        description += level < 5 ? "end\nend\n" : "end\n";
    description += "end\n";
    for (int i = 0; i < 10000; i++)
        description += "end\n";
    Host host(description);
    SandboxResult r = host.run();
    ParsedOutput parsed = parse_records(r.out);
    ASSERT_EQ(parsed.records.size(), 10000u) << r.out.substr(0, 300);
    EXPECT_EQ(*parsed.records.back().find("deepest"),
              "l1, l2, l3, l4, ERROR:  tables nested too deeply");
    EXPECT_EQ(r.status, 0);
}

TEST(TreeprobeSandboxed, LostOutputIsAFailureAsRootAndAsAnOrdinaryUser)
{
    REQUIRE_SANDBOX();
    for (SandboxOutput mode : {SandboxOutput::full, SandboxOutput::closed}) {
        for (bool as_user : {false, true}) {
            Host host(read_file(sample_host_platform));
            SandboxRun run = installed("treeprobe");
            run.image = host.image.path();
            run.out = mode;
            run.as_user = as_user;
            SandboxResult r = run_checked(run);
            EXPECT_EQ(r.status, 3) << "as_user " << as_user;
            EXPECT_EQ(r.err, "");
        }
    }
}

// The folders of /sys/devices in byte order.
static std::vector<std::string> device_folders()
{
    std::vector<std::string> folders;
    DIR *dir = opendir("/sys/devices");
    if (dir == nullptr)
        return folders;
    while (const dirent *entry = readdir(dir))
        if (entry->d_type == DT_DIR && std::string_view(entry->d_name) != "." &&
            std::string_view(entry->d_name) != "..")
            folders.push_back(entry->d_name);
    (void)closedir(dir);
    std::sort(folders.begin(), folders.end());
    return folders;
}

// Without a description the library serves the machine's own /sys: the
// whole device tree, every attribute the library reads, as records, for
// the super-user and for an ordinary user, who may read less.
TEST(TreeprobeSandboxed, RunningHostWithoutDescriptionGivesWellFormedRecords)
{
    REQUIRE_SANDBOX();
    utsname kernel;
    ASSERT_EQ(uname(&kernel), 0);
    for (bool as_user : {false, true}) {
        SCOPED_TRACE(as_user ? "as an ordinary user" : "as the super-user");
        TempDir image;
        make_link(image / "usr/lib/liblumo.so", "/opt/probes/lib/liblumo.so");
        SandboxRun run = installed("treeprobe");
        run.image = image.path();
        run.host_binds = {"/sys"};
        run.as_user = as_user;
        SandboxResult r = run_checked(run);
        ASSERT_EQ(r.status, 0) << r.out.substr(0, 2000);
        EXPECT_EQ(r.err, "");
        ParsedOutput parsed = parse_records(r.out);
        EXPECT_TRUE(parsed.problems.empty()) << testing::PrintToString(parsed.problems);
        ASSERT_FALSE(parsed.records.empty());
        std::set<std::string> seen;
        std::vector<std::string> top_level;
        for (size_t i = 0; i < parsed.records.size(); i++) {
            const Record &record = parsed.records[i];
            EXPECT_EQ(record.key, "node") << record.value;
            const std::string *id = record.find("nivex-id");
            const std::string *parent = record.find("nivex-parent-id");
            ASSERT_NE(id, nullptr) << record.value;
            if (i == 0)
                EXPECT_EQ(parent, nullptr);
            else if (parent == nullptr || seen.count(*parent) == 0)
                ADD_FAILURE() << record.value << " does not follow its parent";
            else if (*parent == *parsed.records[0].find("nivex-id"))
                top_level.push_back(record.value);
            EXPECT_TRUE(seen.insert(*id).second) << "two nodes with the id " << *id;
        }
        const std::string *release = parsed.records[0].find("kernel_release");
        ASSERT_NE(release, nullptr);
        EXPECT_EQ(*release, kernel.release);
        EXPECT_EQ(top_level, device_folders());
    }
}
