#pragma once

#include <algorithm>
#include <cstddef>
#include <vector>

namespace kov {

// Keeps in `heap` the `limit` items that rank first under `before`, as a heap whose top is the
// worst of them, so that each offer costs a comparison with that one and at most a log-time swap.
template <class T, class Before>
void keep_best(std::vector<T>& heap, const T& item, std::size_t limit, Before before) {
    if (heap.size() < limit) {
        heap.push_back(item);
        std::push_heap(heap.begin(), heap.end(), before);
    } else if (before(item, heap.front())) {
        std::pop_heap(heap.begin(), heap.end(), before);
        heap.back() = item;
        std::push_heap(heap.begin(), heap.end(), before);
    }
}

}  // namespace kov
