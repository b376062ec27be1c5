// probe-json over record streams on its standard input and from the commands
// it runs: the JSON Lines it writes, its exit status, and the way back from
// the JSON to the stream through jq.
#include "support.h"

#include <algorithm>
#include <filesystem>

namespace
{

const std::string probe_json = stage_dir() + "/bin/probe-json";

SandboxResult piped(const std::string &input, const std::vector<std::string> &command,
                    SandboxOutput out = SandboxOutput::capture,
                    const std::vector<std::string> &more_env = {})
{
    TempDir dir;
    write_file(dir / "in", input);
    std::vector<std::string> env = {"PATH=/usr/bin:/bin", "LANG=C"};
    env.insert(env.end(), more_env.begin(), more_env.end());
    return run_natively({.program = command[0],
                         .args = {command.begin() + 1, command.end()},
                         .env = env,
                         .input = dir / "in",
                         .out = out,
                         .timeout_seconds = 20});
}

// Every line parses; valid UTF-8 in whole lines comes back byte for byte.
void expect_round_trip(const std::string &json, const std::string &stream)
{
    const char rebuild[] =
        R"(if .record then "*\(.record): \(.value)\n", (.fields[] | "\(.[0]): \(.[1])\n")
        elif .error then "*Node: nivex-error\nid: \(.error.id)\nmessage: \(.error.message)\n"
                         + "number: \(.error.number)\n"
        elif has("stray") then .stray + "\n" else empty end)";
    SandboxResult back = piped(json, {"/usr/bin/jq", "-j", rebuild});
    EXPECT_EQ(back.status, 0) << back.err << json;
    if ((stream.empty() || stream.back() == '\n') && json.find("\"lossy\"") == std::string::npos) {
        EXPECT_EQ(back.out, stream);
    }
}

} // namespace

// Each NAME.in of the streams folder gives NAME.json.
class ProbeJsonStreams : public testing::TestWithParam<std::string>
{
};

TEST_P(ProbeJsonStreams, Json)
{
    std::string input = read_file(STREAMS "/" + GetParam() + ".in");
    SandboxResult r = piped(input, {probe_json});
    EXPECT_EQ(r.out + std::to_string(r.status),
              read_file(STREAMS "/" + GetParam() + ".json") + "0");
    expect_round_trip(r.out, input);
}
INSTANTIATE_TEST_SUITE_P(, ProbeJsonStreams, testing::ValuesIn(files_in(STREAMS, ".in")), file_id);

// The cases of streams/commands.txt (tests/README.md): "$ ARG" follows
// probe-json on its command line, which reads "*node: a".
class ProbeJsonCommands : public testing::TestWithParam<TestCase>
{
};

TEST_P(ProbeJsonCommands, Run)
{
    const TestCase &c = GetParam();
    std::vector<std::string> command = c.of('$');
    command.insert(command.begin(), probe_json);
    std::string output = c.setting("output");
    SandboxResult r = piped("*node: a\n", command,
                            output == "full"     ? SandboxOutput::full
                            : output == "closed" ? SandboxOutput::closed
                                                 : SandboxOutput::capture);
    EXPECT_EQ(r.out + std::to_string(r.status), c.text('>') + c.first('?', "0"));
}
CASE_TESTS(ProbeJsonCommands, STREAMS "/commands.txt");

// Lines longer than any read.
TEST(ProbeJson, LinesLongerThanAnyRead)
{
    const std::string zeros(100000, '0');
    SandboxResult r =
        piped("", {probe_json, "sh", "-c", "printf '*node: %0100000d\\nk: v\\n%0100000d' 0 0"});
    EXPECT_EQ(r.out + std::to_string(r.status),
              "{\"record\":\"node\",\"value\":\"" + zeros +
                  "\",\"fields\":[[\"k\",\"v\"]]}\n{\"stray\":\"" + zeros + "\"}\n{\"exit\":0}\n0");
}

// Each collector found beside probe-json, its whole output in JSON that
// comes back to it, and its exit status last.
TEST(ProbeJsonSandboxed, EachCollectorOverTheSampleHost)
{
    REQUIRE_SANDBOX();
    for (const char *collector : {"treeprobe", "labelprobe", "swprobe", "hostprobe"}) {
        SandboxRun run = installed("probe-json", {collector});
        run.image = SAMPLE_HOST_IMAGE;
        run.env.push_back("TZ=UTC0");
        SandboxResult json = run_checked(run);
        run.program = std::string(sandbox_install_dir) + "/bin/" + collector;
        run.args.clear();
        SandboxResult raw = run_checked(run);
        EXPECT_TRUE(json.status == 0 && json.out.ends_with("\n{\"exit\":0}\n")) << collector;
        expect_round_trip(json.out, raw.out);
    }
}

// Values longer than the pieces a string is escaped in, shifted a byte at
// a time so an escape, a U+FFFD replacement or a UTF-8 sequence falls on
// every byte of a piece's end; a field's key as long. Each comes out whole.
TEST(ProbeJson, LongValuesEscapedWhole)
{
    const std::string pattern = "ab\xc3\xa9\"\x01\xff\\\x1f\xe2\x82\xac";
    const std::string pattern_escaped = "ab\xc3\xa9\\\"\\u0001\xef\xbf\xbd\\\\\\u001f\xe2\x82\xac";
    for (size_t shift = 0; shift < pattern.size(); shift++) {
        std::string raw(shift, 'x'), escaped(shift, 'x');
        for (size_t i = 0; i < 1000; i++) {
            raw += pattern;
            escaped += pattern_escaped;
        }
        SandboxResult r = piped("*node: " + raw + "\n" + raw + ": v\n", {probe_json});
        EXPECT_EQ(r.out + std::to_string(r.status), "{\"record\":\"node\",\"value\":\"" + escaped +
                                                        "\",\"fields\":[[\"" + escaped +
                                                        "\",\"v\"]],\"lossy\":true}\n0")
            << shift;
    }
}

// The command's output cut by a failed read, after N bytes: what came before
// is converted, the command's status follows, and a command that succeeded
// ends in probe-json's own failure status, for its stream is not whole.
TEST(ProbeJson, FailedReadOfTheCommandsOutput)
{
    const std::string stream = "*node: a\nk: v\n*node: b\nk2: w\n";
    struct {
        std::string bytes, command, out; // out with ' for "
        int status;
    } cases[] = {
        // Cut inside a field line: its start is a stray line, not a field.
        {"12", "cat", "{'record':'node','value':'a','fields':[]}\n{'stray':'k: '}\n{'exit':0}\n",
         125},
        {"28", "cat",
         "{'record':'node','value':'a','fields':[['k','v']]}\n"
         "{'record':'node','value':'b','fields':[]}\n{'stray':'k2: w'}\n{'exit':0}\n",
         125},
        // A command that failed keeps its own status.
        {"9", "cat; exit 3", "{'record':'node','value':'a','fields':[]}\n{'exit':3}\n", 3},
    };
    for (auto &c : cases) {
        std::replace(c.out.begin(), c.out.end(), '\'', '"');
        SandboxResult r = piped(stream, {probe_json, "sh", "-c", c.command}, SandboxOutput::capture,
                                {"LD_PRELOAD=" PIPE_READ_FAILS, "PIPE_READ_FAILS_AFTER=" + c.bytes,
                                 // A sanitizer build's runtime would refuse to come second.
                                 "ASAN_OPTIONS=verify_asan_link_order=0"});
        EXPECT_EQ(r.out + std::to_string(r.status), c.out + std::to_string(c.status)) << c.bytes;
    }
}
