// The package database of a host that installs with rpm, read through
// librpm. librpm waits without end on a database held by a writer, so the
// reading runs in a child process that streams each header's fields back
// over a pipe; a child that stays silent too long is killed and the
// enumeration fails instead of hanging. The library is loaded in the child
// alone, so neither this library nor the caller depends on it.
#include "pkgdb.h"

#include <rpm/header.h>
#include <rpm/rpmdb.h>
#include <rpm/rpmmacro.h>
#include <rpm/rpmtd.h>
#include <rpm/rpmts.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <csignal>
#include <cstdio>
#include <ctime>
#include <dlfcn.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace adm
{

namespace
{

// How long the reader may stay silent before it is taken for hung.
constexpr int silence_limit_ms = 5000;

// The database files librpm's backends keep, each with its backend's name.
constexpr struct {
    const char *file;
    const char *backend;
} database_files[] = {
    {"rpmdb.sqlite", "sqlite"},
    {"Packages.db", "ndb"},
    {"Packages", "bdb_ro"},
};

// The fields the reader sends for each header, in this order, each ended by
// a NUL; a tag the header lacks is sent empty.
enum Field {
    name_field,
    epoch_field,
    version_field,
    release_field,
    arch_field,
    summary_field,
    group_field,
    vendor_field,
    packager_field,
    url_field,
    prefix_field,
    description_field,
    install_time_field,
    field_count
};

constexpr rpmTagVal field_tags[field_count] = {
    RPMTAG_NAME,     RPMTAG_EPOCH,       RPMTAG_VERSION,     RPMTAG_RELEASE,  RPMTAG_ARCH,
    RPMTAG_SUMMARY,  RPMTAG_GROUP,       RPMTAG_VENDOR,      RPMTAG_PACKAGER, RPMTAG_URL,
    RPMTAG_PREFIXES, RPMTAG_DESCRIPTION, RPMTAG_INSTALLTIME,
};

// After the headers the reader sends "E" and the error number as its last
// field: "E0" when every header was read.
constexpr char end_mark = 'E';

// librpm's functions, looked up in the child.
struct Rpm {
    decltype(&rpmPushMacro) push_macro;
    decltype(&rpmtsCreate) ts_create;
    decltype(&rpmtsSetRootDir) set_root;
    decltype(&rpmtsSetVSFlags) set_vs_flags;
    decltype(&rpmtsOpenDB) open_db;
    decltype(&rpmtsInitIterator) init_iterator;
    decltype(&rpmdbNextIterator) next_header;
    decltype(&headerGet) get;
    decltype(&rpmtdFreeData) free_data;
};

template <typename Function> bool look_up(void *library, const char *name, Function &function)
{
    function = reinterpret_cast<Function>(dlsym(library, name));
    return function != nullptr;
}

bool load_rpm(Rpm &rpm)
{
    void *library = dlopen("librpm.so.9", RTLD_LAZY | RTLD_LOCAL);
    return library != nullptr && look_up(library, "rpmPushMacro", rpm.push_macro) &&
           look_up(library, "rpmtsCreate", rpm.ts_create) &&
           look_up(library, "rpmtsSetRootDir", rpm.set_root) &&
           look_up(library, "rpmtsSetVSFlags", rpm.set_vs_flags) &&
           look_up(library, "rpmtsOpenDB", rpm.open_db) &&
           look_up(library, "rpmtsInitIterator", rpm.init_iterator) &&
           look_up(library, "rpmdbNextIterator", rpm.next_header) &&
           look_up(library, "headerGet", rpm.get) &&
           look_up(library, "rpmtdFreeData", rpm.free_data);
}

// The child's side of the pipe, written in large pieces.
struct Stream {
    int fd = -1;
    size_t used = 0;
    char buffer[65536];
};

void flush(Stream &out)
{
    for (size_t done = 0; done < out.used;) {
        ssize_t wrote = write(out.fd, out.buffer + done, out.used - done);
        if (wrote < 0 && errno == EINTR)
            continue;
        // The parent is gone or gave up: nobody is left to tell.
        if (wrote <= 0)
            _exit(1);
        done += static_cast<size_t>(wrote);
    }
    out.used = 0;
}

void send(Stream &out, std::string_view field)
{
    while (!field.empty()) {
        if (out.used == sizeof out.buffer)
            flush(out);
        size_t part = std::min(field.size(), sizeof out.buffer - out.used);
        std::copy_n(field.data(), part, out.buffer + out.used);
        out.used += part;
        field.remove_prefix(part);
    }
    if (out.used == sizeof out.buffer)
        flush(out);
    out.buffer[out.used++] = '\0';
}

[[noreturn]] void finish(Stream &out, int error)
{
    char mark[16];
    (void)snprintf(mark, sizeof mark, "%c%d", end_mark, error);
    send(out, mark);
    flush(out);
    // The parent goes on at once while this process is taken down.
    (void)close(out.fd);
    _exit(0);
}

// A tag's first value as text, empty when the header lacks it. Read raw:
// a translated summary or description would make the record depend on the
// caller's locale, and looking translations up costs more than the rest.
void send_tag(Stream &out, const Rpm &rpm, Header header, rpmTagVal tag)
{
    struct rpmtd_s value = {};
    char number[32] = "";
    const char *text = number;
    if (rpm.get(header, tag, &value, HEADERGET_MINMEM | HEADERGET_RAW) && value.count > 0) {
        switch (value.type) {
        case RPM_STRING_TYPE:
            text = static_cast<const char *>(value.data);
            break;
        case RPM_STRING_ARRAY_TYPE:
        case RPM_I18NSTRING_TYPE:
            text = static_cast<const char **>(value.data)[0];
            break;
        case RPM_INT32_TYPE:
            (void)snprintf(number, sizeof number, "%u", static_cast<uint32_t *>(value.data)[0]);
            break;
        case RPM_INT64_TYPE:
            (void)snprintf(number, sizeof number, "%llu",
                           static_cast<unsigned long long>(static_cast<uint64_t *>(value.data)[0]));
            break;
        default:
            break;
        }
    }
    send(out, text != nullptr ? text : "");
    rpm.free_data(&value);
}

// The child: reads every header of the database in folder once and sends
// its fields to fd. It never returns.
[[noreturn]] void read_database(int fd, const std::string &folder, const char *backend)
{
    Stream out;
    out.fd = fd;
    // librpm's complaints would land in the caller's error output.
    int null = open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (null >= 0)
        (void)dup2(null, STDERR_FILENO);
    Rpm rpm;
    if (!load_rpm(rpm))
        finish(out, ELIBACC);
    // The host's macro files are not read: they may point elsewhere (even
    // into $HOME), and reading needs nothing but where and how.
    (void)rpm.push_macro(nullptr, "_dbpath", nullptr, folder.c_str(), RMIL_CMDLINE);
    (void)rpm.push_macro(nullptr, "_db_backend", nullptr, backend, RMIL_CMDLINE);
    rpmts ts = rpm.ts_create();
    (void)rpm.set_root(ts, "/");
    // A query checks no signature: the keyring is never loaded.
    (void)rpm.set_vs_flags(ts, RPMVSF_MASK_NOSIGNATURES | RPMVSF_MASK_NODIGESTS);
    if (rpm.open_db(ts, O_RDONLY) != 0)
        finish(out, EIO);
    rpmdbMatchIterator headers = rpm.init_iterator(ts, RPMDBI_PACKAGES, nullptr, 0);
    if (headers != nullptr)
        while (Header header = rpm.next_header(headers))
            for (rpmTagVal tag : field_tags)
                send_tag(out, rpm, header, tag);
    finish(out, 0);
}

// Whether a process holds the database for a transaction, as rpm does with
// a write lock on this file while it installs or erases. Only asked: no
// lock is taken.
bool in_transaction(const std::string &folder)
{
    std::string path = folder + "/.rpm.lock";
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (fd < 0)
        return false;
    struct flock probe = {};
    probe.l_type = F_RDLCK;
    probe.l_whence = SEEK_SET;
    bool held = fcntl(fd, F_GETLK, &probe) == 0 && probe.l_type != F_UNLCK;
    (void)close(fd);
    return held;
}

// Reads all the reader sends into text; 0, or the error number of a reader
// that fell silent or failed.
int receive(int fd, pid_t child, std::string &text)
{
    size_t length = 0;
    int error = 0;
    for (;;) {
        if (text.size() - length < 65536)
            text.resize(std::max<size_t>(2 * text.size(), 1 << 20));
        struct pollfd ready = {fd, POLLIN, 0};
        int polled = poll(&ready, 1, silence_limit_ms);
        if (polled < 0 && errno == EINTR)
            continue;
        if (polled <= 0) {
            error = polled == 0 ? ETIMEDOUT : errno;
            break;
        }
        ssize_t got = read(fd, text.data() + length, text.size() - length);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0) {
            error = got < 0 ? errno : 0;
            break;
        }
        length += static_cast<size_t>(got);
    }
    text.resize(length);
    if (error != 0)
        (void)kill(child, SIGKILL);
    return error;
}

std::string_view trim(std::string_view text)
{
    constexpr std::string_view blanks = " \t\r";
    text.remove_prefix(std::min(text.find_first_not_of(blanks), text.size()));
    text.remove_suffix(text.size() - std::min(text.find_last_not_of(blanks) + 1, text.size()));
    return text;
}

// The description on one line: its lines without their surrounding blanks,
// the empty ones that part paragraphs left out, joined by single blanks.
std::string fold_description(std::string_view text)
{
    std::string folded;
    while (!text.empty()) {
        size_t end = text.find('\n');
        std::string_view line = trim(text.substr(0, end));
        text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
        if (line.empty())
            continue;
        if (!folded.empty())
            folded.push_back(' ');
        folded.append(line);
    }
    return folded;
}

struct Installed {
    std::string_view fields[field_count];
    std::string instance;
};

std::string_view arch_of(const Installed &item)
{
    // A header without one, a public key for one, belongs to no architecture.
    return item.fields[arch_field].empty() ? "noarch" : item.fields[arch_field];
}

class RpmSource : public LoadedSource<Installed>
{
  public:
    RpmSource(const std::string &folder, const char *backend) : folder_(folder), backend_(backend)
    {
    }

  private:
    int load() override
    {
        if (in_transaction(folder_))
            return EBUSY;
        int ends[2];
        if (pipe2(ends, O_CLOEXEC) != 0)
            return errno;
        // Room for all a large database says, so the reader seldom waits
        // for this process to be scheduled; the default is kept if refused.
        (void)fcntl(ends[1], F_SETPIPE_SZ, 1 << 20);
        pid_t child = fork();
        if (child < 0) {
            int error = errno;
            (void)close(ends[0]);
            (void)close(ends[1]);
            return error;
        }
        if (child == 0) {
            (void)close(ends[0]);
            read_database(ends[1], folder_, backend_);
        }
        (void)close(ends[1]);
        text_.clear();
        int error = receive(ends[0], child, text_);
        (void)close(ends[0]);
        if (error == 0)
            error = parse();
        if (error == 0)
            name_instances();
        (void)waitpid(child, nullptr, 0);
        if (error != 0)
            return error;
        return 0;
    }

    // The headers' fields, up to the reader's last word: the error number
    // it ended with, or EIO when it ended without one.
    int parse()
    {
        installed.clear();
        std::string_view rest = text_;
        Installed item;
        int field = 0;
        while (!rest.empty()) {
            size_t end = rest.find('\0');
            if (end == std::string_view::npos)
                break;
            std::string_view value = rest.substr(0, end);
            rest.remove_prefix(end + 1);
            if (field == 0 && rest.empty() && value.starts_with(end_mark)) {
                value.remove_prefix(1);
                int error = 0;
                for (char digit : value)
                    error = error * 10 + (digit - '0');
                return error;
            }
            item.fields[field++] = value;
            if (field == field_count) {
                // A header without a name cannot be told from any other.
                if (!item.fields[name_field].empty())
                    installed.push_back(item);
                field = 0;
            }
        }
        return EIO;
    }

    // NAME; NAME.ARCH for each of several headers of one name; and
    // NAME-VERSION-RELEASE.ARCH where that is still not unique.
    void name_instances()
    {
        auto by_name = [](const Installed &a, const Installed &b) {
            return a.fields[name_field] < b.fields[name_field];
        };
        std::stable_sort(installed.begin(), installed.end(), by_name);
        for (size_t first = 0, end; first < installed.size(); first = end) {
            end = first + 1;
            while (end < installed.size() && !by_name(installed[first], installed[end]))
                end++;
            for (size_t i = first; i < end; i++) {
                Installed &item = installed[i];
                item.instance.assign(item.fields[name_field]);
                if (end - first == 1)
                    continue;
                bool shared_arch = false;
                for (size_t j = first; j < end; j++)
                    shared_arch = shared_arch || (j != i && arch_of(installed[j]) == arch_of(item));
                if (shared_arch)
                    item.instance.append("-")
                        .append(item.fields[version_field])
                        .append("-")
                        .append(item.fields[release_field]);
                item.instance.append(".").append(arch_of(item));
            }
        }
        std::stable_sort(
            installed.begin(), installed.end(),
            [](const Installed &a, const Installed &b) { return a.instance < b.instance; });
    }

    std::shared_ptr<Package> make_package(const Installed &item) override
    {
        const std::string_view *fields = item.fields;
        auto package = std::make_shared<Package>(item.instance);
        package->add("NAME",
                     fields[summary_field].empty() ? fields[name_field] : fields[summary_field]);
        package->add("ARCH", arch_of(item));
        std::string version;
        if (!fields[epoch_field].empty())
            version.append(fields[epoch_field]).append(":");
        version.append(fields[version_field]).append("-").append(fields[release_field]);
        package->add("VERSION", version);
        std::string_view vendor =
            fields[vendor_field].empty() ? fields[packager_field] : fields[vendor_field];
        if (!vendor.empty())
            package->add("VENDOR", vendor);
        package->add("BASEDIR", fields[prefix_field].empty() ? "/" : fields[prefix_field]);
        package->add("CATEGORY", fields[group_field].empty() ? "Unspecified" : fields[group_field]);
        std::string description = fold_description(fields[description_field]);
        if (!description.empty())
            package->add("DESC", description);
        add_install_date(*package, fields[install_time_field]);
        if (std::optional<std::string_view> address = maintainer_address(fields[packager_field]))
            package->add("EMAIL", *address);
        if (!fields[url_field].empty())
            package->add("HOTLINE", fields[url_field]);
        return package;
    }

    // The header may hold the time as text, or as a number beyond any
    // date: only a decimal that fits is a time.
    static void add_install_date(Package &package, std::string_view seconds)
    {
        time_t when = 0;
        const char *end = seconds.data() + seconds.size();
        auto [stop, error] = std::from_chars(seconds.data(), end, when);
        if (seconds.empty() || error != std::errc() || stop != end)
            return;
        struct tm local;
        char date[64];
        if (localtime_r(&when, &local) != nullptr &&
            strftime(date, sizeof date, "%b %d %Y %H:%M", &local) > 0)
            package.add("INSTDATE", date);
    }

    std::string folder_;
    const char *backend_;
    std::string text_; // what the reader sent; the fields point into it
};

} // namespace

const char *rpm_database_backend(const std::string &folder)
{
    struct stat st;
    for (const auto &database : database_files)
        if (stat((folder + "/" + database.file).c_str(), &st) == 0 && S_ISREG(st.st_mode))
            return database.backend;
    return nullptr;
}

std::unique_ptr<Source> open_rpm_source(const std::string &folder, const char *backend)
{
    return std::make_unique<RpmSource>(folder, backend);
}

} // namespace adm
