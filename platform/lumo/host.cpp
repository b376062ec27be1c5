#include "host.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <memory>
#include <string_view>
#include <sys/stat.h>
#include <sys/utsname.h>
#include <unistd.h>
#include <vector>

namespace lumo
{

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

class HostSource final : public Source
{
  public:
    uint32_t add_folder(std::string path)
    {
        folders_.push_back(std::move(path));
        return static_cast<uint32_t>(folders_.size() - 1);
    }
    void list(Tree &tree, uint64_t node, uint32_t origin) override;
    int read(Tree &tree, uint64_t property, uint32_t origin) override;
    // The file's bytes, or false when it cannot be read whole within the cap.
    bool read_attribute(const std::string &path, std::string_view &bytes);

  private:
    std::vector<std::string> folders_; // by origin
    std::vector<char> buffer_;
};

bool HostSource::read_attribute(const std::string &path, std::string_view &bytes)
{
    // Non-blocking, never through a link, and never for writing: a read
    // is all that is ever done to the device.
    int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0)
        return false;
    struct stat status;
    bool readable = fstat(fd, &status) == 0 && S_ISREG(status.st_mode) &&
                    static_cast<uint64_t>(status.st_size) <= attribute_cap;
    size_t have = 0;
    if (readable) {
        // One byte more than the cap tells a file at the cap from a larger
        // one whose size the folder entry does not show.
        buffer_.resize(attribute_cap + 1);
        while (have < buffer_.size()) {
            ssize_t n = ::read(fd, buffer_.data() + have, buffer_.size() - have);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0) {
                readable = n == 0;
                break;
            }
            have += static_cast<size_t>(n);
        }
        readable = readable && have <= attribute_cap;
    }
    (void)close(fd);
    bytes = std::string_view(buffer_.data(), readable ? have : 0);
    return readable;
}

int HostSource::read(Tree &tree, uint64_t property, uint32_t origin)
{
    std::string path = folders_[origin] + "/" + tree.name(*tree.find(property));
    std::string_view bytes;
    if (!read_attribute(path, bytes))
        return 28;
    if (!is_text(bytes)) {
        tree.set_value(property, 8, bytes);
        return 0;
    }
    // As the kernel gives it, trailing line feed and all, plus the NUL
    // that ends a character string.
    std::string text(bytes);
    tree.set_value(property, 9, std::string_view(text.c_str(), text.size() + 1));
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
    for (const Entry &entry : entries) {
        switch (entry.kind) {
        case EntryKind::folder:
            tree.add_pending_node(node, entry.name, add_folder(folder + "/" + entry.name));
            break;
        case EntryKind::attribute:
            tree.add_pending_property(node, entry.name, origin);
            break;
        case EntryKind::link:
            tree.add_property(
                node, entry.name, 9,
                std::string_view(entry.link_target.c_str(), entry.link_target.size() + 1));
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

void add_string(Tree &tree, uint64_t node, std::string_view name, const std::string &text)
{
    tree.add_property(node, name, 9, std::string_view(text.c_str(), text.size() + 1));
}

} // namespace

bool serve_host(Tree &tree, const std::string &sysfs, std::string &problem)
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
    auto source = std::make_unique<HostSource>();
    uint32_t devices_origin = source->add_folder(devices);
    const std::string identity = sysfs + "/class/dmi/id";
    uint32_t identity_origin = source->add_folder(identity);

    uint64_t root = tree.add_pending_node(0, root_name(*source, identity, kernel), devices_origin);
    for (const char *file : identity_files)
        tree.add_pending_property(root, file, identity_origin);
    add_string(tree, root, "kernel_name", kernel.sysname);
    add_string(tree, root, "kernel_release", kernel.release);
    tree.source = std::move(source);
    return true;
}

} // namespace lumo
