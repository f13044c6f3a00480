#pragma once
namespace unwind_chain {
// Calls probe(context) once from a qsort comparator, under std::call_once; returns 1.
int run(void (*probe)(void*), void* context);
}  // namespace unwind_chain
