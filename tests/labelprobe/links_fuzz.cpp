// labelprobe's link walkers over any tree of links below /dev/rdsk: each
// entry of the folder is asked about as the program asks, and every walk
// ends, leaves the working directory as it found it, and gives a physical
// path without its minor name or nothing.
#include "../fuzz_files.h"
#include "collector.h"
#include "labelprobe.h"

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
            strcmp(before, after) != 0)
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
