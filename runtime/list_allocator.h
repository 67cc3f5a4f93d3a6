// A fixed pool of N objects on a free list, in static storage.
#pragma once

#include <cstddef>
#include <cstdint>
#include <new>

#include "runtime/dual_list.h"

// Lock policy of a pool used from the one loop thread only.
struct Dummy_critical_section {
    void lock() {}
    void unlock() {}
};

// The storage is a zero-filled static array that is never written before
// a block is first handed out: the blocks are built one by one on their
// first allocation, so pages of buffers never used stay unbacked.
//
// Order of reuse: never-used blocks in array order, then freed blocks in
// the order they were freed. That is the order of a free list threaded
// over the whole array at start-up, without the start-up writes.
template <class T, unsigned N, class Lock>
class List_allocator {
public:
    struct List_storage : F_dual_list_item<List_storage> {
        T value;
    };

    // Null when every block is taken.
    static T* allocate()
    {
        Guard g;
        if (sFresh < N) {
            List_storage* b = new (block(sFresh++)) List_storage; // no value-init: the area stays untouched
            return &b->value;
        }
        List_storage* b = sFree.remove_from_head();
        return b ? &b->value : nullptr;
    }

    static void deallocate(T* p)
    {
        Guard g;
        sFree.insert_to_tail(block(index_of(p)));
    }

    // Blocks that allocate() can still hand out.
    static unsigned available() { return N - sFresh + sFree.size(); }
    static unsigned capacity() { return N; }
    // Blocks that have been handed out at least once.
    static unsigned touched() { return sFresh; }
    static const void* storage() { return sRaw; }
    static size_t storage_size() { return sizeof(sRaw); }

    static bool owns(const T* p)
    {
        const unsigned char* a = reinterpret_cast<const unsigned char*>(p);
        return a >= sRaw && a < sRaw + sizeof(sRaw) && &block(index_of(p))->value == p;
    }

private:
    struct Guard {
        Lock lock;
        Guard() { lock.lock(); }
        ~Guard() { lock.unlock(); }
    };

    static List_storage* block(unsigned i) { return reinterpret_cast<List_storage*>(sRaw + i * sizeof(List_storage)); }
    static unsigned index_of(const T* p)
    {
        return static_cast<unsigned>((reinterpret_cast<const unsigned char*>(p) - sRaw) / sizeof(List_storage));
    }

    alignas(List_storage) static inline unsigned char sRaw[N * sizeof(List_storage)];
    static inline F_dual_list<List_storage> sFree;
    static inline unsigned sFresh = 0;
};
