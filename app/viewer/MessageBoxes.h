// Message boxes of the viewer. Each box has no owner window; its text also
// goes to stderr, so a run without a working display still says what
// happened.
#pragma once

#include <string>

// Yes/No question; Return answers Yes, Escape answers No. A box that cannot
// be shown, or is closed without an answer, counts as No.
bool askYesNo(const std::string& text, const std::string& caption);
// A box with the exclamation (warning) icon; its text is wrapped at about
// 70 characters (stderr gets it on one line).
void showErrorBox(const std::string& text, const std::string& caption);
