// librpm waits without end on a database held by a writer, so it is loaded
// and read in a reader process alone, which streams each header's fields
// back; one silent too long is killed and the enumeration fails instead.
#include "rpm.h"

#include "io.h"
#include "reader.h"
#include "text.h"

#include <rpm/header.h>
#include <rpm/rpmdb.h>
#include <rpm/rpmmacro.h>
#include <rpm/rpmtd.h>
#include <rpm/rpmts.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <dlfcn.h>
#include <fcntl.h>
#include <sys/stat.h>

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

// The tags of the fields, in the order of RpmField.
constexpr rpmTagVal field_tags[rpm_field_count] = {
    RPMTAG_NAME,     RPMTAG_EPOCH,       RPMTAG_VERSION,     RPMTAG_RELEASE,  RPMTAG_ARCH,
    RPMTAG_SUMMARY,  RPMTAG_GROUP,       RPMTAG_VENDOR,      RPMTAG_PACKAGER, RPMTAG_URL,
    RPMTAG_PREFIXES, RPMTAG_DESCRIPTION, RPMTAG_INSTALLTIME,
};

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

// The child's side of the channel, sent in frames of about 64 KiB.
struct Stream {
    int channel = -1;
    std::string frame = std::string(base::frame_header, '\0');
};

void flush(Stream &out)
{
    // The parent is gone or gave up: nobody is left to tell.
    if (!base::send_frame(out.channel, out.frame.data(),
                          static_cast<int32_t>(out.frame.size() - base::frame_header)))
        _exit(1);
    out.frame.resize(base::frame_header);
}

void send(Stream &out, std::string_view field)
{
    out.frame.append(field).push_back('\0');
    if (out.frame.size() >= 65536)
        flush(out);
}

[[noreturn]] void finish(Stream &out, int error)
{
    char mark[16];
    (void)snprintf(mark, sizeof mark, "%c%d", end_mark, error);
    send(out, mark);
    flush(out);
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

// The database folder and its backend.
using Request = std::pair<const char *, const char *>;

// The reader: reads every header of the database once and sends its fields.
// Its standard error is /dev/null, where librpm's complaints go.
void read_database(int channel, void *context)
{
    const Request &request = *static_cast<const Request *>(context);
    Stream out;
    out.channel = channel;
    Rpm rpm;
    if (!load_rpm(rpm))
        finish(out, ELIBACC);
    // The host's macro files are not read: they may point elsewhere (even
    // into $HOME), and reading needs nothing but where and how.
    (void)rpm.push_macro(nullptr, "_dbpath", nullptr, request.first, RMIL_CMDLINE);
    (void)rpm.push_macro(nullptr, "_db_backend", nullptr, request.second, RMIL_CMDLINE);
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
    base::Fd fd(
        open((folder + "/.rpm.lock").c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
    struct flock probe = {};
    probe.l_type = F_RDLCK;
    probe.l_whence = SEEK_SET;
    return fd.get() >= 0 && fcntl(fd.get(), F_GETLK, &probe) == 0 && probe.l_type != F_UNLCK;
}

std::string_view arch_of(const RpmHeader &item)
{
    // A header without one, a public key for one, belongs to no architecture.
    return item.fields[rpm_arch].empty() ? "noarch" : item.fields[rpm_arch];
}

class RpmSource : public LoadedSource<RpmHeader>
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
        base::ReaderProcess reader;
        Request request{folder_.c_str(), backend_};
        int error = reader.start(read_database, &request);
        text_.clear();
        // Until the reader ends, each frame within the silence limit.
        while (error == 0)
            error =
                reader.receive(text_, rpm_stream_cap,
                               base::Clock::now() + std::chrono::milliseconds(silence_limit_ms));
        if (error != EPIPE)
            return error == ENODATA ? EIO : error;
        error = parse_rpm_stream(text_, installed);
        if (error == 0)
            name_rpm_instances(installed);
        return error;
    }

    std::shared_ptr<Package> make_package(const RpmHeader &item) override
    {
        return rpm_package(item);
    }

    std::string folder_;
    const char *backend_;
    std::string text_; // what the reader sent; the fields point into it
};

} // namespace

int parse_rpm_stream(std::string_view stream, std::vector<RpmHeader> &headers)
{
    headers.clear();
    RpmHeader item;
    int field = 0;
    // Each field ends with a NUL; what follows the last one is no field.
    while (stream.find('\0') != std::string_view::npos) {
        std::string_view value = base::next_line(stream, '\0');
        if (field == 0 && stream.empty() && value.starts_with(end_mark)) {
            int error = EIO;
            auto [at, failed] =
                std::from_chars(value.data() + 1, value.data() + value.size(), error);
            return failed == std::errc() && at == value.data() + value.size() && error >= 0 ? error
                                                                                            : EIO;
        }
        item.fields[field++] = value;
        if (field == rpm_field_count) {
            // A header without a name cannot be told from any other.
            if (!item.fields[rpm_name].empty())
                headers.push_back(item);
            field = 0;
        }
    }
    return EIO;
}

void name_rpm_instances(std::vector<RpmHeader> &headers)
{
    auto by_name = [](const RpmHeader &a, const RpmHeader &b) {
        return a.fields[rpm_name] < b.fields[rpm_name];
    };
    std::stable_sort(headers.begin(), headers.end(), by_name);
    for (size_t first = 0, end; first < headers.size(); first = end) {
        end = first + 1;
        while (end < headers.size() && !by_name(headers[first], headers[end]))
            end++;
        for (size_t i = first; i < end; i++) {
            RpmHeader &item = headers[i];
            item.instance.assign(item.fields[rpm_name]);
            if (end - first == 1)
                continue;
            bool shared_arch = false;
            for (size_t j = first; j < end; j++)
                shared_arch = shared_arch || (j != i && arch_of(headers[j]) == arch_of(item));
            if (shared_arch)
                item.instance.append("-")
                    .append(item.fields[rpm_version])
                    .append("-")
                    .append(item.fields[rpm_release]);
            item.instance.append(".").append(arch_of(item));
        }
    }
    std::stable_sort(headers.begin(), headers.end(), [](const RpmHeader &a, const RpmHeader &b) {
        return a.instance < b.instance;
    });
}

std::shared_ptr<Package> rpm_package(const RpmHeader &item)
{
    const std::string_view *fields = item.fields;
    auto package = std::make_shared<Package>(item.instance);
    // Each value is made of fields, the packager's used twice at most, or
    // is a short stand-in or date; with the names, NULs and separators these
    // take less than 160 bytes.
    size_t bytes = 160 + fields[rpm_packager].size();
    for (std::string_view field : item.fields)
        bytes += field.size();
    package->reserve(bytes, 10);
    package->add("NAME", fields[rpm_summary].empty() ? fields[rpm_name] : fields[rpm_summary]);
    package->add("ARCH", arch_of(item));
    std::string version;
    if (!fields[rpm_epoch].empty())
        version.append(fields[rpm_epoch]).append(":");
    version.append(fields[rpm_version]).append("-").append(fields[rpm_release]);
    package->add("VERSION", version);
    std::string_view vendor =
        fields[rpm_vendor].empty() ? fields[rpm_packager] : fields[rpm_vendor];
    if (!vendor.empty())
        package->add("VENDOR", vendor);
    package->add("BASEDIR", fields[rpm_prefix].empty() ? "/" : fields[rpm_prefix]);
    package->add("CATEGORY", fields[rpm_group].empty() ? "Unspecified" : fields[rpm_group]);
    // The description on one line: its lines without their surrounding
    // blanks, the empty ones that part paragraphs left out.
    std::string description = base::fold_lines(fields[rpm_description], [](std::string_view line) {
        line = base::trim(line, " \t\r");
        return line.empty() ? std::nullopt : std::optional(line);
    });
    if (!description.empty())
        package->add("DESC", description);
    std::string_view seconds = fields[rpm_install_time];
    time_t when;
    auto [end, failed] = std::from_chars(seconds.data(), seconds.data() + seconds.size(), when);
    if (failed == std::errc() && end == seconds.data() + seconds.size() && !seconds.empty())
        if (std::string date = base::install_date(when); !date.empty())
            package->add("INSTDATE", date);
    if (std::optional<std::string_view> address = maintainer_address(fields[rpm_packager]))
        package->add("EMAIL", *address);
    if (!fields[rpm_url].empty())
        package->add("HOTLINE", fields[rpm_url]);
    return package;
}

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
