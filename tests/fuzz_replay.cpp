// Replays a fuzz target's corpus as an ordinary test: every file under the
// folders named on the command line goes through the target once.
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);

int main(int argc, char *argv[])
{
    size_t count = 0;
    for (int i = 1; i < argc; i++)
        for (const auto &entry : std::filesystem::recursive_directory_iterator(argv[i]))
            if (entry.is_regular_file()) {
                std::ifstream file(entry.path(), std::ios::binary);
                std::string bytes{std::istreambuf_iterator<char>(file), {}};
                (void)LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t *>(bytes.data()),
                                             bytes.size());
                count++;
            }
    std::printf("replayed %zu inputs\n", count);
    return count == 0;
}
