// probe-sandbox: runs one installed collector over a host-image folder, the
// way the end-to-end tests do, with its output passed straight through.
#include "sandbox.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

static void usage()
{
    (void)fprintf(
        stderr,
        "usage: probe-sandbox [--image DIR] [--install DIR] [--user] [--bind PATH]...\n"
        "                     [--env KEY=VALUE]... [--stdout full|closed] PROGRAM [ARG]...\n"
        "PROGRAM without a slash is taken from the install tree's bin folder.\n");
    exit(2);
}

int main(int argc, char *argv[])
{
    SandboxRun run;
    run.install = PROBES_STAGE_DIR;
    run.out = SandboxOutput::inherit;
    run.err = SandboxOutput::inherit;
    run.env = {"PATH=/usr/bin:/bin"};
    int i = 1;
    for (; i < argc && argv[i][0] == '-'; i++) {
        std::string option = argv[i];
        bool has_value = i + 1 < argc;
        if (option == "--user")
            run.as_user = true;
        else if (option == "--image" && has_value)
            run.image = argv[++i];
        else if (option == "--install" && has_value)
            run.install = argv[++i];
        else if (option == "--bind" && has_value)
            run.host_binds.push_back(argv[++i]);
        else if (option == "--env" && has_value)
            run.env.push_back(argv[++i]);
        else if (option == "--stdout" && has_value && strcmp(argv[i + 1], "full") == 0)
            run.out = SandboxOutput::full, i++;
        else if (option == "--stdout" && has_value && strcmp(argv[i + 1], "closed") == 0)
            run.out = SandboxOutput::closed, i++;
        else
            usage();
    }
    if (i >= argc)
        usage();
    run.program = argv[i];
    if (run.program.find('/') == std::string::npos)
        run.program = std::string(sandbox_install_dir) + "/bin/" + run.program;
    run.args.assign(argv + i + 1, argv + argc);

    std::string why_not = sandbox_unavailable_reason();
    if (!why_not.empty()) {
        (void)fprintf(stderr, "probe-sandbox: %s\n", why_not.c_str());
        return 125;
    }
    SandboxResult result = run_in_sandbox(run);
    if (!result.setup_error.empty()) {
        (void)fprintf(stderr, "probe-sandbox: %s\n", result.setup_error.c_str());
        return 125;
    }
    return result.status;
}
