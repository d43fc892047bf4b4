// Logger: the progress log "Log.txt" in the working directory. Each entry is
// one line followed by an empty line; the first entry of a run starts the
// file afresh. A log that cannot be written never stops the program.
#pragma once

#include <cstdint>
#include <string>

// The log's name, in the working directory.
inline constexpr const char* kLogFileName = "Log.txt";

class Logger {
public:
    static Logger* instance();

    void write(const std::string& text);
    void write(const char* text);

    // Makes the next entry start the file afresh, as at program start.
    void restart();

private:
    Logger() = default;

    bool firstLogWrite = true;
    bool warnedOnce = false;
};

// Numbers for log entries, in the stream's default format: six significant
// digits for floats, so 47 ms is written "47".
std::string toText(int32_t value);
std::string toText(float value);
