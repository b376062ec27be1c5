// lumostrval over any type code, size field and value bytes. Input: 4 bytes
// of type code, 4 of size field, 1 choosing the table fetch's result, then
// the value. Sizes that end the run (an integer of another size than 1, 2,
// 4 or 8) are left out: the process would exit by design.
#include "collector.h"
#include "treeprobe.h"

#include <cstring>

const char collector_name[] = "treeprobe";
const int collector_output_failure_status = 3;

namespace
{

int table_fetch_result;

int fetch_table(uint64_t, void *buf, size_t size)
{
    uint64_t table = 1;
    if (table_fetch_result == 0)
        memcpy(buf, &table, size < sizeof table ? size : sizeof table);
    return table_fetch_result;
}

int no_cells(uint64_t, uint64_t *)
{
    return LUMO_END_OF_LIST;
}

const char *text_of(int)
{
    return "fuzzed failure";
}

char value[value_buffer_size + 1];

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 9)
        return 0;
    lumo_propinfo_t info{};
    memcpy(&info.type, data, 4);
    memcpy(&info.size, data + 4, 4);
    static const int results[] = {0, 5, LUMO_NOT_READABLE};
    table_fetch_result = results[data[8] % 3];
    bool integer = info.type == LUMO_TYPE_INT || info.type == LUMO_TYPE_UINT;
    if (integer && info.size != 1 && info.size != 2 && info.size != 4 && info.size != 8)
        return 0;

    lumo_get_propval_ptr = fetch_table;
    lumo_get_next_by_col_ptr = no_cells;
    lumo_strerror_ptr = text_of;
    size_t length = size - 9 < value_buffer_size ? size - 9 : value_buffer_size;
    memset(value, 0, sizeof value);
    memcpy(value, data + 9, length);

    const char *text = lumostrval(0x10, info, value);
    if (text == nullptr || strlen(text) > 4 * value_buffer_size)
        __builtin_trap();
    return 0;
}
