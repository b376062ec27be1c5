// The tests' record checker: what it takes for well-formed output is what
// the other tests accept from the collectors, so it must refuse every
// departure from the format.
#include "support.h"

TEST(RecordChecker, RefusesEveryDepartureFromTheFormat)
{
    const std::string node = "*node: n\nname: n\n";
    struct {
        std::string text;
        size_t records;
        std::vector<std::string> problems;
    } cases[] = {
        {node + error_record("m", 5203, -1) + node, 3, {}},
        {"*node: t\nboot-time: Tue\n\n, 1\n", 1, {}},
        {error_record("m", 5203, 0) + "extra: line\n", 1, {"malformed error record"}},
        {error_record("m", 5203, 0) + "number: 0\n", 1, {"malformed error record"}},
        {"*Node: nivex-error\nid: 5203\nmessage: m\n", 1, {"malformed error record"}},
        {"*Node: nivex-error\nmessage: m\nid: 5203\nnumber: 0\n", 1, {"malformed error record"}},
        {"*Node: nivex-error\nid: 52x3\nmessage: m\nnumber: 0\n", 1, {"malformed error record"}},
        {"*Node: nivex-error\nid: 1\nmessage: m\nnumber: 2147483648\n",
         1,
         {"malformed error record"}},
        {"before: any record\n" + node + "name: cut",
         1,
         {"stray line: before: any record", "stray line: name: cut"}},
    };
    for (auto &c : cases) {
        ParsedOutput parsed = parse_records(c.text);
        EXPECT_EQ(parsed.records.size(), c.records) << c.text;
        EXPECT_EQ(parsed.problems, c.problems) << c.text;
    }
    ParsedOutput timestamp = parse_records(cases[1].text);
    ASSERT_EQ(timestamp.records.size(), 1u);
    EXPECT_EQ(*timestamp.records[0].find("boot-time"), "Tue\n\n, 1");
}
