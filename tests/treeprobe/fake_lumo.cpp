#include "fake_lumo.h"

#include "treeprobe.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sys/wait.h>
#include <unistd.h>

FakeLibrary fake;

uint64_t FakeLibrary::node(const std::string &name, uint64_t parent)
{
    uint64_t handle = next_handle++;
    objects[handle].name = name;
    if (parent == 0) {
        root = handle;
        return handle;
    }
    uint64_t *link = &objects[parent].child;
    while (*link != 0)
        link = &objects[*link].peer;
    *link = handle;
    return handle;
}

uint64_t FakeLibrary::prop(uint64_t node, const std::string &name, int32_t type,
                           const std::string &value)
{
    uint64_t handle = cell(type, value);
    (void)snprintf(objects[handle].info.name, sizeof objects[handle].info.name, "%s", name.c_str());
    uint64_t *link = &objects[node].first_prop;
    while (*link != 0)
        link = &objects[*link].next;
    *link = handle;
    return handle;
}

uint64_t FakeLibrary::cell(int32_t type, const std::string &value)
{
    uint64_t handle = next_handle++;
    FakeObject &object = objects[handle];
    object.info.type = type;
    object.info.size = static_cast<uint32_t>(value.size());
    object.value = value;
    return handle;
}

uint64_t FakeLibrary::table(const std::vector<std::vector<uint64_t>> &rows)
{
    uint64_t handle = next_handle++;
    uint64_t *row_link = &objects[handle].below;
    for (const auto &row : rows) {
        for (size_t i = 0; i + 1 < row.size(); i++)
            objects[row[i]].next = row[i + 1];
        if (!row.empty()) {
            *row_link = row[0];
            row_link = &objects[row[0]].below;
        }
    }
    return handle;
}

uint64_t FakeLibrary::table_prop(uint64_t node, const std::string &name, uint64_t table)
{
    return prop(node, name, LUMO_TYPE_TABLE, bytes_of(table));
}

std::string fake_text(int code)
{
    return "text " + std::to_string(code);
}

namespace
{

int fake_initialize()
{
    return fake.initialize_code;
}

// Says so on standard error, which the program itself never writes, so a
// test can tell whether the walk completed.
int fake_shutdown()
{
    (void)fputs("lumo_shutdown\n", stderr);
    return 0;
}

int fake_get_root(uint64_t *root)
{
    if (fake.root_code != 0)
        return fake.root_code;
    *root = fake.root;
    return 0;
}

int follow(int code, uint64_t link, uint64_t *out, int missing)
{
    if (code != 0)
        return code;
    if (link == 0)
        return missing;
    *out = link;
    return 0;
}

int fake_get_first_prop(uint64_t node, uint64_t *prop)
{
    FakeObject &object = fake[node];
    return follow(object.first_prop_code, object.first_prop, prop, LUMO_END_OF_LIST);
}

int fake_get_next_prop(uint64_t prop, uint64_t *next)
{
    FakeObject &object = fake[prop];
    return follow(object.next_code, object.next, next, LUMO_END_OF_LIST);
}

int fake_get_propinfo(uint64_t prop, lumo_propinfo_t *info)
{
    FakeObject &object = fake[prop];
    if (object.info_code != 0)
        return object.info_code;
    *info = object.info;
    return 0;
}

int copy(const std::string &value, void *buf, size_t size)
{
    memcpy(buf, value.data(), value.size() < size ? value.size() : size);
    return 0;
}

int fake_get_propval(uint64_t prop, void *buf, size_t size)
{
    fake.fetch_sizes.push_back(size);
    FakeObject &object = fake[prop];
    if (object.value_code != 0)
        return object.value_code;
    return copy(object.value, buf, size);
}

int fake_get_propval_by_name(uint64_t node, const char *name, void *buf, size_t size)
{
    FakeObject &object = fake[node];
    if (strcmp(name, "name") == 0)
        return object.name_code != 0 ? object.name_code
                                     : copy(string_value(object.name), buf, size);
    uint64_t link;
    int code = strcmp(name, "_child") == 0
                   ? follow(object.child_code, object.child, &link, LUMO_NO_SUCH_PROPERTY)
                   : follow(object.peer_code, object.peer, &link, LUMO_NO_SUCH_PROPERTY);
    return code != 0 ? code : copy(bytes_of(link), buf, size);
}

int fake_get_next_by_row(uint64_t cell, uint64_t *next)
{
    FakeObject &object = fake[cell];
    return follow(object.next_code, object.next, next, LUMO_END_OF_LIST);
}

int fake_get_next_by_col(uint64_t table_or_cell, uint64_t *next)
{
    FakeObject &object = fake[table_or_cell];
    return follow(object.below_code, object.below, next, LUMO_END_OF_LIST);
}

const char *fake_strerror(int code)
{
    static std::string text;
    text = fake_text(code);
    return text.c_str();
}

} // namespace

void bind_fake()
{
    fake = FakeLibrary();
    lumo_initialize_ptr = fake_initialize;
    lumo_shutdown_ptr = fake_shutdown;
    lumo_get_root_ptr = fake_get_root;
    lumo_get_first_prop_ptr = fake_get_first_prop;
    lumo_get_next_prop_ptr = fake_get_next_prop;
    lumo_get_propinfo_ptr = fake_get_propinfo;
    lumo_get_propval_ptr = fake_get_propval;
    lumo_get_propval_by_name_ptr = fake_get_propval_by_name;
    lumo_get_next_by_row_ptr = fake_get_next_by_row;
    lumo_get_next_by_col_ptr = fake_get_next_by_col;
    lumo_strerror_ptr = fake_strerror;
}
