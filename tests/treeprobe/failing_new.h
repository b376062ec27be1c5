// The test program's allocations, made to fail from a size on, as where
// memory runs out.
#ifndef PROBES_TESTS_TREEPROBE_FAILING_NEW_H
#define PROBES_TESTS_TREEPROBE_FAILING_NEW_H

#include <cstddef>

// Allocations of at least this many bytes fail; none does at first.
extern size_t failing_from;

#endif
