// How the readers quote a piece of their input in a message: in double
// quotes, cut after a few dozen characters, with bytes that would garble a
// message box or a terminal written as \xNN.
#pragma once

#include <string>

inline void appendHexEscape(std::string& out, unsigned char c) {
    static const char* const kHex = "0123456789ABCDEF";
    out += "\\x";
    out += kHex[c >> 4];
    out += kHex[c & 15];
}

inline std::string quoteSnippet(const char* begin, const char* end) {
    constexpr size_t kMaxShown = 40;
    std::string out = "\"";
    size_t shown = 0;
    for (const char* p = begin; p != end; ++p, ++shown) {
        if (shown == kMaxShown) {
            out += "...";
            break;
        }
        const unsigned char c = static_cast<unsigned char>(*p);
        if (c >= 0x20 && c < 0x7f && c != '"' && c != '\\')
            out += char(c);
        else
            appendHexEscape(out, c);
    }
    return out + "\"";
}

inline std::string quoteSnippet(const std::string& text) {
    return quoteSnippet(text.data(), text.data() + text.size());
}

// A whole message with its control bytes written as \xNN: a name or a text
// that came from a file may hold any byte, and a NUL would end the message
// where it is shown while a line feed or an escape sequence garbles the log
// and the terminal. Other bytes, UTF-8 among them, stay as they are.
inline std::string escapeControlBytes(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    for (const char ch : text) {
        const unsigned char c = static_cast<unsigned char>(ch);
        if (c >= 0x20 && c != 0x7f)
            out += ch;
        else
            appendHexEscape(out, c);
    }
    return out;
}
