#include "sysfs.h"

#include "io.h"
#include "reader.h"
#include "text.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <new>
#include <sys/stat.h>
#include <sys/utsname.h>
#include <utility>

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

// Text is what a line-oriented reader can take as it is: printable ASCII,
// tabs and line feeds. Anything else, a NUL byte above all, is binary.
bool is_text(std::string_view bytes)
{
    return std::all_of(bytes.begin(), bytes.end(), [](unsigned char c) {
        return (c >= 0x20 && c <= 0x7e) || c == '\t' || c == '\n';
    });
}

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

// A property's origin with this bit is the index of its file among those
// served under another name; otherwise of its folder.
constexpr uint32_t file_origin = 0x80000000;

// A request holds a folder and the names of the files to read there, each
// ended by a NUL; at most this many bytes, so that a request always fits in
// the socket's buffer and is taken in whole by a reader that waits for it.
constexpr size_t request_room = 16384;

// The reading process: a request in, then for each file it names, in
// order, a frame of the file's bytes out, or the mark -1 when it cannot be
// read whole within the cap, until the walk hangs up. The folder is opened
// once per request and its files relative to it, which spares the kernel
// a walk down the whole path per file. Only async-signal-safe calls: the
// buffer, frame_header and then attribute_cap + 1 bytes, was made before
// the fork.
void serve_reads(int channel, void *context)
{
    std::string &buffer = *static_cast<std::string *>(context);
    char request[request_room];
    char path[PATH_MAX];
    size_t length, got;
    while (base::receive_frame(channel, request, sizeof request, length)) {
        if (length == 0 || request[length - 1] != '\0')
            return;
        size_t folder = strlen(request);
        // Never through a link, the folder's own path included.
        base::Fd dir(open(request, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        for (size_t at = folder + 1; at < length;) {
            size_t name = strlen(request + at);
            bool read = dir.get() >= 0 && folder + 1 + name < sizeof path;
            if (read) {
                if (before_attribute_read != nullptr) {
                    memcpy(path, request, folder);
                    path[folder] = '/';
                    memcpy(path + folder + 1, request + at, name + 1);
                    before_attribute_read(path);
                }
                // Never through a link, and never for writing: a read is
                // all that is done to the device.
                read = base::read_regular_file(dir.get(), request + at, false, attribute_cap,
                                               buffer, base::frame_header, got) == 0;
            }
            if (!base::send_frame(channel, buffer.data(), read ? static_cast<int32_t>(got) : -1))
                return;
            at += name + 1;
        }
    }
}

class HostSource final : public Source
{
  public:
    explicit HostSource(ReadBounds bounds)
        : bounds_(bounds), run_left_(std::chrono::milliseconds(bounds.run_ms))
    {
    }
    ~HostSource() override
    {
        // A child reading ahead may be stuck in a read that nobody waits
        // for: it is left, not waited for.
        if (asked_ahead_ != no_folder)
            reader_.stop();
    }
    // A folder to list later; its parent's origin, or no_folder.
    uint32_t add_folder(std::string path, uint32_t parent = no_folder)
    {
        folders_.push_back(std::move(path));
        nodes_.push_back(0);
        parents_.push_back(parent);
        first_children_.push_back(no_folder);
        listed_.push_back(false);
        return static_cast<uint32_t>(folders_.size() - 1);
    }
    void list(Tree &tree, uint64_t node, uint32_t origin) override;
    int read(Tree &tree, uint64_t property, uint32_t origin) override;
    // The file's bytes, or false when it cannot be read whole within the cap
    // and the time bounds.
    bool read_file(uint32_t folder, const std::string &name, std::string &bytes);

  private:
    static constexpr uint32_t no_folder = UINT32_MAX;

    // Reads the folder's named files, asking the reader for all of them at
    // once, and gives each to take(index, read, bytes) in order; read is
    // false for one that cannot be read whole within the cap and the time
    // bounds. The first asked of them the reader was asked for already.
    // With ahead, it is asked for the files of the folder a walk reads next
    // as well. A file not read in time costs its own answer alone: its
    // reader is stopped and the files after it are asked of a new one.
    template <typename Take>
    void read_files(uint32_t folder, const std::vector<std::string> &names, Take take,
                    size_t asked = 0, bool ahead = true);
    // While the reader reads the folder's files, lists the folder a walk
    // lists next, so that the two processes work at once: the folder's
    // first child, else the next folder after it or after a folder above
    // it. Kept for list(), which takes it only for that folder. With ask,
    // the reader is asked for that folder's files too, after the ones it
    // reads now, so that it reads them while the walk uses these.
    void list_ahead(uint32_t folder, bool ask);
    // Takes the answers of the folder asked ahead into its properties,
    // listing it first if the walk has not; code gets the answer for
    // property if it is among them, and then true. Only then is the
    // reader asked ahead again: a walk that goes elsewhere is not read
    // on from here.
    bool take_ahead(Tree &tree, uint64_t property, int &code);
    // Stops the reader, and with it whatever it was asked ahead.
    void stop_reader()
    {
        reader_.stop();
        asked_ahead_ = no_folder;
    }
    // The folder and the file name of a pending property.
    uint32_t folder_of(uint32_t origin) const
    {
        return (origin & file_origin) != 0 ? renamed_[origin & ~file_origin].folder : origin;
    }

    struct Renamed {
        uint32_t folder;
        std::string name;
    };
    std::vector<std::string> folders_; // by origin
    // By origin, the node of each folder below the devices folder.
    std::vector<uint64_t> nodes_;
    // By origin, for list_ahead: the folder above, the first folder below
    // (once listed), and whether list() has listed it.
    std::vector<uint32_t> parents_;
    std::vector<uint32_t> first_children_;
    std::vector<bool> listed_;
    // The one folder listed ahead, and whether it could be opened.
    uint32_t ahead_ = no_folder;
    bool ahead_opened_ = false;
    std::vector<Entry> ahead_entries_;
    // The folder listed ahead whose files the reader was asked for after
    // the last request, before the walk asked: their names, in the order
    // list() makes their properties, and those properties once it has.
    // Every other request waits until their answers are taken.
    uint32_t asked_ahead_ = no_folder;
    std::vector<std::string> ahead_names_;
    std::vector<uint64_t> ahead_batch_;
    std::vector<Renamed> renamed_; // files served under another name, by origin
    std::string request_;
    std::string bytes_; // of the last file read
    // What the reader reads into, made before it is forked.
    std::string reader_buffer_ = std::string(base::frame_header + attribute_cap + 1, '\0');
    ReadBounds bounds_;
    base::Clock::duration run_left_;
    base::ReaderProcess reader_;
};

template <typename Take>
void HostSource::read_files(uint32_t folder, const std::vector<std::string> &names, Take take,
                            size_t asked, bool ahead)
{
    size_t next = 0;
    while (next < names.size()) {
        size_t end = next + std::exchange(asked, 0);
        if (end == next) {
            request_.assign(folders_[folder]).push_back('\0');
            for (; end < names.size() && request_.size() + names[end].size() < request_room; end++)
                request_.append(names[end]).push_back('\0');
            if (end == next || run_left_.count() <= 0 ||
                (!reader_.running() && reader_.start(serve_reads, &reader_buffer_) != 0) ||
                reader_.send(request_) != 0) {
                // Left with answers unread, a reader would give them for
                // the next request.
                if (reader_.running())
                    stop_reader();
                take(next++, false, {});
                continue;
            }
        }
        // Answers left unread when memory runs out would be taken for the
        // next request's: the reader goes with them.
        try {
            list_ahead(folder, ahead && end == names.size());
            for (; next < end; next++) {
                base::Clock::time_point start = base::Clock::now();
                base::Clock::time_point deadline =
                    start + std::min<base::Clock::duration>(
                                std::chrono::milliseconds(bounds_.attribute_ms), run_left_);
                bytes_.clear();
                int error = run_left_.count() > 0 ? reader_.receive(bytes_, attribute_cap, deadline)
                                                  : ETIMEDOUT;
                run_left_ -= base::Clock::now() - start;
                // A file the reader could not read leaves it ready for the next.
                if (error != 0 && error != ENODATA) {
                    stop_reader();
                    take(next++, false, {});
                    break;
                }
                take(next, error == 0, bytes_);
            }
        } catch (...) {
            if (reader_.running())
                stop_reader();
            throw;
        }
    }
}

bool HostSource::read_file(uint32_t folder, const std::string &name, std::string &bytes)
{
    bool done = false;
    read_files(folder, {name}, [&](size_t, bool read, std::string_view got) {
        done = read;
        bytes.assign(got);
    });
    return done;
}

bool HostSource::take_ahead(Tree &tree, uint64_t property, int &code)
{
    uint32_t folder = asked_ahead_;
    std::vector<std::string> names;
    std::vector<uint64_t> batch;
    try {
        tree.complete(nodes_[folder]);
        names.swap(ahead_names_);
        batch.swap(ahead_batch_);
    } catch (...) {
        stop_reader();
        throw;
    }
    asked_ahead_ = no_folder;
    // A node that could not be listed whole for want of memory lacks the
    // properties of the last answers.
    batch.resize(std::min(batch.size(), names.size()));
    bool asked = std::find(batch.begin(), batch.end(), property) != batch.end();
    read_files(
        folder, names,
        [&](size_t index, bool read, std::string_view bytes) {
            if (index >= batch.size())
                return;
            if (read)
                set_attribute(tree, batch[index], bytes);
            if (batch[index] == property)
                code = read ? 0 : LUMO_NOT_READABLE;
            else
                tree.fill(batch[index], read ? 0 : LUMO_NOT_READABLE);
        },
        names.size(), asked);
    return asked;
}

int HostSource::read(Tree &tree, uint64_t property, uint32_t origin)
{
    // The answers to the folder asked ahead come first.
    int code = LUMO_NOT_READABLE;
    if (asked_ahead_ != no_folder && take_ahead(tree, property, code))
        return code;
    // This file and the folder's others still pending after it, which a
    // walk asks for next, in one request: a trip to the reader per folder
    // rather than per file.
    uint32_t folder = folder_of(origin);
    std::vector<uint64_t> batch;
    std::vector<std::string> names;
    for (uint64_t at = property; at != 0; at = tree.find(at)->next) {
        const Object &object = *tree.find(at);
        if (at != property && (!object.pending || folder_of(object.origin) != folder))
            continue;
        batch.push_back(at);
        names.emplace_back((object.origin & file_origin) != 0
                               ? renamed_[object.origin & ~file_origin].name
                               : std::string(tree.name(object)));
    }
    read_files(folder, names, [&](size_t index, bool read, std::string_view bytes) {
        if (read)
            set_attribute(tree, batch[index], bytes);
        if (index == 0)
            code = read ? 0 : LUMO_NOT_READABLE;
        else
            tree.fill(batch[index], read ? 0 : LUMO_NOT_READABLE);
    });
    return code;
}

// What the folder lists that the tree serves, unsorted; false when it
// cannot be opened.
bool list_folder(const std::string &folder, std::vector<Entry> &entries)
{
    entries.clear();
    base::Folder dir = base::open_folder(AT_FDCWD, folder.c_str(), false);
    if (!dir)
        return false;
    (void)base::each_entry(dir, [&](const dirent &entry) {
        std::string_view name = entry.d_name;
        unsigned char type = entry.d_type;
        struct stat status {
        };
        if (type == DT_UNKNOWN || type == DT_REG) {
            if (fstatat(dir.fd(), entry.d_name, &status, AT_SYMLINK_NOFOLLOW) != 0)
                return;
            type = IFTODT(status.st_mode);
        }
        if (type == DT_DIR) {
            entries.push_back({std::string(name), EntryKind::folder, {}, {}});
        } else if (type == DT_LNK && (name == "driver" || name == "subsystem")) {
            char target[4096];
            ssize_t n = readlinkat(dir.fd(), entry.d_name, target, sizeof target - 1);
            if (n < 0)
                return;
            std::string_view path(target, static_cast<size_t>(n));
            size_t slash = path.rfind('/');
            entries.push_back({std::string(name),
                               EntryKind::link,
                               std::string(slash == path.npos ? path : path.substr(slash + 1)),
                               {}});
        } else if (type == DT_REG && (status.st_mode & 0444) != 0 && !reaches_hardware(name)) {
            // Files that nobody may read are controls to write, not
            // attributes.
            entries.push_back({std::string(name), EntryKind::attribute, {}, {}});
        }
    });
    return true;
}

void HostSource::list_ahead(uint32_t folder, bool ask)
{
    uint32_t next = first_children_[folder];
    for (uint32_t at = folder; next == no_folder && at != no_folder; at = parents_[at])
        if (at + 1 < folders_.size() && parents_[at + 1] == parents_[at] &&
            parents_[at] != no_folder)
            next = at + 1;
    if (next == no_folder || listed_[next])
        return;
    // Only a help: short of memory, the folder is listed and its files
    // read when asked for.
    try {
        if (next != ahead_) {
            ahead_ = no_folder;
            ahead_opened_ = list_folder(folders_[next], ahead_entries_);
            ahead_ = next;
        }
        if (!ask || run_left_.count() <= 0)
            return;
        // Its attributes in the order list() makes their properties, as
        // many as one request holds.
        std::sort(ahead_entries_.begin(), ahead_entries_.end(),
                  [](const Entry &a, const Entry &b) { return a.name < b.name; });
        ahead_names_.clear();
        ahead_batch_.clear();
        request_.assign(folders_[next]).push_back('\0');
        for (const Entry &entry : ahead_entries_) {
            if (entry.kind != EntryKind::attribute)
                continue;
            if (request_.size() + entry.name.size() >= request_room)
                break;
            request_.append(entry.name).push_back('\0');
            ahead_names_.push_back(entry.name);
        }
        if (ahead_names_.empty())
            return;
        // A reader that took part of a request would take the next one's
        // bytes for the rest.
        if (reader_.send(request_) != 0) {
            stop_reader();
            return;
        }
        asked_ahead_ = next;
    } catch (const std::bad_alloc &) {
        if (ahead_ != next)
            ahead_entries_ = {};
    }
}

void HostSource::list(Tree &tree, uint64_t node, uint32_t origin)
{
    listed_[origin] = true;
    std::vector<Entry> entries;
    if (ahead_ == origin) {
        ahead_ = no_folder;
        entries.swap(ahead_entries_);
        if (!ahead_opened_)
            return;
    } else if (!list_folder(folders_[origin], entries)) {
        return;
    }
    // Names a file may not take: the node's own properties so far and the
    // links, so that a lookup by name is never ambiguous.
    std::vector<std::string> taken = {"_child", "_peer"};
    for (uint64_t prop = tree.find(node)->first; prop != 0; prop = tree.find(prop)->next)
        taken.emplace_back(tree.name(*tree.find(prop)));
    name_entries(entries, std::move(taken));
    for (const Entry &entry : entries) {
        switch (entry.kind) {
        case EntryKind::folder: {
            uint32_t child = add_folder(folders_[origin] + "/" + entry.name, origin);
            if (first_children_[origin] == no_folder)
                first_children_[origin] = child;
            nodes_[child] = tree.add_pending_node(node, entry.name, child);
            break;
        }
        case EntryKind::attribute: {
            if (entry.served != entry.name)
                renamed_.push_back({origin, entry.name});
            uint64_t property = tree.add_pending_property(
                node, entry.served,
                entry.served == entry.name
                    ? origin
                    : static_cast<uint32_t>(renamed_.size() - 1) | file_origin);
            if (origin == asked_ahead_)
                ahead_batch_.push_back(property);
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
std::string root_name(HostSource &source, uint32_t identity, const utsname &kernel)
{
    std::string bytes;
    std::string_view product;
    if (source.read_file(identity, "product_name", bytes) && is_text(product = bytes)) {
        // Without the blanks and the line feed at its end only.
        product =
            product.substr(0, std::min(product.find_last_not_of(" \t\n") + 1, product.size()));
        if (!product.empty())
            return std::string(product);
    }
    return kernel.machine;
}

} // namespace

void name_entries(std::vector<Entry> &entries, std::vector<std::string> taken)
{
    std::sort(entries.begin(), entries.end(),
              [](const Entry &a, const Entry &b) { return a.name < b.name; });
    auto is_taken = [&](const std::string &name) {
        return std::find(taken.begin(), taken.end(), name) != taken.end() ||
               std::any_of(entries.begin(), entries.end(),
                           [&](const Entry &entry) { return entry.name == name; });
    };
    for (Entry &entry : entries) {
        if (entry.kind != EntryKind::attribute)
            continue;
        entry.served = entry.name;
        if (std::find(taken.begin(), taken.end(), entry.served) != taken.end()) {
            do
                entry.served.insert(0, renamed_prefix);
            while (is_taken(entry.served));
            taken.push_back(entry.served);
        }
    }
}

void set_attribute(Tree &tree, uint64_t property, std::string_view bytes)
{
    if (!is_text(bytes)) {
        tree.set_value(property, LUMO_TYPE_BYTES, bytes);
        return;
    }
    // One line per value: the line feed that ends the kernel's text is
    // dropped, and text of several lines becomes a table of one cell per
    // line, which readers show on one line.
    if (!bytes.empty() && bytes.back() == '\n')
        bytes.remove_suffix(1);
    if (bytes.find('\n') == bytes.npos) {
        tree.set_value(property, LUMO_TYPE_STRING, bytes, true);
        return;
    }
    uint64_t table = tree.add_table();
    for (auto rows = std::count(bytes.begin(), bytes.end(), '\n') + 1; rows > 0; rows--) {
        tree.add_row(table);
        (void)tree.add_cell(table, LUMO_TYPE_STRING, base::next_line(bytes), true);
    }
    tree.set_value(property, LUMO_TYPE_TABLE,
                   std::string_view(reinterpret_cast<const char *>(&table), sizeof table));
}

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
    uint32_t identity_origin = source->add_folder(sysfs + "/class/dmi/id");

    uint64_t root =
        tree.add_pending_node(0, root_name(*source, identity_origin, kernel), devices_origin);
    for (const char *file : identity_files)
        tree.add_pending_property(root, file, identity_origin);
    tree.add_string(root, "kernel_name", kernel.sysname);
    tree.add_string(root, "kernel_release", kernel.release);
    tree.source = std::move(source);
    return true;
}

} // namespace lumo
