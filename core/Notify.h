// User-facing notices that do not stop the work in hand (for instance a
// mesh file that is missing). The viewer shows them in a message box;
// command-line tools leave the default, which prints them to stderr.
#pragma once

#include <functional>
#include <string>

using NoticeHandler = std::function<void(const std::string& text, const std::string& caption)>;

void setNoticeHandler(NoticeHandler handler);
void showNotice(const std::string& text, const std::string& caption);
