#include "asn1/abstract_data.h"

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/asan_interface.h>
#endif

namespace ASN1 {

namespace detail {

#if defined(__SANITIZE_ADDRESS__)
void FreeList::poison(Block* block) const
{
    ASAN_POISON_MEMORY_REGION(block + 1, mBlockSize - sizeof(Block));
}

void FreeList::unpoison(Block* block) const
{
    ASAN_UNPOISON_MEMORY_REGION(block + 1, mBlockSize - sizeof(Block));
}
#endif

} // namespace detail

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
