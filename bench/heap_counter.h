// Heap allocations made by a benchmark program: heap_counter.cpp replaces the global operator
// new of the program it is linked into and counts each call.
#ifndef NIMBUSDALE_BENCH_HEAP_COUNTER_H
#define NIMBUSDALE_BENCH_HEAP_COUNTER_H

namespace nimbusdale::bench {

/// Calls of operator new so far, on every thread.
long heapAllocations();

}  // namespace nimbusdale::bench

#endif
