// probe-sandbox: runs one installed collector over a host-image folder, the
// way the end-to-end tests do, with its output passed straight through.
#include "sandbox.h"

#include <climits>
#include <cstdio>
#include <sys/stat.h>
#include <unistd.h>

// Installed beside the collectors, it runs the install tree it is part of;
// run from the build tree, the staged install.
static std::string default_install_tree()
{
    char self[PATH_MAX];
    ssize_t length = readlink("/proc/self/exe", self, sizeof self);
    if (length <= 0 || static_cast<size_t>(length) == sizeof self)
        return PROBES_STAGE_DIR;
    std::string bin(self, static_cast<size_t>(length));
    bin.resize(bin.rfind('/'));
    struct stat program;
    if (bin.empty() || stat((bin + "/hostprobe").c_str(), &program) != 0 ||
        !S_ISREG(program.st_mode))
        return PROBES_STAGE_DIR;
    std::string prefix = bin.substr(0, bin.rfind('/'));
    return prefix.empty() ? "/" : prefix;
}

int main(int argc, char *argv[])
{
    SandboxRun run{.install = default_install_tree(), .env = {"PATH=/usr/bin:/bin"}};
    run.out = run.err = SandboxOutput::inherit;
    int i = 1;
    for (std::string option; i + 1 < argc && (option = argv[i])[0] == '-'; i++) {
        std::string value = argv[i + 1];
        if (option == "--user")
            run.as_user = true;
        else if (option == "--image" || option == "--install")
            (option == "--image" ? run.image : run.install) = argv[++i];
        else if (option == "--bind" || option == "--env")
            (option == "--bind" ? run.host_binds : run.env).push_back(argv[++i]);
        else if (option == "--stdout" && (value == "full" || value == "closed"))
            run.out = argv[++i][0] == 'f' ? SandboxOutput::full : SandboxOutput::closed;
        else
            break;
    }
    if (i >= argc || argv[i][0] == '-') {
        (void)fputs("usage: probe-sandbox [--image DIR] [--install DIR] [--user] [--bind PATH]..."
                    " [--env KEY=VALUE]... [--stdout full|closed] PROGRAM [ARG]...\n",
                    stderr);
        return 2;
    }
    run.program = argv[i];
    if (run.program.find('/') == std::string::npos)
        run.program = std::string(sandbox_install_dir) + "/bin/" + run.program;
    run.args.assign(argv + i + 1, argv + argc);
    SandboxResult result = run_in_sandbox(run);
    if (!result.setup_error.empty())
        (void)fprintf(stderr, "probe-sandbox: %s\n", result.setup_error.c_str());
    return result.setup_error.empty() ? result.status : 125;
}
