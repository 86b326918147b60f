// Allocation wrappers used across the package.  Both families are the C
// library allocator, so memory from either may be freed by either.
#pragma once
#include <cstddef>

void* tclAlloc(size_t size);
void* tclRealloc(void* p, size_t size);
void tclFree(void* p);
void* gmemAlloc(size_t size);
void* gmemRealloc(void* p, size_t size);
void gmemFree(void* p);
