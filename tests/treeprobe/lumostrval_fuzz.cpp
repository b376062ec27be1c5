// lumostrval over any 4 bytes of type, 4 of size, 1 choosing the table fetch's
// result, and value; integers of other sizes than 1, 2, 4, 8 end the run.
#include "treeprobe.h"

#include <cstring>

static int table_fetch_result;
static char value[value_buffer_size + 1];

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    lumo_propinfo_t info{};
    if (size < 9)
        return 0;
    memcpy(&info.type, data, 4);
    memcpy(&info.size, data + 4, 4);
    table_fetch_result = data[8] % 3 == 0 ? 0 : data[8] % 3 == 1 ? 5 : LUMO_NOT_READABLE;
    if ((info.type == LUMO_TYPE_INT || info.type == LUMO_TYPE_UINT) && info.size != 1 &&
        info.size != 2 && info.size != 4 && info.size != 8)
        return 0;
    // Every table has the handle 1 and no cells.
    lumo_get_propval_ptr = [](uint64_t, void *buf, size_t length) {
        uint64_t table = 1;
        memcpy(buf, &table, table_fetch_result != 0 ? 0 : length < 8 ? length : 8);
        return table_fetch_result;
    };
    lumo_get_next_by_col_ptr = [](uint64_t, uint64_t *) { return int{LUMO_END_OF_LIST}; };
    lumo_strerror_ptr = [](int) { return "fuzzed failure"; };
    memset(value, 0, sizeof value);
    memcpy(value, data + 9, size - 9 < value_buffer_size ? size - 9 : value_buffer_size);
    if (strlen(lumostrval(0x10, info, value)) > 4 * value_buffer_size)
        __builtin_trap();
    return 0;
}
