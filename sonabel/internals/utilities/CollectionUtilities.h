#pragma once
// Emptiness and containment tests on collections, and collections of zeros.
#include <algorithm>
#include <cstddef>
#include <iterator>

namespace sonabel {

template <class Collection> bool isEmpty(const Collection& c) {
    return std::empty(c);
}
template <class Collection> bool isNotEmpty(const Collection& c) {
    return !std::empty(c);
}

template <class Sequence, class Element> bool doesNotContain(const Sequence& s, const Element& e) {
    return std::find(std::begin(s), std::end(s), e) == std::end(s);
}

template <class Collection> Collection zeros(std::size_t count) {
    Collection c;
    for (std::size_t i = 0; i < count; ++i)
        c.insert(c.end(), 0);
    return c;
}

} // namespace sonabel
