#include "sandbox.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <fcntl.h>
#include <ftw.h>
#include <grp.h>
#include <poll.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace
{

// The host directories a dynamically linked program needs; each is bound
// read-only, or, where the image has the same folder, overlaid by it.
constexpr const char *system_dirs[] = {"usr", "lib", "lib64", "bin", "sbin", "etc"};

constexpr uid_t nobody = 65534;

bool is_system_dir(const std::string &name)
{
    for (const char *dir : system_dirs)
        if (name == dir)
            return true;
    return false;
}

// Everything below runs in the forked child, between unshare and exec. A
// failing step reports itself through the report pipe and ends the child.
[[noreturn]] void fail(int report_fd, const std::string &step)
{
    std::string message = step + ": " + strerror(errno);
    (void)!write(report_fd, message.data(), message.size());
    _exit(127);
}

void must(bool ok, int report_fd, const std::string &step)
{
    if (!ok)
        fail(report_fd, step);
}

void make_dirs(const std::string &path, int report_fd)
{
    for (size_t slash = path.find('/', 1);; slash = path.find('/', slash + 1)) {
        std::string prefix = path.substr(0, slash);
        must(mkdir(prefix.c_str(), 0755) == 0 || errno == EEXIST, report_fd, "mkdir " + prefix);
        if (slash == std::string::npos)
            break;
    }
}

void bind_read_only(const std::string &source, const std::string &target, int report_fd)
{
    must(mount(source.c_str(), target.c_str(), nullptr, MS_BIND | MS_REC, nullptr) == 0, report_fd,
         "bind " + source);
    must(mount(nullptr, target.c_str(), nullptr, MS_BIND | MS_REMOUNT | MS_RDONLY, nullptr) == 0,
         report_fd, "remount read-only " + target);
}

// Makes target a read-only copy of source in the sandbox: a link is copied
// as a link, anything else is bound onto a mount point of its own kind.
void place(const std::string &source, const std::string &target, int report_fd)
{
    struct stat st;
    must(lstat(source.c_str(), &st) == 0, report_fd, "lstat " + source);
    if (S_ISLNK(st.st_mode)) {
        char text[4096];
        ssize_t n = readlink(source.c_str(), text, sizeof text - 1);
        must(n >= 0, report_fd, "readlink " + source);
        text[n] = '\0';
        must(symlink(text, target.c_str()) == 0, report_fd, "symlink " + target);
        return;
    }
    if (S_ISDIR(st.st_mode)) {
        must(mkdir(target.c_str(), 0755) == 0 || errno == EEXIST, report_fd, "mkdir " + target);
    } else {
        int fd = open(target.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
        must(fd >= 0, report_fd, "create " + target);
        (void)close(fd);
    }
    bind_read_only(source, target, report_fd);
}

void lay_system_dirs(const SandboxRun &run, const std::string &root, int report_fd)
{
    for (const char *dir : system_dirs) {
        std::string host = std::string("/") + dir;
        std::string target = root + host;
        struct stat st;
        if (lstat(host.c_str(), &st) != 0)
            continue;
        if (S_ISLNK(st.st_mode)) {
            place(host, target, report_fd);
            continue;
        }
        must(mkdir(target.c_str(), 0755) == 0, report_fd, "mkdir " + target);
        std::string layer = run.image.empty() ? "" : run.image + host;
        struct stat layer_st;
        if (!layer.empty() && stat(layer.c_str(), &layer_st) == 0 && S_ISDIR(layer_st.st_mode)) {
            std::string options = "lowerdir=" + layer + ":" + host;
            must(mount("overlay", target.c_str(), "overlay", MS_RDONLY, options.c_str()) == 0,
                 report_fd, "overlay " + layer + " on " + host);
        } else {
            bind_read_only(host, target, report_fd);
        }
    }
}

void lay_dev(const std::string &root, int report_fd)
{
    std::string dev = root + "/dev";
    must(mkdir(dev.c_str(), 0755) == 0, report_fd, "mkdir " + dev);
    must(mount("tmpfs", dev.c_str(), "tmpfs", MS_NOSUID, "mode=0755") == 0, report_fd,
         "mount tmpfs on /dev");
    for (const char *node : {"null", "zero", "full"})
        place(std::string("/dev/") + node, dev + "/" + node, report_fd);
}

void lay_image(const std::string &image, const std::string &root, int report_fd)
{
    DIR *dir = opendir(image.c_str());
    must(dir != nullptr, report_fd, "opendir " + image);
    while (struct dirent *entry = readdir(dir)) {
        std::string name = entry->d_name;
        if (name == "." || name == ".." || is_system_dir(name))
            continue;
        if (name == "dev") {
            DIR *devdir = opendir((image + "/dev").c_str());
            must(devdir != nullptr, report_fd, "opendir " + image + "/dev");
            while (struct dirent *node = readdir(devdir)) {
                std::string node_name = node->d_name;
                if (node_name != "." && node_name != "..")
                    place(image + "/dev/" + node_name, root + "/dev/" + node_name, report_fd);
            }
            (void)closedir(devdir);
            continue;
        }
        place(image + "/" + name, root + "/" + name, report_fd);
    }
    (void)closedir(dir);
}

void redirect(SandboxOutput mode, int pipe_fd, int target_fd, int report_fd)
{
    switch (mode) {
    case SandboxOutput::capture:
        must(dup2(pipe_fd, target_fd) == target_fd, report_fd, "dup2");
        break;
    case SandboxOutput::inherit:
        break;
    case SandboxOutput::full: {
        int fd = open("/dev/full", O_WRONLY);
        must(fd >= 0 && dup2(fd, target_fd) == target_fd, report_fd, "open /dev/full");
        (void)close(fd);
        break;
    }
    case SandboxOutput::closed:
        (void)close(target_fd);
        break;
    }
}

std::vector<char *> c_strings(const std::vector<std::string> &strings)
{
    std::vector<char *> result;
    for (const std::string &s : strings)
        result.push_back(const_cast<char *>(s.c_str()));
    result.push_back(nullptr);
    return result;
}

[[noreturn]] void start_child(const SandboxRun &run, const std::string *root, int report_fd,
                              int out_fd, int err_fd)
{
    int null_fd = open("/dev/null", O_RDONLY);
    must(null_fd >= 0 && dup2(null_fd, STDIN_FILENO) == STDIN_FILENO, report_fd, "stdin");

    if (root != nullptr) {
        must(unshare(CLONE_NEWNS) == 0, report_fd, "unshare mount namespace");
        // Nothing mounted from here on may propagate back to the host.
        must(mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0, report_fd,
             "make mounts private");
        must(mount("tmpfs", root->c_str(), "tmpfs", 0, "mode=0755") == 0, report_fd,
             "mount tmpfs root");
        lay_system_dirs(run, *root, report_fd);
        std::string proc = *root + "/proc";
        must(mkdir(proc.c_str(), 0555) == 0, report_fd, "mkdir /proc");
        must(mount("proc", proc.c_str(), "proc", MS_NOSUID | MS_NODEV | MS_NOEXEC, nullptr) == 0,
             report_fd, "mount /proc");
        std::string tmp = *root + "/tmp";
        must(mkdir(tmp.c_str(), 01777) == 0, report_fd, "mkdir /tmp");
        must(mount("tmpfs", tmp.c_str(), "tmpfs", MS_NOSUID | MS_NODEV, "mode=1777") == 0,
             report_fd, "mount /tmp");
        lay_dev(*root, report_fd);
        if (!run.image.empty())
            lay_image(run.image, *root, report_fd);
        for (const std::string &path : run.host_binds) {
            make_dirs(*root + path, report_fd);
            bind_read_only(path, *root + path, report_fd);
        }
        if (!run.install.empty()) {
            std::string target = *root + sandbox_install_dir;
            make_dirs(target, report_fd);
            bind_read_only(run.install, target, report_fd);
        }
    }

    redirect(run.out, out_fd, STDOUT_FILENO, report_fd);
    redirect(run.err, err_fd, STDERR_FILENO, report_fd);

    if (root != nullptr) {
        must(chdir(root->c_str()) == 0 && chroot(".") == 0 && chdir("/") == 0, report_fd, "chroot");
    }
    if (run.as_user) {
        must(setgroups(0, nullptr) == 0 && setgid(nobody) == 0 && setuid(nobody) == 0, report_fd,
             "switch to uid 65534");
    }

    std::vector<std::string> argv_strings{run.program};
    argv_strings.insert(argv_strings.end(), run.args.begin(), run.args.end());
    std::vector<char *> argv = c_strings(argv_strings);
    std::vector<char *> envp = c_strings(run.env);
    execve(run.program.c_str(), argv.data(), envp.data());
    fail(report_fd, "exec " + run.program);
}

void read_all(int fd, std::string &into)
{
    char buffer[65536];
    for (;;) {
        ssize_t n = read(fd, buffer, sizeof buffer);
        if (n > 0)
            into.append(buffer, static_cast<size_t>(n));
        else if (n == 0 || errno != EINTR)
            return;
    }
}

int remove_entry(const char *path, const struct stat *, int, struct FTW *)
{
    (void)remove(path);
    return 0;
}

// Runs the child and collects what it writes. With root set the child gets
// its own mount namespace and that root; otherwise it runs on the host.
SandboxResult run_child(const SandboxRun &run, const std::string *root)
{
    SandboxResult result;
    int report[2], out[2] = {-1, -1}, err[2] = {-1, -1};
    if (pipe2(report, O_CLOEXEC) != 0 ||
        (run.out == SandboxOutput::capture && pipe2(out, O_CLOEXEC) != 0) ||
        (run.err == SandboxOutput::capture && pipe2(err, O_CLOEXEC) != 0)) {
        result.setup_error = std::string("pipe: ") + strerror(errno);
        return result;
    }

    pid_t pid = fork();
    if (pid == 0)
        start_child(run, root, report[1], out[1], err[1]);
    for (int fd : {report[1], out[1], err[1]})
        if (fd >= 0)
            (void)close(fd);
    if (pid < 0) {
        result.setup_error = std::string("fork: ") + strerror(errno);
        return result;
    }

    read_all(report[0], result.setup_error);
    (void)close(report[0]);

    struct pollfd fds[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
    std::string *sinks[2] = {&result.out, &result.err};
    time_t deadline = time(nullptr) + run.timeout_seconds;
    bool timed_out = false;
    while (fds[0].fd >= 0 || fds[1].fd >= 0) {
        int left = static_cast<int>(deadline - time(nullptr));
        if (left <= 0) {
            timed_out = true;
            (void)kill(pid, SIGKILL);
            break;
        }
        if (poll(fds, 2, left * 1000) < 0 && errno != EINTR)
            break;
        for (int i = 0; i < 2; i++) {
            if (fds[i].fd < 0 || fds[i].revents == 0)
                continue;
            char buffer[65536];
            ssize_t n = read(fds[i].fd, buffer, sizeof buffer);
            if (n > 0) {
                sinks[i]->append(buffer, static_cast<size_t>(n));
            } else if (n == 0 || errno != EINTR) {
                (void)close(fds[i].fd);
                fds[i].fd = -1;
            }
        }
    }
    for (const struct pollfd &p : fds)
        if (p.fd >= 0)
            (void)close(p.fd);

    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR)
        ;
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    if (timed_out)
        result.setup_error = "timed out after " + std::to_string(run.timeout_seconds) + " s";
    return result;
}

} // namespace

std::string sandbox_unavailable_reason()
{
    static std::string reason = [] {
        if (geteuid() != 0)
            return std::string("the sandbox needs root (mount namespace, chroot, uid switch)");
        pid_t pid = fork();
        if (pid == 0)
            _exit(unshare(CLONE_NEWNS) == 0 &&
                          mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0
                      ? 0
                      : 1);
        int status = 0;
        if (pid < 0 || waitpid(pid, &status, 0) < 0 || !WIFEXITED(status) ||
            WEXITSTATUS(status) != 0)
            return std::string("this machine refuses a private mount namespace");
        return std::string();
    }();
    return reason;
}

SandboxResult run_in_sandbox(const SandboxRun &run)
{
    const char *tmpdir = getenv("TMPDIR");
    std::string pattern =
        std::string(tmpdir && *tmpdir ? tmpdir : "/tmp") + "/probe-sandbox.XXXXXX";
    std::vector<char> name(pattern.begin(), pattern.end());
    name.push_back('\0');
    if (mkdtemp(name.data()) == nullptr) {
        SandboxResult result;
        result.setup_error = std::string("mkdtemp: ") + strerror(errno);
        return result;
    }
    std::string folder = name.data();
    std::string root = folder + "/root";
    SandboxResult result;
    if (mkdir(root.c_str(), 0755) != 0)
        result.setup_error = std::string("mkdir root: ") + strerror(errno);
    else
        result = run_child(run, &root);
    // The root's mounts lived only in the child's namespace: what is left
    // here is the empty folders, on this file system alone.
    (void)nftw(folder.c_str(), remove_entry, 16, FTW_DEPTH | FTW_PHYS | FTW_MOUNT);
    return result;
}

SandboxResult run_natively(const SandboxRun &run)
{
    return run_child(run, nullptr);
}
