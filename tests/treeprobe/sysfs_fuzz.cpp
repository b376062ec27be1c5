// The host source over any sysfs-like folder tree: its listing of folders,
// links and attribute files, and its splitting of each file's text into
// values. Every string it serves is one NUL-ended string, an attribute's
// without a line feed, and every name on a node is served once. Calls only
// lumo::serve_host and the tree's own builders and readers.
#include "../fuzz_files.h"
#include "sysfs.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <set>

static void check_string(const lumo::Tree &tree, const lumo::Object &object, bool one_line)
{
    std::string_view value(reinterpret_cast<const char *>(tree.value(object)), object.value_length);
    if (value.empty() || value.find('\0') != value.size() - 1 ||
        (one_line && value.find('\n') != value.npos))
        abort();
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    fuzz_files::Tree files(std::string_view(reinterpret_cast<const char *>(data), size));
    std::error_code ignored;
    std::filesystem::create_directories(files.root / "devices", ignored);
    lumo::Tree tree;
    std::string problem;
    // A device folder that is no folder is refused with the reason.
    if (!lumo::serve_host(tree, files.root, problem, {.attribute_ms = 1000, .run_ms = 5000})) {
        if (problem.empty())
            abort();
        return 0;
    }
    std::vector<uint64_t> nodes = {tree.root()};
    for (size_t visited = 0; !nodes.empty() && visited < 1000; visited++) {
        uint64_t node = nodes.back();
        nodes.pop_back();
        tree.complete(node);
        std::set<std::string_view> names;
        for (uint64_t prop = tree.find(node)->first; prop != 0; prop = tree.find(prop)->next) {
            tree.complete(prop);
            const lumo::Object &property = *tree.find(prop);
            std::string_view name = tree.name(property);
            if (!names.insert(name).second)
                abort();
            // A file that could not be read has a code instead of a value.
            if (tree.fault(prop, property, lumo::op_value) != 0)
                continue;
            // A link's target and the root's name (the product's, whose
            // inner line feeds are kept) may span lines; the output escapes
            // them.
            bool one_line = name != "driver" && name != "subsystem" && name != "name";
            if (property.type == 9) {
                check_string(tree, property, one_line);
            } else if (property.type == 6) {
                uint64_t table;
                if (property.value_length != sizeof table)
                    abort();
                memcpy(&table, tree.value(property), sizeof table);
                for (uint64_t row = tree.find(table)->first; row != 0; row = tree.find(row)->down)
                    for (uint64_t cell = row; cell != 0; cell = tree.find(cell)->next)
                        check_string(tree, *tree.find(cell), true);
            }
        }
        for (uint64_t child = tree.find(node)->down; child != 0; child = tree.find(child)->next)
            nodes.push_back(child);
    }
    return 0;
}
