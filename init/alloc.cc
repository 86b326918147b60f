#include "init/alloc.h"

#include <cstdlib>

void* tclAlloc(size_t size) { return std::malloc(size); }
void* tclRealloc(void* p, size_t size) { return std::realloc(p, size); }
void tclFree(void* p) { std::free(p); }
void* gmemAlloc(size_t size) { return std::malloc(size); }
void* gmemRealloc(void* p, size_t size) { return std::realloc(p, size); }
void gmemFree(void* p) { std::free(p); }
