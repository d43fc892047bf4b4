#include "core/Logger.h"

#include <cstdio>
#include <fstream>
#include <locale>
#include <sstream>

Logger* Logger::instance() {
    static Logger logger;
    return &logger;
}

void Logger::write(const std::string& text) {
    std::ofstream out(kLogFileName, firstLogWrite ? std::ios::trunc : std::ios::app);
    firstLogWrite = false;
    if (out) out << text << "\n\n";
    out.close();  // a failed flush shows only here
    if (!out && !warnedOnce) {
        warnedOnce = true;
        std::fprintf(stderr, "tresk: cannot write the log \"%s\"; carrying on without it\n",
                     kLogFileName);
    }
}

void Logger::write(const char* text) { write(std::string(text)); }

void Logger::restart() { firstLogWrite = true; }

// The classic locale, so that a global locale set by a library can never
// turn 1234.5 into "1.234,5" in the log.
std::string toText(int32_t value) {
    std::ostringstream s;
    s.imbue(std::locale::classic());
    s << value;
    return s.str();
}

std::string toText(float value) {
    std::ostringstream s;
    s.imbue(std::locale::classic());
    s << value;
    return s.str();
}
