#include "host.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <csignal>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <memory>
#include <poll.h>
#include <string_view>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/utsname.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace lumo
{

void (*before_attribute_read)(const char *path);

namespace
{

// The machine's identity, as the firmware's tables give it. The property
// names are the file names.
constexpr const char *identity_files[] = {
    "sys_vendor",  "product_name", "product_version", "product_serial",
    "bios_vendor", "bios_version", "bios_date",
};

// Reading these reaches the device itself rather than what the kernel
// keeps about it: PCI configuration space (which can wake a sleeping
// device), expansion ROMs and I/O regions (mapped or read port by port),
// vital product data (slow polled transfers that can stall), and memory
// chips on slow serial buses. Conservatively, by name wherever they are.
bool reaches_hardware(std::string_view name)
{
    constexpr std::string_view names[] = {"config", "rom", "vpd", "eeprom", "nvmem"};
    if (std::find(std::begin(names), std::end(names), name) != std::end(names))
        return true;
    constexpr std::string_view region = "resource";
    return name.size() > region.size() && name.substr(0, region.size()) == region &&
           name[region.size()] >= '0' && name[region.size()] <= '9';
}

// Text is what a line-oriented reader can take as it is: printable ASCII,
// tabs and line feeds. Anything else, a NUL byte above all, is binary.
bool is_text(std::string_view bytes)
{
    for (unsigned char c : bytes)
        if ((c < 0x20 || c > 0x7e) && c != '\t' && c != '\n')
            return false;
    return true;
}

enum class EntryKind : uint8_t { folder, attribute, link };

struct Entry {
    std::string name;
    EntryKind kind;
    std::string link_target; // last component, for a link
};

struct CloseDir {
    void operator()(DIR *dir) const
    {
        (void)closedir(dir);
    }
};

// A property's origin with this bit is the index of its file's own path,
// kept for a file served under another name; otherwise of its folder's.
constexpr uint32_t file_origin = 0x80000000;

using Clock = std::chrono::steady_clock;

// The reading process's answer comes first: the file's length, or -1 when
// it cannot be read whole within the cap.
using ReplyLength = int32_t;

bool send_all(int socket, const char *data, size_t size)
{
    while (size > 0) {
        ssize_t n = send(socket, data, size, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        data += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

// Fills data whole, or gives up at the deadline; no deadline waits as long
// as it takes.
bool receive_all(int socket, char *data, size_t size, const Clock::time_point *deadline)
{
    while (size > 0) {
        if (deadline != nullptr) {
            auto left = std::chrono::ceil<std::chrono::milliseconds>(*deadline - Clock::now());
            pollfd ready{socket, POLLIN, 0};
            int polled = left.count() > 0 ? poll(&ready, 1, static_cast<int>(left.count())) : 0;
            if (polled < 0 && errno == EINTR)
                continue;
            if (polled <= 0)
                return false;
        }
        ssize_t n = recv(socket, data, size, 0);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        data += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

// The file's length, with its bytes in data (attribute_cap + 1 of room), or
// -1. Only async-signal-safe calls: it runs in a child forked from a
// process that may have threads.
ReplyLength read_file(const char *path, char *data)
{
    // Non-blocking (which sysfs ignores, but costs nothing), never through
    // a link, and never for writing: a read is all that is done to the
    // device.
    int fd = open(path, O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0)
        return -1;
    struct stat status;
    bool readable = fstat(fd, &status) == 0 && S_ISREG(status.st_mode) &&
                    static_cast<uint64_t>(status.st_size) <= attribute_cap;
    size_t have = 0;
    // One byte more than the cap tells a file at the cap from a larger one
    // whose size the folder entry does not show.
    while (readable && have < attribute_cap + 1) {
        ssize_t n = ::read(fd, data + have, attribute_cap + 1 - have);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            readable = n == 0;
            break;
        }
        have += static_cast<size_t>(n);
    }
    (void)close(fd);
    return readable && have <= attribute_cap ? static_cast<ReplyLength>(have) : -1;
}

// The reading process: a path in, the reply and the bytes out, until the
// walk hangs up. The reply is built in front of the bytes so that it goes
// out in one send.
[[noreturn]] void serve_reads(int socket, char *buffer)
{
    char path[PATH_MAX];
    for (;;) {
        uint32_t length;
        if (!receive_all(socket, reinterpret_cast<char *>(&length), sizeof length, nullptr) ||
            length >= sizeof path || !receive_all(socket, path, length, nullptr))
            _exit(0);
        path[length] = '\0';
        if (before_attribute_read != nullptr)
            before_attribute_read(path);
        ReplyLength reply = read_file(path, buffer + sizeof reply);
        memcpy(buffer, &reply, sizeof reply);
        if (!send_all(socket, buffer, sizeof reply + static_cast<size_t>(std::max(reply, 0))))
            _exit(0);
    }
}

class HostSource final : public Source
{
  public:
    explicit HostSource(ReadBounds bounds)
        : bounds_(bounds), run_left_(std::chrono::milliseconds(bounds.run_ms))
    {
    }
    ~HostSource() override;
    uint32_t add_folder(std::string path)
    {
        folders_.push_back(std::move(path));
        return static_cast<uint32_t>(folders_.size() - 1);
    }
    void list(Tree &tree, uint64_t node, uint32_t origin) override;
    int read(Tree &tree, uint64_t property, uint32_t origin) override;
    // The file's bytes, or false when it cannot be read whole within the cap
    // and the time bounds.
    bool read_attribute(const std::string &path, std::string_view &bytes);

  private:
    bool start_reader();
    void stop_reader();

    std::vector<std::string> folders_; // by origin
    // Reply and bytes: a ReplyLength, then attribute_cap + 1 bytes.
    std::vector<char> buffer_;
    ReadBounds bounds_;
    Clock::duration run_left_;
    pid_t reader_ = -1;
    int socket_ = -1;
    // Readers given up on while stuck, reaped once they are gone.
    std::vector<pid_t> abandoned_;
};

bool HostSource::start_reader()
{
    int ends[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) != 0)
        return false;
    buffer_.resize(sizeof(ReplyLength) + attribute_cap + 1);
    pid_t pid = fork();
    if (pid == 0) {
        // The socket alone, as descriptor 0: a reader stuck for good must
        // not hold the caller's output, or anything else, open.
        if (dup2(ends[1], 0) < 0 || close_range(1, ~0U, 0) != 0)
            _exit(1);
        serve_reads(0, buffer_.data());
    }
    (void)close(ends[1]);
    if (pid < 0) {
        (void)close(ends[0]);
        return false;
    }
    reader_ = pid;
    socket_ = ends[0];
    return true;
}

// A read that cannot be cancelled may never end: the reader is killed and
// not waited for.
void HostSource::stop_reader()
{
    (void)kill(reader_, SIGKILL);
    (void)close(socket_);
    abandoned_.push_back(reader_);
    std::erase_if(abandoned_, [](pid_t pid) { return waitpid(pid, nullptr, WNOHANG) != 0; });
    reader_ = -1;
    socket_ = -1;
}

HostSource::~HostSource()
{
    if (reader_ >= 0) {
        // Idle, waiting for a path: it ends at once.
        (void)kill(reader_, SIGKILL);
        (void)close(socket_);
        (void)waitpid(reader_, nullptr, 0);
    }
    for (pid_t pid : abandoned_)
        (void)waitpid(pid, nullptr, WNOHANG);
}

bool HostSource::read_attribute(const std::string &path, std::string_view &bytes)
{
    bytes = {};
    if (run_left_.count() <= 0 || path.size() >= PATH_MAX || (reader_ < 0 && !start_reader()))
        return false;
    Clock::time_point start = Clock::now();
    Clock::time_point deadline =
        start +
        std::min<Clock::duration>(std::chrono::milliseconds(bounds_.attribute_ms), run_left_);
    uint32_t length = static_cast<uint32_t>(path.size());
    ReplyLength reply = -1;
    bool answered =
        send_all(socket_, reinterpret_cast<const char *>(&length), sizeof length) &&
        send_all(socket_, path.data(), length) &&
        receive_all(socket_, reinterpret_cast<char *>(&reply), sizeof reply, &deadline) &&
        (reply <= 0 || receive_all(socket_, buffer_.data(), static_cast<size_t>(reply), &deadline));
    run_left_ -= Clock::now() - start;
    if (!answered) {
        stop_reader();
        return false;
    }
    bytes = std::string_view(buffer_.data(), static_cast<size_t>(std::max(reply, 0)));
    return reply >= 0;
}

int HostSource::read(Tree &tree, uint64_t property, uint32_t origin)
{
    const std::string &where = folders_[origin & ~file_origin];
    std::string path =
        (origin & file_origin) != 0 ? where : where + "/" + tree.name(*tree.find(property));
    std::string_view bytes;
    if (!read_attribute(path, bytes))
        return LUMO_NOT_READABLE;
    if (!is_text(bytes)) {
        tree.set_value(property, LUMO_TYPE_BYTES, bytes);
        return 0;
    }
    // One line per value: the line feed that ends the kernel's text is
    // dropped, and text of several lines becomes a table of one cell per
    // line, which readers show on one line.
    if (!bytes.empty() && bytes.back() == '\n')
        bytes.remove_suffix(1);
    if (bytes.find('\n') == bytes.npos) {
        tree.set_value(property, LUMO_TYPE_STRING, bytes, true);
        return 0;
    }
    uint64_t table = tree.add_table();
    for (size_t start = 0; start <= bytes.size();) {
        size_t end = std::min(bytes.find('\n', start), bytes.size());
        tree.add_row(table);
        (void)tree.add_cell(table, LUMO_TYPE_STRING, bytes.substr(start, end - start), true);
        start = end + 1;
    }
    tree.set_value(property, LUMO_TYPE_TABLE,
                   std::string_view(reinterpret_cast<const char *>(&table), sizeof table));
    return 0;
}

void HostSource::list(Tree &tree, uint64_t node, uint32_t origin)
{
    // A copy: adding the child folders below may move the stored paths.
    const std::string folder = folders_[origin];
    int fd = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0)
        return;
    std::unique_ptr<DIR, CloseDir> dir(fdopendir(fd));
    if (!dir) {
        (void)close(fd);
        return;
    }
    std::vector<Entry> entries;
    while (const dirent *entry = readdir(dir.get())) {
        std::string_view name = entry->d_name;
        if (name == "." || name == "..")
            continue;
        unsigned char type = entry->d_type;
        struct stat status {
        };
        if (type == DT_UNKNOWN || type == DT_REG) {
            if (fstatat(fd, entry->d_name, &status, AT_SYMLINK_NOFOLLOW) != 0)
                continue;
            type = IFTODT(status.st_mode);
        }
        if (type == DT_DIR) {
            entries.push_back({std::string(name), EntryKind::folder, {}});
        } else if (type == DT_LNK && (name == "driver" || name == "subsystem")) {
            char target[4096];
            ssize_t n = readlinkat(fd, entry->d_name, target, sizeof target - 1);
            if (n < 0)
                continue;
            std::string_view path(target, static_cast<size_t>(n));
            size_t slash = path.rfind('/');
            entries.push_back({std::string(name), EntryKind::link,
                               std::string(slash == path.npos ? path : path.substr(slash + 1))});
        } else if (type == DT_REG && (status.st_mode & 0444) != 0 && !reaches_hardware(name)) {
            // Files that nobody may read are controls to write, not
            // attributes.
            entries.push_back({std::string(name), EntryKind::attribute, {}});
        }
    }
    dir.reset();
    std::sort(entries.begin(), entries.end(),
              [](const Entry &a, const Entry &b) { return a.name < b.name; });
    // Names a file may not take: the node's own properties so far and the
    // links, so that a lookup by name is never ambiguous.
    std::vector<std::string> taken = {"_child", "_peer"};
    for (uint64_t prop = tree.find(node)->first; prop != 0; prop = tree.find(prop)->next)
        taken.emplace_back(tree.name(*tree.find(prop)));
    auto is_taken = [&](const std::string &name) {
        return std::find(taken.begin(), taken.end(), name) != taken.end() ||
               std::any_of(entries.begin(), entries.end(),
                           [&](const Entry &entry) { return entry.name == name; });
    };
    for (const Entry &entry : entries) {
        switch (entry.kind) {
        case EntryKind::folder:
            tree.add_pending_node(node, entry.name, add_folder(folder + "/" + entry.name));
            break;
        case EntryKind::attribute: {
            std::string served = entry.name;
            if (std::find(taken.begin(), taken.end(), served) != taken.end()) {
                do
                    served.insert(0, renamed_prefix);
                while (is_taken(served));
                taken.push_back(served);
            }
            tree.add_pending_property(node, served,
                                      served == entry.name
                                          ? origin
                                          : add_folder(folder + "/" + entry.name) | file_origin);
            break;
        }
        case EntryKind::link:
            tree.add_string(node, entry.name, entry.link_target);
            break;
        }
    }
}

// The root's name: the product's name when the firmware gives one, else
// the kernel's name for the machine's hardware.
std::string root_name(HostSource &source, const std::string &identity, const utsname &kernel)
{
    std::string_view product;
    if (source.read_attribute(identity + "/product_name", product) && is_text(product)) {
        while (!product.empty() &&
               (product.back() == '\n' || product.back() == ' ' || product.back() == '\t'))
            product.remove_suffix(1);
        if (!product.empty())
            return std::string(product);
    }
    return kernel.machine;
}

} // namespace

bool serve_host(Tree &tree, const std::string &sysfs, std::string &problem, ReadBounds bounds)
{
    const std::string devices = sysfs + "/devices";
    struct stat status;
    int error = stat(devices.c_str(), &status) != 0 ? errno : S_ISDIR(status.st_mode) ? 0 : ENOTDIR;
    if (error != 0) {
        problem = "host device folder " + devices + ": " + strerror(error);
        return false;
    }
    utsname kernel;
    if (uname(&kernel) != 0) {
        problem = std::string("kernel name: ") + strerror(errno);
        return false;
    }
    auto source = std::make_unique<HostSource>(bounds);
    uint32_t devices_origin = source->add_folder(devices);
    const std::string identity = sysfs + "/class/dmi/id";
    uint32_t identity_origin = source->add_folder(identity);

    uint64_t root = tree.add_pending_node(0, root_name(*source, identity, kernel), devices_origin);
    for (const char *file : identity_files)
        tree.add_pending_property(root, file, identity_origin);
    tree.add_string(root, "kernel_name", kernel.sysname);
    tree.add_string(root, "kernel_release", kernel.release);
    tree.source = std::move(source);
    return true;
}

} // namespace lumo
