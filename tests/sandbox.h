// Runs an installed collector the way the parent collector would, but inside
// a private mount namespace chrooted into a throwaway root, so its fixed
// paths (/usr/lib, /dev/rdsk, /devices, /var/sadm/pkg) come from a
// host-image folder instead of the real machine.
#ifndef PROBES_TESTS_SANDBOX_H
#define PROBES_TESTS_SANDBOX_H

#include <string>
#include <vector>

// Where the install tree appears inside the sandbox.
inline constexpr const char sandbox_install_dir[] = "/opt/probes";

enum class SandboxOutput {
    capture, // read into the result
    inherit, // the caller's own descriptor
    full,    // /dev/full: every write fails with ENOSPC
    closed,  // descriptor closed before exec
};

struct SandboxRun {
    std::string program;                 // path inside the sandbox
    std::vector<std::string> args;       // argv[1] onwards
    std::string image;                   // host-image folder laid on top, or empty
    std::string install;                 // install tree, bound at sandbox_install_dir
    std::vector<std::string> env;        // the whole environment, KEY=VALUE
    std::vector<std::string> host_binds; // host paths bound read-only at the same place
    bool as_user = false;                // run as uid/gid 65534 instead of root
    SandboxOutput out = SandboxOutput::capture;
    SandboxOutput err = SandboxOutput::capture;
    int timeout_seconds = 600;
};

struct SandboxResult {
    std::string out;
    std::string err;
    int status = -1;         // exit status, or 128 + signal number
    std::string setup_error; // set when the sandbox could not be made
};

// Empty when sandboxes can be made here, else why not.
std::string sandbox_unavailable_reason();

SandboxResult run_in_sandbox(const SandboxRun &run);

// The same run on the host itself: no namespace, no chroot, no image.
SandboxResult run_natively(const SandboxRun &run);

#endif
