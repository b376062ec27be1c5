// A folder tree written from a fuzz input, for targets whose parser reads
// files. The input is text: a line "@@ PATH" starts a file holding the lines
// that follow up to the next such line, "@@/ PATH" makes a folder and
// "@@> PATH" a link whose target is the line that follows. Paths stay below
// the tree's root: empty, "." and ".." parts are dropped. Entries that cannot
// be made (a name taken, a part that is a file) are passed over.
#ifndef PROBES_TESTS_FUZZ_FILES_H
#define PROBES_TESTS_FUZZ_FILES_H

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>
#include <system_error>
#include <unistd.h>

namespace fuzz_files
{

inline std::filesystem::path below(const std::filesystem::path &root, std::string_view path)
{
    std::filesystem::path inside = root;
    for (size_t start = 0; start <= path.size();) {
        size_t end = std::min(path.find('/', start), path.size());
        std::string_view part = path.substr(start, end - start);
        if (!part.empty() && part != "." && part != "..")
            inside /= std::string(part);
        start = end + 1;
    }
    return inside;
}

inline void make_entry(const std::filesystem::path &root, char kind, std::string_view path,
                       std::string_view content)
{
    std::error_code ignored;
    std::filesystem::path where = below(root, path.substr(0, 255));
    if (where == root)
        return;
    std::filesystem::create_directories(where.parent_path(), ignored);
    if (kind == '/') {
        std::filesystem::create_directories(where, ignored);
    } else if (kind == '>') {
        std::string target(content.substr(0, content.find('\n')).substr(0, 255));
        if (!target.empty() && target.find('\0') == target.npos)
            (void)symlink(target.c_str(), where.c_str());
    } else if (!std::filesystem::exists(std::filesystem::symlink_status(where, ignored))) {
        std::ofstream(where, std::ios::binary)
            .write(content.data(), static_cast<std::streamsize>(content.size()));
    }
}

// Writes the tree of text into a new folder and removes it when it goes.
class Tree
{
  public:
    explicit Tree(std::string_view text)
    {
        std::string pattern = std::filesystem::temp_directory_path() / "fuzz-files.XXXXXX";
        if (mkdtemp(pattern.data()) == nullptr)
            abort();
        root = pattern;
        char kind = 0;
        std::string_view path;
        const char *content_start = nullptr;
        auto finish = [&](const char *end) {
            if (kind != 0)
                make_entry(root, kind, path,
                           content_start ? std::string_view(content_start, end - content_start)
                                         : std::string_view());
        };
        size_t entries = 0;
        for (size_t start = 0; start < text.size() && entries < 64;) {
            size_t end = std::min(text.find('\n', start), text.size());
            std::string_view line = text.substr(start, end - start);
            if (line.starts_with("@@") && line.size() >= 3) {
                finish(line.data());
                entries++;
                kind = line[2] == '/' || line[2] == '>' ? line[2] : ' ';
                path = line.substr(kind == ' ' ? 2 : 3);
                while (path.starts_with(' '))
                    path.remove_prefix(1);
                content_start = text.data() + std::min(end + 1, text.size());
            }
            start = end + 1;
        }
        finish(text.data() + text.size());
    }
    ~Tree()
    {
        std::error_code ignored;
        std::filesystem::remove_all(root, ignored);
    }
    Tree(const Tree &) = delete;
    Tree &operator=(const Tree &) = delete;

    std::filesystem::path root;
};

} // namespace fuzz_files

#endif
