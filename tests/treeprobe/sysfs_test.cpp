// The host scanner over fake sysfs folder trees: what becomes a node and a
// property, what is left out, when files are read and how long a read may
// take.
#include "failing_new.h"
#include "support.h"
#include "sysfs.h"

#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <new>
#include <sched.h>
#include <sstream>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/utsname.h>
#include <sys/wait.h>
#include <unistd.h>

namespace
{

// Runs in the reading process, which must hold nothing open but /dev/null,
// its socket and the folder of the file it reads; a file named "...-stuck"
// hangs there as a driver's read can.
void reader_hook(const char *path)
{
    struct stat null, folder, held;
    std::string parent(path, strrchr(path, '/'));
    if (stat("/dev/null", &null) != 0 || stat(parent.c_str(), &folder) != 0)
        _exit(1);
    for (int fd = 0; fd < 3; fd++)
        if (fstat(fd, &held) != 0 || held.st_rdev != null.st_rdev)
            _exit(1);
    for (int fd = 4; fd < 256; fd++)
        if (fcntl(fd, F_GETFD) != -1 &&
            (fd != 4 || fstat(fd, &held) != 0 || held.st_ino != folder.st_ino ||
             held.st_dev != folder.st_dev))
            _exit(1);
    while (strstr(path, "-stuck") != nullptr)
        (void)pause();
}
const auto hooked = lumo::before_attribute_read = reader_hook;

// A string without its NUL, "28" for a value that answers 28, "6:[A][B]"
// for a table of rows A and B, else the type and the bytes in hexadecimal;
// a long one as its first byte and its length.
std::string value(lumo::Tree &tree, uint64_t prop)
{
    tree.complete(prop);
    const lumo::Object &object = *tree.find(prop);
    if (int32_t code = tree.fault(prop, object, lumo::op_value); code != 0)
        return std::to_string(code);
    std::string text(reinterpret_cast<const char *>(tree.value(object)), object.value_length);
    uint64_t cell;
    if (object.type == 6 && text.size() == sizeof cell) {
        memcpy(&cell, text.data(), sizeof cell);
        for (text = "6:", cell = tree.find(cell)->first; cell != 0; cell = tree.find(cell)->down)
            text += "[" + value(tree, cell) + "]";
    } else if (object.type == 9 && text.ends_with('\0')) {
        text.pop_back();
    } else {
        char hex[4];
        for (unsigned char c : std::exchange(text, std::to_string(object.type) + ":"))
            text += (snprintf(hex, sizeof hex, " %02x", c), hex);
    }
    return text.size() > 64 ? text.substr(0, 1) + "*" + std::to_string(text.size()) : text;
}

// Depth first: each node as "path/", then its properties but the name as
// "name=value" when read is set (else they are listed, not read).
void dump(lumo::Tree &tree, uint64_t node, const std::string &path, std::vector<std::string> &lines,
          bool read = true)
{
    tree.complete(node);
    lines.push_back(path + "/");
    for (uint64_t p = tree.find(tree.find(node)->first)->next; read && p; p = tree.find(p)->next)
        lines.push_back(std::string(tree.name(*tree.find(p))) + "=" + value(tree, p));
    for (uint64_t child = tree.find(node)->down; child != 0; child = tree.find(child)->next)
        dump(tree, child, path + "/" + value(tree, tree.find(child)->first), lines, read);
}

// Over a listed node of files a, b (60,000 bytes) and c: memory running out
// as a is read fails a alone; b and c are read again, whole, when asked.
void expect_only_the_file_asked_for_fails(lumo::Tree &tree, uint64_t node)
{
    uint64_t a = tree.find(tree.find(node)->first)->next;
    uint64_t b = tree.find(a)->next, c = tree.find(b)->next;
    failing_from = 50000;
    EXPECT_THROW(tree.complete(a), std::bad_alloc);
    failing_from = SIZE_MAX;
    EXPECT_EQ(tree.fault(a, *tree.find(a), lumo::op_value), LUMO_FAILURE);
    EXPECT_TRUE(tree.find(c)->pending);
    EXPECT_EQ(value(tree, c), "3");
    EXPECT_EQ(value(tree, b), "b*60000");
}

} // namespace

// Memory that runs out while a folder's answers come in fails the file
// asked for; the answers left unread go with their reader, so that the
// files after it are read again rather than given another file's bytes.
TEST(HostScanner, AnswersLeftUnreadWhenMemoryRunsOutGoWithTheirReader)
{
    TempDir sys;
    make_tree(sys / "devices/d", {"a=1\n", "b=" + std::string(60000, 'b'), "c=3\n"});
    lumo::Tree tree;
    std::string problem;
    ASSERT_TRUE(lumo::serve_host(tree, sys.path(), problem)) << problem;
    tree.complete(tree.root());
    uint64_t node = tree.find(tree.root())->down;
    tree.complete(node);
    expect_only_the_file_asked_for_fails(tree, node);
}

// The same for answers read ahead, while the folder above was read: the
// file asked for fails, and the files after it are read again when asked.
TEST(HostScanner, AnswersReadAheadLeftUnreadWhenMemoryRunsOutGoWithTheirReader)
{
    TempDir sys;
    make_tree(sys / "devices/p", {"f=0\n", "d/a=1\n", "d/b=" + std::string(60000, 'b'), "d/c=3\n"});
    lumo::Tree tree;
    std::string problem;
    ASSERT_TRUE(lumo::serve_host(tree, sys.path(), problem)) << problem;
    tree.complete(tree.root());
    uint64_t p = tree.find(tree.root())->down;
    tree.complete(p);
    EXPECT_EQ(value(tree, tree.find(tree.find(p)->first)->next), "0");
    uint64_t node = tree.find(p)->down;
    tree.complete(node);
    expect_only_the_file_asked_for_fails(tree, node);
}

// Copied in once the tree is served, folders are listed and files read when
// first asked for, once; x- files change after listing. A stuck read costs
// its property and the bound until the run's time is spent.
TEST(HostScanner, ServesOneLineValuesWithinTheBoundsAndLeavesUnsafeFilesOut)
{
    TempDir sys;
    make_dir(sys / "devices");
    lumo::Tree tree;
    std::string problem;
    ASSERT_TRUE(lumo::serve_host(tree, sys.path(), problem, {300, 700})) << problem;
    std::filesystem::copy(FAKE_SYSFS, sys.path(),
                          std::filesystem::copy_options::recursive |
                              std::filesystem::copy_options::copy_symlinks);
    const std::string d1 = sys / "devices/pci0/d1";
    make_tree(d1, {"at-cap=" + std::string(lumo::attribute_cap, 'a'),
                   "past-cap=" + std::string(lumo::attribute_cap + 1, 'a'), "owner-only@400",
                   "remove@200", "fifo|"});
    std::vector<std::string> first, second;
    dump(tree, tree.root(), "", first, false);
    ASSERT_EQ(unlink((d1 + "/x-gone").c_str()) | unlink((d1 + "/x-linked").c_str()), 0);
    make_tree(d1, {"x-fifo|", "x-linked>vendor", "x-later=new\n"});
    alarm(20); // a walk that waits for a stuck reader fails here instead of hanging
    dump(tree, tree.root(), "", first = {});
    alarm(0);
    utsname kernel;
    ASSERT_EQ(uname(&kernel), 0);
    std::istringstream walk(read_file(std::string(FAKE_SYSFS) + ".walk"));
    std::vector<std::string> expected;
    for (std::string line; std::getline(walk, line);)
        expected.push_back(line == "kernel_name=SYSNAME"      ? line.substr(0, 12) + kernel.sysname
                           : line == "kernel_release=RELEASE" ? line.substr(0, 15) + kernel.release
                                                              : line);
    EXPECT_EQ(first, expected);
    make_tree(d1, {"x-gone=back\n", "x-later=newer\n", "too-late/"});
    dump(tree, tree.root(), "", second);
    EXPECT_EQ(second, first);
}

// A folder of more files than one request to the reader names: each file
// still gives its own bytes, and a stuck one in the second request costs
// its own property alone, the files after it read by a new reader.
TEST(HostScanner, ReadsAFolderOfManyFilesEachToItsProperty)
{
    TempDir sys;
    std::vector<std::string> files;
    for (int i = 0; i < 1200; i++) {
        std::string name = "attribute-with-a-long-name-" + std::to_string(1000 + i);
        files.push_back(name + (i == 900 ? "-stuck=x" : "=" + name));
    }
    make_tree(sys / "devices/big", files);
    lumo::Tree tree;
    std::string problem;
    ASSERT_TRUE(lumo::serve_host(tree, sys.path(), problem, {300, 5000})) << problem;
    alarm(20);
    std::vector<std::string> lines;
    dump(tree, tree.root(), "", lines);
    alarm(0);
    std::vector<std::string> expected = {"/big/"};
    for (int i = 0; i < 1200; i++) {
        std::string name = "attribute-with-a-long-name-" + std::to_string(1000 + i);
        expected.push_back(i == 900 ? name + "-stuck=28" : name + "=" + name);
    }
    ASSERT_GE(lines.size(), expected.size());
    EXPECT_EQ(
        std::vector<std::string>(lines.end() - static_cast<long>(expected.size()), lines.end()),
        expected);
}

// While the reader reads a folder's files, the folder that a depth-first
// walk lists next is listed, and that listing is what its node shows: a
// file added after it is not seen, one added before the next folder is
// listed is.
TEST(HostScanner, ListsTheNextFolderOfTheWalkWhileAFolderIsRead)
{
    TempDir sys;
    make_tree(sys / "devices", {"a/f=1\n", "a/b/g=2\n", "a/c/h=3\n", "z/y=4\n"});
    lumo::Tree tree;
    std::string problem;
    ASSERT_TRUE(lumo::serve_host(tree, sys.path(), problem)) << problem;
    tree.complete(tree.root());
    uint64_t a = tree.find(tree.root())->down;
    tree.complete(a);
    EXPECT_EQ(value(tree, tree.find(tree.find(a)->first)->next), "1");
    make_tree(sys / "devices/a", {"b/late=5\n", "c/late=6\n"});
    std::vector<std::string> lines;
    dump(tree, a, "/a", lines);
    EXPECT_EQ(lines,
              (std::vector<std::string>{"/a/", "f=1", "/a/b/", "g=2", "/a/c/", "h=3", "late=6"}));
}

// While a folder's files are read, the reader is asked for those of the
// folder a depth-first walk reads next. Their answers go into that folder's
// properties whichever the consumer asks for first, and when it asks for
// another folder's file first the folder is listed to take them. A stuck
// file costs its own property alone, whichever folder it is in: a new
// reader is asked for the rest and for the next folder's again.
TEST(HostScanner, ReadsTheFilesOfTheNextFolderOfTheWalkAhead)
{
    TempDir sys;
    make_tree(sys / "devices", {"a/e-stuck=x", "a/f=1\n", "a/b/g=2\n", "a/b/h-stuck=x", "a/b/i=3\n",
                                "a/c/j=4\n", "a/c/k=5\n", "z/y=6\n"});
    lumo::Tree tree;
    std::string problem;
    ASSERT_TRUE(lumo::serve_host(tree, sys.path(), problem, {300, 5000})) << problem;
    // "name=value", or "name?value" for one not read before it is asked.
    auto properties = [&](uint64_t node) {
        std::vector<std::string> lines;
        for (uint64_t p = tree.find(tree.find(node)->first)->next; p != 0; p = tree.find(p)->next) {
            std::string line =
                tree.name(*tree.find(p)) + std::string(tree.find(p)->pending ? "?" : "=");
            lines.push_back(line + value(tree, p));
        }
        return lines;
    };
    alarm(20);
    tree.complete(tree.root());
    uint64_t a = tree.find(tree.root())->down;
    tree.complete(a);
    EXPECT_EQ(properties(a), (std::vector<std::string>{"e-stuck?28", "f=1"}));
    // b's last file first: the others come with it.
    uint64_t b = tree.find(a)->down;
    tree.complete(b);
    uint64_t i = tree.find(tree.find(tree.find(tree.find(b)->first)->next)->next)->next;
    EXPECT_EQ(value(tree, i), "3");
    EXPECT_EQ(properties(b), (std::vector<std::string>{"g=2", "h-stuck=28", "i=3"}));
    // c, asked for as b's answers were taken, before another folder's file.
    uint64_t c = tree.find(b)->next, z = tree.find(a)->next;
    tree.complete(z);
    EXPECT_EQ(properties(z), std::vector<std::string>{"y?6"});
    EXPECT_FALSE(tree.find(c)->pending);
    EXPECT_EQ(properties(c), (std::vector<std::string>{"j=4", "k=5"}));
    alarm(0);
}

// The folders and files laid out, the root's name or why the host cannot
// be served.
TEST(HostScanner, RootIsNamedAfterTheProductOrTheMachine)
{
    utsname kernel;
    ASSERT_EQ(uname(&kernel), 0);
    const std::string product = "class/dmi/id/product_name=";
    for (auto [entries, expected] : std::vector<std::pair<std::vector<std::string>, std::string>>{
             {{product + "Box 9 \t\n", "devices/"}, "Box 9"},
             {{"devices/"}, kernel.machine},
             {{product + " \t\n", "devices/"}, kernel.machine},
             {{product + "b\x01", "devices/"}, kernel.machine},
             {{product + "Box\n", "devices="}, "host device folder SYS/devices: Not a directory"},
             {{product + "Box\n"}, "host device folder SYS/devices: No such file or directory"}}) {
        TempDir sys;
        make_tree(sys.path(), entries);
        lumo::Tree tree;
        std::string problem;
        EXPECT_EQ(lumo::serve_host(tree, sys.path(), problem)
                      ? value(tree, tree.find(tree.root())->first)
                      : problem.replace(problem.find(sys.path()), sys.path().size(), "SYS"),
                  expected);
    }
}

// A kernel file tells a size it does not hold. Here a process's argument
// list, as /proc serves it (size 0), bound over files of the fake /sys in
// a mount namespace of the child's own: exactly the cap is served, a byte
// more is not.
TEST(HostScanner, AFileHoldingMoreThanItsSizeSaysIsServedWithinTheCapOnly)
{
    TempDir sys;
    std::vector<pid_t> holders;
    for (size_t length : {lumo::attribute_cap, lumo::attribute_cap + 1}) {
        // "sh\0-c\0sleep 60; :\0" and the padding with its NUL.
        std::string padding(length - 19, 'a');
        pid_t pid = fork();
        if (pid == 0) {
            // A group of its own, the sleep with it, both gone at the end.
            (void)setpgid(0, 0);
            (void)freopen("/dev/null", "w", stdout);
            execl("/bin/sh", "sh", "-c", "sleep 60; :", padding.c_str(), nullptr);
            _exit(127);
        }
        ASSERT_GT(pid, 0);
        holders.push_back(pid);
        // Until the child has run exec, its command line is still this
        // program's.
        for (int tries = 0; tries < 1000 &&
                            read_file("/proc/" + std::to_string(pid) + "/cmdline").size() != length;
             tries++)
            (void)usleep(10000);
    }
    make_tree(sys.path(), {"devices/at-cap=", "devices/past-cap="});
    ChildOutcome r = in_child([&] {
        if (unshare(geteuid() == 0 ? CLONE_NEWNS : CLONE_NEWUSER | CLONE_NEWNS) != 0 ||
            mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
            _exit(2);
        for (size_t i = 0; i < holders.size(); i++) {
            std::string source = "/proc/" + std::to_string(holders[i]) + "/cmdline";
            if (mount(source.c_str(),
                      (sys / (i == 0 ? "devices/at-cap" : "devices/past-cap")).c_str(), nullptr,
                      MS_BIND, nullptr) != 0)
                _exit(2);
        }
        lumo::Tree tree;
        std::string problem;
        std::vector<std::string> lines;
        if (lumo::serve_host(tree, sys.path(), problem))
            dump(tree, tree.root(), "", lines);
        for (const std::string &line : lines)
            if (line.find("-cap=") != std::string::npos)
                (void)printf("%s\n", line.c_str());
    });
    for (pid_t pid : holders)
        (void)kill(-pid, SIGKILL);
    for (pid_t pid : holders)
        (void)waitpid(pid, nullptr, 0);
    if (r.status == 2)
        end_test("no mount namespace of its own to bind /proc files in");
    EXPECT_EQ(r.out + "exit " + std::to_string(r.status),
              "at-cap=8*" + std::to_string(2 + 3 * lumo::attribute_cap) + "\npast-cap=28\nexit 0");
}
