// labelprobe's link walkers over any tree of links below /dev/rdsk: each
// entry of the folder is asked about as the program asks, and every walk
// ends, leaves the working directory as it found it, and gives the physical
// path a walk written another way gives: a change of directory for every
// link that names a folder.
#include "../fuzz_files.h"
#include "collector.h"
#include "labelprobe.h"

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <string>
#include <sys/stat.h>
#include <vector>

const char collector_name[] = "labelprobe";
const int collector_output_failure_status = 3;

// The chain from name walked one link at a time, each proved by stat: the
// working directory's path and the last name without its minor name, less
// "/devices"; "" when name is no link or a step fails.
static std::string walked_physical_name(const char *name)
{
    char start[PATH_MAX], text[1024], work[1024];
    if (getcwd(start, sizeof start) == nullptr)
        abort();
    std::string current = name, physical;
    struct stat status;
    for (int links = 0; stat(current.c_str(), &status) == 0; links++) {
        ssize_t n = readlink(current.c_str(), text, sizeof text);
        if (n < 0 && errno == EINVAL && links > 0) {
            current = current.substr(0, current.rfind(':'));
            if (getcwd(work, sizeof work) != nullptr && strlen(work) + 1 + current.size() < 1024)
                physical = std::string(work) + "/" + current;
            if (physical.compare(0, 8, "/devices") == 0)
                physical.erase(0, 8);
        }
        if (n < 0 || n >= static_cast<ssize_t>(sizeof text))
            break;
        std::string link(text, static_cast<size_t>(n));
        size_t slash = link.rfind('/');
        if (slash != std::string::npos &&
            chdir(slash == 0 ? "/" : link.substr(0, slash).c_str()) != 0)
            break;
        current = slash == std::string::npos ? link : link.substr(slash + 1);
    }
    if (chdir(start) != 0)
        abort();
    return physical;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    fuzz_files::Tree tree(std::string_view(reinterpret_cast<const char *>(data), size));
    std::filesystem::path rdsk = tree.root / "dev" / "rdsk";
    std::error_code ignored;
    std::filesystem::create_directories(rdsk, ignored);
    char start[PATH_MAX], before[PATH_MAX], after[PATH_MAX];
    if (getcwd(start, sizeof start) == nullptr)
        abort();
    // The program's own chdir fails the same way on a folder that is not one.
    if (chdir(rdsk.c_str()) != 0)
        return 0;
    if (getcwd(before, sizeof before) == nullptr)
        abort();
    fix_working_directory();
    std::vector<std::string> names;
    if (DIR *dir = opendir(".")) {
        while (const dirent *entry = readdir(dir))
            if (entry->d_name[0] != '.' && names.size() < 16)
                names.emplace_back(entry->d_name);
        (void)closedir(dir);
    }
    // The walks' error records are the program's output, not the fuzzer's.
    (void)fflush(stdout);
    int saved_stdout = dup(STDOUT_FILENO);
    FILE *null = fopen("/dev/null", "w");
    if (saved_stdout < 0 || null == nullptr || dup2(fileno(null), STDOUT_FILENO) < 0)
        abort();
    for (const std::string &name : names) {
        int whole = name_represents_wholedisk(name.c_str());
        // As the program asks: proved when the entry opens.
        struct stat status;
        char *physical = get_physical_name(name.c_str(), stat(name.c_str(), &status) == 0);
        if ((whole != 0 && whole != 1) || getcwd(after, sizeof after) == nullptr ||
            strcmp(before, after) != 0 ||
            walked_physical_name(name.c_str()) != (physical != nullptr ? physical : ""))
            abort();
        if (physical != nullptr) {
            const char *last = strrchr(physical, '/');
            if (physical[0] != '/' || last == nullptr || strchr(last, ':') != nullptr)
                abort();
            free(physical);
        }
    }
    (void)fflush(stdout);
    if (dup2(saved_stdout, STDOUT_FILENO) < 0 || chdir(start) != 0)
        abort();
    (void)close(saved_stdout);
    (void)fclose(null);
    return 0;
}
