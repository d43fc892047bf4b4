// How the readers quote a piece of their input in a message: in double
// quotes, cut after a few dozen characters, with bytes that would garble a
// message box or a terminal written as \xNN.
#pragma once

#include <string>

inline std::string quoteSnippet(const char* begin, const char* end) {
    constexpr size_t kMaxShown = 40;
    static const char* const kHex = "0123456789ABCDEF";
    std::string out = "\"";
    size_t shown = 0;
    for (const char* p = begin; p != end; ++p, ++shown) {
        if (shown == kMaxShown) {
            out += "...";
            break;
        }
        const unsigned char c = static_cast<unsigned char>(*p);
        if (c >= 0x20 && c < 0x7f && c != '"' && c != '\\') {
            out += char(c);
        } else {
            out += "\\x";
            out += kHex[c >> 4];
            out += kHex[c & 15];
        }
    }
    return out + "\"";
}

inline std::string quoteSnippet(const std::string& text) {
    return quoteSnippet(text.data(), text.data() + text.size());
}

// Text from outside (a library's message, a name a file gives) made fit for
// a message: control bytes, which would garble a message box, a terminal or
// the log, written as \xNN; other bytes, UTF-8 included, kept.
inline std::string escapeControlBytes(const std::string& text) {
    static const char* const kHex = "0123456789ABCDEF";
    std::string out;
    out.reserve(text.size());
    for (const char byte : text) {
        const unsigned char c = static_cast<unsigned char>(byte);
        if (c >= 0x20 && c != 0x7f) {
            out += byte;
        } else {
            out += "\\x";
            out += kHex[c >> 4];
            out += kHex[c & 15];
        }
    }
    return out;
}
