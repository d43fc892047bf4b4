#include "render/Logger.h"

#include <cstdio>
#include <fstream>
#include <sstream>

namespace {
const char* const kLogFileName = "Log.txt";
}

Logger* Logger::instance() {
    static Logger logger;
    return &logger;
}

void Logger::write(const std::string& text) {
    std::ofstream out(kLogFileName, firstLogWrite ? std::ios::trunc : std::ios::app);
    firstLogWrite = false;
    if (out) out << text << "\n\n";
    if (!out && !warnedOnce) {
        warnedOnce = true;
        std::fprintf(stderr, "tresk: cannot write the log \"%s\"; carrying on without it\n",
                     kLogFileName);
    }
}

void Logger::write(const char* text) { write(std::string(text)); }

void Logger::restart() { firstLogWrite = true; }

std::string toText(int32_t value) {
    std::ostringstream s;
    s << value;
    return s.str();
}

std::string toText(float value) {
    std::ostringstream s;
    s << value;
    return s.str();
}
