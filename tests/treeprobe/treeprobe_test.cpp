// treeprobe as the parent collector runs it: the installed program in the
// sandbox, the installed liblumo.so linked at /usr/lib/liblumo.so, and
// platform descriptions from the samples folder, the sample host or the
// test, or no description and this machine's own /sys.
#include "support.h"

#include <set>

namespace
{

const std::string samples = TREEPROBE_SAMPLES;
const char liblumo[] = "/opt/probes/lib/liblumo.so";

// The installed program over a host image with the library (when given)
// where the program looks and the description (when given) at the
// library's default path.
SandboxRun treeprobe_on(const TempDir &image, const char *description,
                        const char *library = liblumo)
{
    if (library != nullptr)
        make_link(image / "usr/lib/liblumo.so", library);
    if (description != nullptr)
        write_file(image / "etc/lumo/platform", description);
    SandboxRun run = installed("treeprobe");
    run.image = image.path();
    run.env.push_back("TZ=UTC0");
    return run;
}

// Well-formed node records, each but the first after its parent's.
void expect_tree(const std::string &out)
{
    ParsedOutput parsed = parse_records(out);
    EXPECT_TRUE(parsed.problems.empty()) << testing::PrintToString(parsed.problems);
    ASSERT_FALSE(parsed.records.empty());
    std::set<std::string> seen;
    for (const Record &record : parsed.records) {
        EXPECT_EQ(record.key, "node") << record.value;
        const std::string *id = record.find("nivex-id");
        const std::string *parent = record.find("nivex-parent-id");
        ASSERT_NE(id, nullptr) << record.value;
        if (seen.empty())
            EXPECT_EQ(parent, nullptr);
        else if (parent == nullptr || seen.count(*parent) == 0)
            ADD_FAILURE() << record.value << " does not follow its parent";
        EXPECT_TRUE(seen.insert(*id).second) << "two nodes with the id " << *id;
    }
}

const char one_node[] = "node root\n    uint answer 42\nend\n";

} // namespace

TEST(TreeprobeSandboxed, WritesEveryKindOfValueByteForByte)
{
    REQUIRE_SANDBOX();
    TempDir image;
    std::string description = read_file(samples + "/every-kind.platform");
    SandboxResult r = run_checked(treeprobe_on(image, description.c_str()));
    EXPECT_EQ(r.out, read_file(samples + "/every-kind.out"));
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.status, 0);
}

TEST(TreeprobeSandboxed, SampleHostGivesItsTree)
{
    REQUIRE_SANDBOX();
    TempDir image;
    std::string description = read_file(SAMPLE_HOST_PLATFORM);
    SandboxResult r = run_checked(treeprobe_on(image, description.c_str()));
    EXPECT_EQ(r.status, 0);
    expect_tree(r.out);
}

TEST(TreeprobeSandboxed, CommandLinesLibrariesAndDescriptions)
{
    REQUIRE_SANDBOX();
    const std::string not_loaded = "Error loading lumo library: /usr/lib/liblumo.so: ";
    const std::string not_initialized = "Error in lumo_initialize: platform description /etc/lumo/";
    struct {
        const char *library;
        std::vector<std::string> args;
        const char *description;
        std::string out;
        int status;
    } cases[] = {
        {liblumo, {}, one_node, "*node: root\nnivex-id: 0x10000\nname: root\nanswer: 0x2a\n", 0},
        {liblumo, {"-V"}, one_node, "treeprobe\t1.1\n", 0},
        {nullptr, {"-V"}, one_node, "treeprobe\t1.1\n", 0},
        {nullptr, {"-x"}, one_node, error_record("Invalid command line argument", 5022, 22), 1},
        {nullptr,
         {},
         one_node,
         error_record(not_loaded + "cannot open shared object file: No such file or directory",
                      5203, 0),
         2},
        {"/opt/probes/lib/libadm.so.1",
         {},
         one_node,
         error_record(not_loaded + "undefined symbol: lumo_get_first_prop", 5203, 0),
         2},
        {liblumo,
         {},
         "node root\n  colour c \"red\"\nend\n",
         error_record(not_initialized + "platform: line 2: unknown type colour", 5203, 40),
         3},
    };
    for (auto &c : cases) {
        TempDir image;
        SandboxRun run = treeprobe_on(image, c.description, c.library);
        run.args = c.args;
        SandboxResult r = run_checked(run);
        SCOPED_TRACE(testing::PrintToString(c.args) + " " + (c.library ? c.library : "none"));
        EXPECT_EQ(r.out, c.out);
        EXPECT_EQ(r.status, c.status);
    }
    TempDir image;
    SandboxRun run = treeprobe_on(image, one_node);
    run.env.push_back("LUMO_PLATFORM=/etc/lumo/elsewhere");
    SandboxResult r = run_checked(run);
    EXPECT_EQ(r.out,
              error_record(not_initialized + "elsewhere: No such file or directory", 5203, 40));
    EXPECT_EQ(r.status, 3);
}

TEST(TreeprobeSandboxed, LostOutputIsAFailureAsRootAndAsAnOrdinaryUser)
{
    REQUIRE_SANDBOX();
    for (SandboxOutput mode : {SandboxOutput::full, SandboxOutput::closed}) {
        for (bool as_user : {false, true}) {
            TempDir image;
            SandboxRun run = treeprobe_on(image, one_node);
            run.out = mode;
            run.as_user = as_user;
            SandboxResult r = run_checked(run);
            EXPECT_EQ(r.status, 3) << "as_user " << as_user;
            EXPECT_EQ(r.err, "");
        }
    }
}

// Without a description the library serves the machine's own /sys, for
// the super-user and for an ordinary user, who may read less.
TEST(TreeprobeSandboxed, RunningHostWithoutDescriptionGivesWellFormedRecords)
{
    REQUIRE_SANDBOX();
    for (bool as_user : {false, true}) {
        SCOPED_TRACE(as_user ? "as an ordinary user" : "as the super-user");
        TempDir image;
        SandboxRun run = treeprobe_on(image, nullptr);
        run.host_binds = {"/sys"};
        run.as_user = as_user;
        SandboxResult r = run_checked(run);
        EXPECT_EQ(r.status, 0) << r.out.substr(0, 2000);
        EXPECT_EQ(r.err, "");
        expect_tree(r.out);
    }
}
