// The dpkg database: "status", a stanza of "Field: value" lines per package,
// the changes in "updates/" not yet folded into it, and the file lists in
// "info/" whose times tell when each package was installed.
#include "dpkg.h"

#include "io.h"
#include "look_ahead.h"
#include "text.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unordered_map>

namespace adm
{

namespace
{

// What a line says: a carriage return before the line feed is no part of it.
std::string_view content(std::string_view line)
{
    if (line.ends_with('\r'))
        line.remove_suffix(1);
    return line;
}

bool is_blank(char c)
{
    return c == ' ' || c == '\t';
}

// A line of blanks only separates stanzas as an empty line does. Most
// lines start with a field's name, which settles it at the first byte.
bool is_blank_line(std::string_view raw)
{
    if (!raw.empty() && !is_blank(raw[0]) && raw[0] != '\r')
        return false;
    return base::trim(content(raw)).empty();
}

// Field names are case-insensitive.
bool same_field(std::string_view a, std::string_view b)
{
    auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; };
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(),
                                              [&](char x, char y) { return lower(x) == lower(y); });
}

enum Field {
    package_field,
    status_field,
    architecture_field,
    version_field,
    maintainer_field,
    section_field,
    homepage_field,
    multi_arch_field,
    description_field,
    field_count
};

constexpr std::string_view field_names[field_count] = {
    "Package", "Status",   "Architecture", "Version",     "Maintainer",
    "Section", "Homepage", "Multi-Arch",   "Description",
};

// Status holds three words: what is wanted of the package, whether it needs
// reinstalling, and the state it is in. Only the state counts here.
std::optional<char> installedstate(std::string_view status)
{
    std::string_view word;
    for (int i = 0; i < 3; i++) {
        status = base::trim(status);
        if (status.empty())
            return std::nullopt;
        word = status.substr(0, std::min(status.find(' '), status.find('\t')));
        status.remove_prefix(word.size());
    }
    if (word == "installed")
        return status_installed;
    constexpr std::string_view partial_states[] = {
        "half-installed", "unpacked", "half-configured", "triggers-awaited", "triggers-pending",
    };
    for (std::string_view partial : partial_states)
        if (word == partial)
            return status_partial;
    return std::nullopt;
}

class Stanza
{
  public:
    // A line that is not empty, as it stands in the file.
    void take(std::string_view raw)
    {
        std::string_view line = content(raw);
        if (is_blank(line[0])) {
            // Continuation lines count only for the Description kept. They
            // are kept as they stand and read again by join_description().
            if (in_description_) {
                if (description_start_ == nullptr)
                    description_start_ = raw.data();
                description_end_ = raw.data() + raw.size();
            }
            return;
        }
        in_description_ = false;
        size_t colon = line.find(':');
        if (colon == std::string_view::npos)
            return;
        std::string_view name = line.substr(0, colon);
        for (int field = 0; field < field_count; field++) {
            if (!same_field(name, field_names[field]))
                continue;
            // The first of repeated fields wins.
            if (!fields_[field]) {
                fields_[field] = base::trim(line.substr(colon + 1));
                in_description_ = field == description_field;
            }
            return;
        }
    }

    // Adds the package to entries when it has a name, and makes the stanza
    // ready for the next.
    void finish(std::vector<StatusEntry> &entries)
    {
        if (fields_[package_field] && !fields_[package_field]->empty()) {
            std::optional<char> state;
            if (fields_[status_field])
                state = installedstate(*fields_[status_field]);
            StatusEntry entry;
            entry.name = *fields_[package_field];
            entry.listed = state.has_value();
            entry.status = state.value_or(status_installed);
            entry.arch = fields_[architecture_field];
            entry.version = fields_[version_field];
            entry.maintainer = fields_[maintainer_field];
            entry.section = fields_[section_field];
            entry.homepage = fields_[homepage_field];
            entry.multi_arch = fields_[multi_arch_field];
            entry.synopsis = fields_[description_field];
            if (description_start_ != nullptr)
                entry.description = std::string_view(
                    description_start_, static_cast<size_t>(description_end_ - description_start_));
            entries.push_back(entry);
        }
        *this = Stanza();
    }

  private:
    std::optional<std::string_view> fields_[field_count];
    bool in_description_ = false;
    const char *description_start_ = nullptr;
    const char *description_end_ = nullptr;
};

// Journal files in the order of their numbers, whatever their zero padding.
bool by_number(const std::string &a, const std::string &b)
{
    auto digits = [](std::string_view n) {
        return n.substr(std::min(n.find_first_not_of('0'), n.size()));
    };
    std::string_view x = digits(a), y = digits(b);
    return x.size() != y.size() ? x.size() < y.size() : x < y;
}

// One package is told from another by its name and architecture.
std::string package_key(const StatusEntry &entry)
{
    return std::string(entry.name).append(1, '\0').append(entry.arch.value_or(""));
}

// An installed package: its instance, and its stanza among the entries.
struct Installed {
    std::string instance;
    size_t entry;
};

// When a package's file list was last written, if it has one.
struct ListTime {
    bool found;
    time_t written;
};

class DpkgSource : public LoadedSource<Installed>
{
  public:
    DpkgSource(const std::string &root, size_t journal) : root_(root), journal_cap_(journal) {}

  private:
    // The status file and the journal are read and parsed once, in one
    // pass each; their texts stay for as long as the source, since the
    // entries point into them.
    int load() override
    {
        // What the lookups ahead read is about to change.
        list_times_.stop();
        path_.assign(root_).append("/status");
        size_t length;
        int error =
            base::read_regular_file(AT_FDCWD, path_.c_str(), false, status_cap, text_, 0, length);
        if (error != 0)
            return error;
        text_.resize(length);
        entries_ = parse_status_file(text_);
        error = apply_journal(entries_);
        if (error != 0)
            return error;
        std::erase_if(entries_, [](const StatusEntry &entry) { return !entry.listed; });
        // The package tools write the file in the order of the names, so
        // the sorts below are mostly a check.
        auto by_name = [](const StatusEntry &a, const StatusEntry &b) { return a.name < b.name; };
        if (!std::is_sorted(entries_.begin(), entries_.end(), by_name))
            std::stable_sort(entries_.begin(), entries_.end(), by_name);
        installed.clear();
        installed.reserve(entries_.size());
        // A name installed for several architectures makes one instance
        // per architecture, told apart by it.
        for (size_t first = 0, end; first < entries_.size(); first = end) {
            for (end = first + 1;
                 end < entries_.size() && entries_[end].name == entries_[first].name;)
                end++;
            for (size_t i = first; i < end; i++) {
                Installed &item =
                    installed.emplace_back(Installed{std::string(entries_[i].name), i});
                if (end - first > 1)
                    item.instance.append(":").append(entries_[i].arch.value_or(""));
            }
        }
        auto by_instance = [](const Installed &a, const Installed &b) {
            return a.instance < b.instance;
        };
        if (!std::is_sorted(installed.begin(), installed.end(), by_instance))
            std::stable_sort(installed.begin(), installed.end(), by_instance);
        // The file lists are looked up in their folder held open, not by a
        // whole path each.
        path_.assign(root_).append("/info");
        info_.emplace(open(path_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        // A lookup per package is what the status file cannot spare, and
        // as much system time as all the rest: they are done ahead, beside
        // the parsing and the printing.
        list_times_.start(installed.size(), [this](size_t i, ListTime &time) {
            const StatusEntry &entry = entries_[installed[i].entry];
            char name[NAME_MAX + 1];
            struct stat st;
            time.found =
                list_name(entry, name, sizeof name) && fstatat(info_->get(), name, &st, 0) == 0;
            time.written = time.found ? st.st_mtime : 0;
        });
        return 0;
    }

    // The package tools record each change of a package in a file of
    // "updates/" named by a number, and fold these into "status" later.
    // Until then each of their stanzas stands for the package of its name
    // and architecture, the file with the highest number last.
    int apply_journal(std::vector<StatusEntry> &entries)
    {
        journal_.clear();
        std::vector<std::string> names;
        path_.assign(root_).append("/updates");
        base::Folder dir = base::open_folder(AT_FDCWD, path_.c_str(), false);
        if (!dir)
            return errno == ENOENT ? 0 : errno;
        int error = base::each_entry(dir, [&](const dirent &entry) {
            std::string_view name = entry.d_name;
            if (name.find_first_not_of("0123456789") == std::string_view::npos)
                names.emplace_back(name);
        });
        if (error != 0 || names.empty())
            return error;
        std::sort(names.begin(), names.end(), by_number);
        size_t left = journal_cap_;
        for (const std::string &name : names) {
            std::string &text = journal_.emplace_back();
            size_t length;
            // The journal as a whole is held to its cap too.
            error = base::read_regular_file(dir.fd(), name.c_str(), false,
                                            std::min(journal_file_cap, left), text, 0, length);
            // A file gone was folded into "status" since the folder was listed.
            if (error != 0 && error != ENOENT)
                return error;
            text.resize(length);
            left -= length;
        }
        merge_journal(entries, journal_);
        return 0;
    }

    std::shared_ptr<Package> make_package(const Installed &item) override
    {
        const StatusEntry &entry = entries_[item.entry];
        auto package = std::make_shared<Package>(item.instance);
        package->status = entry.status;
        auto size = [](std::optional<std::string_view> field) { return field ? field->size() : 0; };
        // The names, their NULs and the stand-ins take less than 128 bytes.
        package->reserve(size(entry.synopsis) + size(entry.arch) + size(entry.version) +
                             2 * size(entry.maintainer) + size(entry.section) +
                             entry.description.size() + size(entry.homepage) + 128,
                         10);
        // Fields that the package tools do not require of a package still
        // get a value, so one such package does not end the list.
        package->add("NAME",
                     entry.synopsis && !entry.synopsis->empty() ? *entry.synopsis : entry.name);
        if (entry.arch)
            package->add("ARCH", *entry.arch);
        if (entry.version)
            package->add("VERSION", *entry.version);
        if (entry.maintainer)
            package->add("VENDOR", *entry.maintainer);
        package->add("BASEDIR", "/");
        package->add("CATEGORY",
                     entry.section && !entry.section->empty() ? *entry.section : "Unspecified");
        if (!entry.description.empty())
            package->add("DESC", join_description(entry.description));
        if (const ListTime &time = list_times_.get(static_cast<size_t>(&item - installed.data()));
            time.found)
            if (std::string date = base::install_date(time.written); !date.empty())
                package->add("INSTDATE", date);
        if (entry.maintainer)
            if (std::optional<std::string_view> address = maintainer_address(*entry.maintainer))
                package->add("EMAIL", *address);
        if (entry.homepage)
            package->add("HOTLINE", *entry.homepage);
        return package;
    }

    std::string root_;
    size_t journal_cap_;
    std::string path_;
    std::string text_;
    std::deque<std::string> journal_; // stays put as it grows
    std::vector<StatusEntry> entries_;
    std::optional<base::Fd> info_; // the folder of the file lists
    // By position in installed. Last, so that its thread ends before what
    // it reads goes.
    base::LookAhead<ListTime> list_times_;
};

} // namespace

std::vector<StatusEntry> parse_status_file(std::string_view text)
{
    std::vector<StatusEntry> entries;
    Stanza stanza;
    while (!text.empty()) {
        std::string_view raw = base::next_line(text);
        if (is_blank_line(raw))
            stanza.finish(entries);
        else
            stanza.take(raw);
    }
    stanza.finish(entries);
    return entries;
}

void merge_journal(std::vector<StatusEntry> &entries, const std::deque<std::string> &journal)
{
    std::unordered_map<std::string, size_t> by_package;
    for (size_t i = 0; i < entries.size(); i++)
        by_package.emplace(package_key(entries[i]), i);
    for (const std::string &text : journal)
        for (const StatusEntry &entry : parse_status_file(text)) {
            auto [found, added] = by_package.emplace(package_key(entry), entries.size());
            if (added)
                entries.push_back(entry);
            else
                entries[found->second] = entry;
        }
}

std::string join_description(std::string_view continuation)
{
    return base::fold_lines(continuation, [](std::string_view line) {
        line = content(line);
        // Only the blank that marks the continuation goes.
        if (!line.empty() && is_blank(line[0]))
            line.remove_prefix(1);
        return line == "." ? std::nullopt : std::optional(line);
    });
}

// The list of a package that may be installed for several architectures at
// once (Multi-Arch: same) is "NAME:ARCH.list" in "info/", every other
// package's "NAME.list".
bool list_name(const StatusEntry &entry, char *name, size_t room)
{
    if (entry.name.find('/') != std::string_view::npos ||
        (entry.arch && entry.arch->find('/') != std::string_view::npos))
        return false;
    size_t length = 0;
    auto append = [&](std::string_view part) {
        if (part.size() >= room - length)
            return false;
        memcpy(name + length, part.data(), part.size());
        length += part.size();
        name[length] = '\0';
        return true;
    };
    return append(entry.name) &&
           (entry.multi_arch != "same" || !entry.arch || (append(":") && append(*entry.arch))) &&
           append(".list");
}

std::unique_ptr<Source> open_dpkg_source(const std::string &root, size_t journal)
{
    return std::make_unique<DpkgSource>(root, journal);
}

} // namespace adm
