// Apart from the tests that use it, so that the compiler does not pair the
// allocations it sees there with the frees here.
#include "failing_new.h"

#include <cstdint>
#include <cstdlib>
#include <new>

size_t failing_from = SIZE_MAX;

void *operator new(size_t size)
{
    void *memory = size >= failing_from ? nullptr : std::malloc(size > 0 ? size : 1);
    if (memory == nullptr)
        throw std::bad_alloc();
    return memory;
}
void operator delete(void *memory) noexcept
{
    std::free(memory);
}
void operator delete(void *memory, size_t) noexcept
{
    std::free(memory);
}
