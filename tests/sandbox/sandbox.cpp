#include "sandbox.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <grp.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/wait.h>
#include <unistd.h>

namespace fs = std::filesystem;

// Between fork and exec, a failing step writes why here and ends the child.
static int report_fd = -1;

static void must(bool ok, const std::string &step)
{
    if (ok)
        return;
    std::string message = step + ": " + strerror(errno);
    (void)!write(report_fd, message.data(), message.size());
    _exit(127);
}

static void mount_fs(const char *type, const std::string &target, const std::string &options)
{
    must((mkdir(target.c_str(), 0755) == 0 || errno == EEXIST) &&
             mount(type, target.c_str(), type, MS_NOSUID, options.c_str()) == 0,
         std::string("mount ") + type + " on " + target);
}

// Makes target a read-only copy of source: a link is copied as a link,
// anything else is bound onto a mount point of its own kind.
static void place(const std::string &source, const std::string &target)
{
    struct stat st;
    std::error_code error;
    must(lstat(source.c_str(), &st) == 0, "lstat " + source);
    if (S_ISLNK(st.st_mode))
        return must(symlink(fs::read_symlink(source, error).c_str(), target.c_str()) == 0,
                    "link " + target);
    fs::create_directories(fs::path(target).parent_path(), error);
    must((S_ISDIR(st.st_mode) ? mkdir(target.c_str(), 0755)
                              : mknod(target.c_str(), S_IFREG | 0644, 0)) == 0 ||
             errno == EEXIST,
         "create " + target);
    // A user namespace may not clear the flags the host set on a mount.
    struct statvfs vfs;
    unsigned long kept =
        ST_NOSUID | ST_NODEV | ST_NOEXEC | ST_NOATIME | ST_NODIRATIME | ST_RELATIME;
    must(mount(source.c_str(), target.c_str(), nullptr, MS_BIND | MS_REC, nullptr) == 0 &&
             statvfs(target.c_str(), &vfs) == 0 &&
             mount(nullptr, target.c_str(), nullptr,
                   MS_BIND | MS_REMOUNT | MS_RDONLY | (vfs.f_flag & kept), nullptr) == 0,
         "bind " + source);
}

// The image's entries where the root has none yet; its dev joins the root's.
static void lay_entries(const std::string &from, const std::string &to)
{
    std::error_code error;
    struct stat st;
    for (const fs::directory_entry &entry : fs::directory_iterator(from, error)) {
        std::string name = entry.path().filename();
        if (name == "dev")
            lay_entries(from + "/dev", to + "/dev");
        else if (lstat((to + "/" + name).c_str(), &st) != 0)
            place(entry.path(), to + "/" + name);
    }
    errno = error.value();
    must(!error, "read " + from);
}

static void make_root(const SandboxRun &run, const std::string &root)
{
    // Without root, a user namespace where the caller alone is root.
    std::string uid = std::to_string(geteuid()), gid = std::to_string(getegid());
    if (uid != "0") {
        must(unshare(CLONE_NEWUSER) == 0, "unprivileged user namespaces are disabled here");
        for (auto [file, text] : {std::pair<std::string, std::string>{"setgroups", "deny"},
                                  {"uid_map", "0 " + uid + " 1"},
                                  {"gid_map", "0 " + gid + " 1"}})
            must(bool(std::ofstream("/proc/self/" + file) << text << std::flush), "write " + file);
    }
    must(unshare(CLONE_NEWNS) == 0, "unshare mount namespace");
    // Nothing mounted from here on may propagate back to the host.
    must(mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0, "private mounts");
    mount_fs("tmpfs", root, "mode=0755");
    // The host's folders for a dynamically linked program, the image's over them.
    for (std::string dir : {"/usr", "/lib", "/lib64", "/bin", "/sbin", "/etc"}) {
        struct stat st;
        if (lstat(dir.c_str(), &st) != 0)
            continue;
        std::string layer = run.image + dir;
        if (!S_ISLNK(st.st_mode) && !run.image.empty() && stat(layer.c_str(), &st) == 0 &&
            S_ISDIR(st.st_mode))
            mount_fs("overlay", root + dir, "lowerdir=" + layer + ":" + dir);
        else
            place(dir, root + dir);
    }
    mount_fs("tmpfs", root + "/tmp", "mode=1777");
    mount_fs("tmpfs", root + "/dev", "mode=0755");
    for (const char *path : {"/proc", "/dev/null", "/dev/zero", "/dev/full"})
        place(path, root + path);
    if (!run.image.empty())
        lay_entries(run.image, root);
    for (const std::string &path : run.host_binds)
        place(path, root + path);
    if (!run.install.empty())
        place(run.install, root + sandbox_install_dir);
    must(chdir(root.c_str()) == 0 && chroot(".") == 0 && chdir("/") == 0, "chroot");
}

static void exec_program(const SandboxRun &run)
{
    if (run.as_user)
        must(setgroups(0, nullptr) == 0 && setgid(65534) == 0 && setuid(65534) == 0,
             "switch to uid 65534 (only root can: a user namespace maps the caller alone)");
    std::vector<char *> argv{const_cast<char *>(run.program.c_str())}, envp;
    for (const std::string &arg : run.args)
        argv.push_back(const_cast<char *>(arg.c_str()));
    for (const std::string &entry : run.env)
        envp.push_back(const_cast<char *>(entry.c_str()));
    argv.push_back(nullptr);
    envp.push_back(nullptr);
    execve(run.program.c_str(), argv.data(), envp.data());
    must(false, "exec " + run.program);
}

// The body runs in a child whose report, output and errors go to unnamed
// files, read once it has ended: no pipe can fill up and block it.
static SandboxResult run_child(const SandboxRun &run, const std::function<void(std::string)> &body)
{
    SandboxResult result;
    const char *tmpdir = getenv("TMPDIR");
    std::string folder = std::string(tmpdir && *tmpdir ? tmpdir : "/tmp") + "/probe-sandbox.XXXXXX";
    int fds[3] = {-1, -1, -1};
    pid_t pid = -1;
    (void)fflush(nullptr);
    if (mkdtemp(folder.data()) != nullptr && mkdir((folder + "/root").c_str(), 0755) == 0) {
        for (int &fd : fds)
            fd = open(folder.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
        if (fds[0] >= 0 && fds[1] >= 0 && fds[2] >= 0)
            pid = fork();
    }
    if (pid < 0)
        result.setup_error = std::string("cannot start: ") + strerror(errno);
    if (pid == 0) {
        report_fd = fds[0];
        // Survives exec: a program that hangs is killed, and reported as such.
        (void)alarm(static_cast<unsigned>(run.timeout_seconds));
        const char *input = run.input.empty() ? "/dev/null" : run.input.c_str();
        must(dup2(open(input, O_RDONLY | O_CLOEXEC), 0) == 0, "open " + std::string(input));
        SandboxOutput modes[] = {run.out, run.err};
        for (int i = 0; i < 2; i++) {
            if (modes[i] == SandboxOutput::full)
                fds[i + 1] = open("/dev/full", O_WRONLY | O_CLOEXEC);
            if (modes[i] == SandboxOutput::closed)
                (void)close(i + 1);
            else if (modes[i] != SandboxOutput::inherit)
                must(dup2(fds[i + 1], i + 1) == i + 1, "redirect");
        }
        body(folder + "/root");
        exit(0);
    }
    int status = 0;
    while (pid > 0 && waitpid(pid, &status, 0) < 0 && errno == EINTR)
        ;
    std::string *texts[] = {&result.setup_error, &result.out, &result.err};
    for (int i = 0; i < 3; i++) {
        char buffer[65536];
        for (ssize_t n; (n = pread(fds[i], buffer, sizeof buffer, off_t(texts[i]->size()))) > 0;)
            texts[i]->append(buffer, size_t(n));
        (void)close(fds[i]);
    }
    if (pid > 0)
        result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    if (pid > 0 && WIFSIGNALED(status) && WTERMSIG(status) == SIGALRM)
        result.setup_error = "timed out after " + std::to_string(run.timeout_seconds) + " s";
    // The root's mounts lived only in the child's namespace.
    std::error_code error;
    fs::remove_all(folder, error);
    return result;
}

std::string sandbox_unavailable_reason()
{
    static std::string reason = run_in_sandbox({.program = "/bin/true"}).setup_error;
    return reason;
}

SandboxResult run_in_sandbox(const SandboxRun &run)
{
    return run_child(run,
                     [&](const std::string &root) { make_root(run, root), exec_program(run); });
}

SandboxResult run_natively(const SandboxRun &run)
{
    return run_child(run, [&](const std::string &) { exec_program(run); });
}

ChildOutcome in_child(const std::function<void()> &body)
{
    return run_child({}, [&](const std::string &) { body(); });
}
