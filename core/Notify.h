// User-facing notices that do not stop the work in hand (for instance a
// mesh file that is missing). Only the programs call it, when they report
// what the scene layer handed back (app/ReportDiagnostics.h): the viewer
// shows them in a message box; command-line tools leave the default, which
// prints them to stderr.
#pragma once

#include <functional>
#include <string>

using NoticeHandler = std::function<void(const std::string& text, const std::string& caption)>;

// The caption of a notice that only informs: nothing that could show was
// lost (degenerate triangles left out). The viewer writes such notices to
// stderr and the log instead of stopping the user with a box.
constexpr const char kNoteCaption[] = "Note";

void setNoticeHandler(NoticeHandler handler);
void showNotice(const std::string& text, const std::string& caption);
