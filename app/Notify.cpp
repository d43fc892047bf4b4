#include "app/Notify.h"

#include <cstdio>
#include <utility>

namespace {
NoticeHandler gHandler;
}

void setNoticeHandler(NoticeHandler handler) { gHandler = std::move(handler); }

void showNotice(const std::string& text, const std::string& caption) {
    if (gHandler) {
        gHandler(text, caption);
        return;
    }
    if (caption == kOverlayCaption) return;
    std::fprintf(stderr, "%s: %s\n", caption.c_str(), text.c_str());
}
