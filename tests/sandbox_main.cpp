// probe-sandbox: runs one installed collector over a host-image folder, the
// way the end-to-end tests do, with its output passed straight through.
#include "sandbox.h"

#include <cstdio>

int main(int argc, char *argv[])
{
    SandboxRun run{.install = PROBES_STAGE_DIR, .env = {"PATH=/usr/bin:/bin"}};
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
