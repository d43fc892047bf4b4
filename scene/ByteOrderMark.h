// The UTF-8 byte-order mark that some editors put at the start of a text
// file. The readers skip it there: it is no part of the first word or line.
#pragma once

#include <cstddef>
#include <cstring>

// Its length when the text from begin to end starts with the mark, else 0.
inline size_t byteOrderMarkLength(const char* begin, const char* end) {
    constexpr size_t kLength = 3;
    return size_t(end - begin) >= kLength && std::memcmp(begin, "\xEF\xBB\xBF", kLength) == 0
               ? kLength
               : 0;
}
