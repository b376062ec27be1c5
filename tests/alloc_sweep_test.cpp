// Each collector over the sample host with one allocation failed at a time:
// the first, then the second, and so on until a run makes fewer calls than
// the one to fail. Running out of memory may end a run any way but two: a
// run that ends with 0 and prints other output than the clean run without
// an error record in it has lost data silently, and a run that never ends
// leaves its parent waiting. The shim replaces the C library's allocator,
// which a sanitizer's allocator cannot share, so the sweep runs in the plain
// build only.
#include "support.h"

#include <algorithm>

namespace
{

SandboxRun sweep_run(const std::string &collector, unsigned long fail_at)
{
    SandboxRun run = installed(collector);
    run.image = SAMPLE_HOST_IMAGE;
    run.host_binds.push_back(FAIL_ALLOC_SHIM);
    // The parent's environment is plain: the shim's variables are all the
    // sweep adds to it.
    run.env.push_back("LD_PRELOAD=" FAIL_ALLOC_SHIM);
    run.env.push_back("FAIL_ALLOC_AT=" + std::to_string(fail_at));
    run.env.push_back("TZ=UTC0");
    run.timeout_seconds = 20;
    return run;
}

// The calls the shim saw, or 0 when the program did not exit normally.
unsigned long reported_calls(const std::string &err)
{
    static const std::string mark = "fail-alloc: ";
    size_t at = err.rfind(mark);
    return at == err.npos ? 0 : std::stoul(err.substr(at + mark.size()));
}

bool has_error_record(const std::string &out)
{
    const std::vector<Record> records = parse_records(out).records;
    return std::any_of(records.begin(), records.end(),
                       [](const Record &record) { return record.is_error(); });
}

void sweep(const std::string &collector)
{
    REQUIRE_SANDBOX();
    SandboxResult clean = run_checked(sweep_run(collector, 0));
    unsigned long clean_calls = reported_calls(clean.err);
    ASSERT_EQ(clean.status, 0) << clean.out << clean.err;
    // A shim that did not load would make every run pass.
    ASSERT_GT(clean_calls, 0u) << "the shim did not report: " << clean.err;

    std::vector<std::string> faults;
    unsigned long fail_at = 1;
    // A run that ends without its report (on a signal, or by _exit) does
    // not end the sweep; the bound only keeps a miscounting run from
    // making it endless.
    for (; fail_at <= 4 * clean_calls + 100; fail_at++) {
        SandboxResult run = run_in_sandbox(sweep_run(collector, fail_at));
        std::string at = "allocation " + std::to_string(fail_at) + " failed: ";
        if (!run.setup_error.empty())
            faults.push_back(at + run.setup_error);
        else if (run.status == 0 && run.out != clean.out && !has_error_record(run.out))
            faults.push_back(at + "exit 0, output differs, no error record");
        unsigned long calls = reported_calls(run.err);
        if (calls != 0 && calls < fail_at)
            break;
    }
    std::string listed;
    for (size_t i = 0; i < faults.size() && i < 12; i++)
        listed += "\n  " + faults[i];
    EXPECT_TRUE(faults.empty()) << collector << ": " << faults.size() << " of " << fail_at - 1
                                << " runs" << listed;
    EXPECT_GT(fail_at, clean_calls) << collector << ": the sweep ended early";
}

} // namespace

TEST(AllocationSweep, Hostprobe)
{
    sweep("hostprobe");
}

TEST(AllocationSweep, Treeprobe)
{
    sweep("treeprobe");
}

TEST(AllocationSweep, Labelprobe)
{
    sweep("labelprobe");
}

TEST(AllocationSweep, Swprobe)
{
    sweep("swprobe");
}
