// hostprobe's own code over sysconf answers of the test's choosing.
#include "support.h"

#include <fcntl.h>
#include <unistd.h>

int hostprobe_main(int argc, char *argv[]);
static std::map<int, long> answers;

extern "C" long answer_sysconf(int name) noexcept
{
    return answers.at(name);
}

TEST(Hostprobe, WritesWhatSysconfAnswersAndMinusOneForWhatItCannot)
{
    struct {
        long configured, online, page_size, pages;
        const char *device;   // standard output's, or nullptr for the captured one
        std::string expected; // the output, then the exit status
    } cases[] = {
        {8, 3, 4096, 1000, nullptr,
         "*node: sysconf\n_SC_NPROCESSORS_CONF: 8\n_SC_NPROCESSORS_ONLN: 3\n"
         "_SC_PAGESIZE: 4096\n_SC_PHYS_PAGES: 1000\n0"},
        {-1, 2, 65536, -1, nullptr,
         "*node: sysconf\n_SC_NPROCESSORS_CONF: -1\n_SC_NPROCESSORS_ONLN: 2\n"
         "_SC_PAGESIZE: 65536\n_SC_PHYS_PAGES: -1\n0"},
        {1, 1, 1, 1, "/dev/full", "1"},
    };
    for (auto &c : cases) {
        answers = {{_SC_NPROCESSORS_CONF, c.configured},
                   {_SC_NPROCESSORS_ONLN, c.online},
                   {_SC_PAGESIZE, c.page_size},
                   {_SC_PHYS_PAGES, c.pages}};
        ChildOutcome o = in_child([&] {
            if (c.device != nullptr)
                (void)dup2(open(c.device, O_WRONLY), STDOUT_FILENO);
            char arg0[] = "hostprobe", *argv[] = {arg0, nullptr};
            exit(hostprobe_main(1, argv));
        });
        EXPECT_EQ(o.out + o.err + std::to_string(o.status), c.expected);
    }
}
