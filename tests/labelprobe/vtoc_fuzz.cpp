// read_vtoc over any device contents against a model of the label layout:
// 0 and the text for a valid sector 0, -5 for "EFI PART" at sector 1, else -4.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <sys/mman.h>
#include <sys/vtoc.h>
#include <unistd.h>

static int model_result(const uint8_t *data, size_t size)
{
    uint8_t sum[2] = {};
    for (size_t i = 0; i < size && i < 512; i++)
        sum[i % 2] ^= data[i];
    if (size >= 512 && data[508] == 0xDA && data[509] == 0xBE && sum[0] == 0 && sum[1] == 0)
        return 0;
    return size >= 520 && memcmp(data + 512, "EFI PART", 8) == 0 ? -5 : -4;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static int fd = memfd_create("device", 0);
    if (fd < 0 || ftruncate(fd, 0) != 0 || pwrite(fd, data, size, 0) != static_cast<ssize_t>(size))
        abort();

    struct vtoc vtoc = {};
    int result = read_vtoc(fd, &vtoc);
    if (result != model_result(data, size) ||
        (result == 0 && memcmp(vtoc.v_asciilabel, data, sizeof vtoc.v_asciilabel) != 0))
        abort();
    return 0;
}
