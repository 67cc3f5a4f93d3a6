#include "asn1/abstract_data.h"

#include <new>

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/asan_interface.h>
#define VB_POISON(p, n) ASAN_POISON_MEMORY_REGION(p, n)
#define VB_UNPOISON(p, n) ASAN_UNPOISON_MEMORY_REGION(p, n)
#else
#define VB_POISON(p, n) ((void)(p), (void)(n))
#define VB_UNPOISON(p, n) ((void)(p), (void)(n))
#endif

namespace ASN1 {

namespace detail {

void* FreeList::take(std::size_t size)
{
    if (size != mBlockSize || !mHead)
        return ::operator new(size);
    Block* block = mHead;
    VB_UNPOISON(block + 1, mBlockSize - sizeof(Block));
    mHead = block->next;
    --mCount;
    return block;
}

void FreeList::give(void* p, std::size_t size)
{
    if (!p)
        return;
    if (size != mBlockSize || mCount >= MaxHeld) {
        ::operator delete(p);
        return;
    }
    Block* block = static_cast<Block*>(p);
    block->next = mHead;
    mHead = block;
    ++mCount;
    // A held block is dead memory: the sanitizer reports any use of it past
    // the link word (which stays readable for the leak checker).
    VB_POISON(block + 1, mBlockSize - sizeof(Block));
}

} // namespace detail

unsigned CountBits(unsigned n)
{
    if (n == 0)
        return 32;
    if (n == 1)
        return 0;
    return 32 - __builtin_clz(n - 1);
}

int lexicographic_compare_bytes(char const* first1, char const* last1, char const* first2, char const* last2)
{
    for (; first1 != last1 && first2 != last2; ++first1, ++first2) {
        unsigned char a = static_cast<unsigned char>(*first1);
        unsigned char b = static_cast<unsigned char>(*first2);
        if (a != b)
            return int(a) - int(b);
    }
    if (first1 != last1)
        return 1;
    if (first2 != last2)
        return -1;
    return 0;
}

} // namespace ASN1
