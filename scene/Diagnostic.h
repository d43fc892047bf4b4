// Diagnostic: a problem met while reading a scene or a model, handed back
// to the caller as a value. The scene layer only reports; the program on
// top decides whether the log, stderr or a message box gets it.
#pragma once

#include <string>
#include <vector>

enum class Severity {
    Note,     // informs only: nothing that could show was lost
    Warning,  // the scene loads, but part of it may not be what was meant
    Error,    // a part of the scene is left out; loading goes on
    Fatal,    // reading stopped; the caller also has the text as its failure
};

struct Diagnostic {
    Severity severity = Severity::Error;
    std::string file;  // the file it concerns
    int line = 0;      // the line of that file, from 1; 0 for the file as a whole
    std::string text;  // the whole message, file and line named in it
    // What the log gets when it differs from text (a missing mesh: the box
    // says "FILE NOT FOUND", the log names the file).
    std::string logText;

    const std::string& logged() const { return logText.empty() ? text : logText; }
};

// In the order they arose.
using Diagnostics = std::vector<Diagnostic>;
