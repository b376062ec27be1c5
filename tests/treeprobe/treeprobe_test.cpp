// The installed treeprobe in the sandbox, as the parent collector runs it,
// in a zone half an hour off UTC, so a time written in UTC shows.
#include "support.h"

#include <set>
#include <sstream>

// The description's first comment lines "# KEY: VALUE" may set the run up:
// library (a path, or none), args (a word each), env (KEY=VALUE), output
// (full or closed), as (user), and description: SAMPLE (the sample host's),
// none (this machine's /sys) or what to make in place of the file, as
// make_tree takes it after the path: "|", ">TARGET", "/" or "#SIZE".
static SandboxRun treeprobe_on(const TempDir &image, const std::string &description)
{
    SandboxRun run = installed("treeprobe");
    run.image = image.path();
    run.env.push_back("TZ=HALF+3:30");
    run.timeout_seconds = 10;
    std::string library = "/opt/probes/lib/liblumo.so", line, kind = "=" + description;
    std::istringstream lines(description);
    while (std::getline(lines, line) && line.rfind("# ", 0) == 0 && line.find(": ") != line.npos) {
        std::string key = line.substr(2, line.find(": ") - 2), value = line.substr(key.size() + 4);
        if (key == "args" || key == "env")
            (key == "args" ? run.args : run.env).push_back(value);
        if (key == "output")
            run.out = value == "full" ? SandboxOutput::full : SandboxOutput::closed;
        run.as_user = run.as_user || key == "as";
        library = key == "library" ? value : library;
        if (key == "description")
            kind = value == "SAMPLE" ? "=" + read_file(SAMPLE_HOST_PLATFORM) : value;
    }
    if (library != "none")
        make_link(image / "usr/lib/liblumo.so", library);
    if (kind == "none")
        run.host_binds = {"/sys"};
    else
        make_tree(image.path(), {"etc/lumo/platform" + kind});
    return run;
}

// Node records, the first without a parent and every other after its
// parent's, none with a key twice, are written as "(a well-formed tree)";
// any other output as it is. A running host's values must also be one
// line each: every line a header or KEY ": " VALUE.
static std::string checked_tree(const std::string &out, bool one_line)
{
    std::istringstream lines(out);
    for (std::string line; one_line && std::getline(lines, line);)
        if (line.empty() || line.starts_with(", ") ||
            (line[0] != '*' && line.find(": ") == std::string::npos))
            return out;
    ParsedOutput parsed = parse_records(out);
    std::set<std::string> seen;
    for (const Record &record : parsed.records) {
        const std::string *id = record.find("nivex-id"), *parent = record.find("nivex-parent-id");
        std::set<std::string> keys;
        for (const auto &line : record.lines)
            if (!keys.insert(line.first).second)
                return out;
        if (record.key != "node" || id == nullptr || !seen.insert(*id).second ||
            (parent == nullptr ? seen.size() != 1 : seen.count(*parent) == 0))
            return out;
    }
    return parsed.problems.empty() && !seen.empty() ? "(a well-formed tree)\n" : out;
}

// Each samples/*.case is a description, a line "----", then the output (or
// "(a well-formed tree)"), "(standard error)" and what it holds if anything,
// and the exit status it gives.
class TreeprobeSandboxed : public testing::TestWithParam<std::string>
{
};

TEST_P(TreeprobeSandboxed, Sample)
{
    REQUIRE_SANDBOX();
    std::string text = read_file(TREEPROBE_SAMPLES "/" + GetParam() + ".case");
    size_t split = text.find("\n----\n");
    ASSERT_NE(split, std::string::npos) << "no line \"----\"";
    TempDir image;
    SandboxRun run = treeprobe_on(image, text.substr(0, split + 1));
    if (!within_reach(run, GetParam()))
        return;
    SandboxResult r = run_checked(run);
    bool any_tree = text.find("\n----\n(a well-formed tree)\n") == split;
    std::string err = r.err.empty() ? "" : "(standard error)\n" + r.err;
    std::string status = "(exit status " + std::to_string(r.status) + ")\n";
    bool one_line = GetParam().starts_with("running-host");
    EXPECT_EQ((any_tree ? checked_tree(r.out, one_line) : r.out) + err + status,
              text.substr(split + 6));
}
INSTANTIATE_TEST_SUITE_P(, TreeprobeSandboxed,
                         testing::ValuesIn(files_in(TREEPROBE_SAMPLES, ".case")), file_id);
