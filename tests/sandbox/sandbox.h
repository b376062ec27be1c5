// Runs an installed collector as the parent collector would, but in a
// private mount namespace chrooted into a throwaway root, so its fixed paths
// come from a host-image folder (laid out like a root file system) instead
// of the real machine. Without root, it first makes a user namespace.
#ifndef PROBES_TESTS_SANDBOX_H
#define PROBES_TESTS_SANDBOX_H

#include <functional>
#include <string>
#include <vector>

inline constexpr const char sandbox_install_dir[] = "/opt/probes";

// capture: into the result; inherit: the caller's descriptor; full:
// /dev/full, where every write fails; closed: closed before exec.
enum class SandboxOutput { capture, inherit, full, closed };

struct SandboxRun {
    std::string program{};                 // path inside the sandbox
    std::vector<std::string> args{};       // argv[1] onwards
    std::string image{};                   // host-image folder laid on top, or empty
    std::string install{};                 // install tree, bound at sandbox_install_dir
    std::vector<std::string> env{};        // the whole environment, KEY=VALUE
    std::vector<std::string> host_binds{}; // host paths bound read-only at the same place
    std::string input{};                   // host file on standard input, else /dev/null
    bool as_user = false;                  // run as uid/gid 65534 instead of root
    SandboxOutput out = SandboxOutput::capture;
    SandboxOutput err = SandboxOutput::capture;
    int timeout_seconds = 600;
};

struct SandboxResult {
    std::string out, err;
    int status = -1;         // exit status, or 128 + signal number
    std::string setup_error; // set when the sandbox could not be made
};

std::string sandbox_unavailable_reason(); // empty where sandboxes can be made
SandboxResult run_in_sandbox(const SandboxRun &run);
SandboxResult run_natively(const SandboxRun &run); // no namespace, chroot or image

// What a body run in a forked child wrote and how the child ended; a body
// that returns ends with exit(0).
using ChildOutcome = SandboxResult;
ChildOutcome in_child(const std::function<void()> &body);
#endif
