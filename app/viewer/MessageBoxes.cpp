#include "app/viewer/MessageBoxes.h"

#include <SDL.h>

#include <cstdio>

namespace {

// A busy X server can refuse a new connection for a moment (the box opens
// one of its own), so a box that fails is tried again before giving up.
constexpr int kBoxAttempts = 3;
constexpr Uint32 kRetryDelayMs = 100;

int showBox(const SDL_MessageBoxData& box, int* answer) {
    for (int attempt = 1;; ++attempt) {
        if (SDL_ShowMessageBox(&box, answer) == 0) return 0;
        if (attempt == kBoxAttempts) return -1;
        SDL_Delay(kRetryDelayMs);
    }
}

// Characters per line of a box's text: long scene errors would otherwise
// open boxes wider than the screen.
constexpr size_t kBoxLineLength = 70;

// The text with its lines broken at spaces before kBoxLineLength
// characters; a word longer than a line is cut.
std::string wrapText(const std::string& text) {
    std::string out;
    size_t lineStart = 0;  // in out
    size_t lastSpace = std::string::npos;
    for (char c : text) {
        if (c == '\n') {
            out += c;
            lineStart = out.size();
            lastSpace = std::string::npos;
            continue;
        }
        if (out.size() - lineStart == kBoxLineLength) {
            if (lastSpace != std::string::npos) {
                out[lastSpace] = '\n';
                lineStart = lastSpace + 1;
            } else {
                out += '\n';
                lineStart = out.size();
            }
            lastSpace = std::string::npos;
        }
        if (c == ' ') lastSpace = out.size();
        out += c;
    }
    return out;
}

}  // namespace

bool askYesNo(const std::string& text, const std::string& caption) {
    const SDL_MessageBoxButtonData buttons[] = {
        {SDL_MESSAGEBOX_BUTTON_RETURNKEY_DEFAULT, 1, "Yes"},
        {SDL_MESSAGEBOX_BUTTON_ESCAPEKEY_DEFAULT, 0, "No"},
    };
    SDL_MessageBoxData box = {};
    box.flags = SDL_MESSAGEBOX_INFORMATION | SDL_MESSAGEBOX_BUTTONS_LEFT_TO_RIGHT;
    box.window = nullptr;
    box.title = caption.c_str();
    box.message = text.c_str();
    box.numbuttons = 2;
    box.buttons = buttons;
    int answer = -1;
    if (showBox(box, &answer) != 0) {
        std::fprintf(stderr, "tresk: %s (%s): no answer possible (%s); assuming No\n", text.c_str(),
                     caption.c_str(), SDL_GetError());
        return false;
    }
    return answer == 1;
}

void showErrorBox(const std::string& text, const std::string& caption) {
    std::fprintf(stderr, "tresk: %s: %s\n", caption.c_str(), text.c_str());
    const SDL_MessageBoxButtonData ok = {
        SDL_MESSAGEBOX_BUTTON_RETURNKEY_DEFAULT | SDL_MESSAGEBOX_BUTTON_ESCAPEKEY_DEFAULT, 0, "OK"};
    const std::string wrapped = wrapText(text);
    SDL_MessageBoxData box = {};
    box.flags = SDL_MESSAGEBOX_WARNING;
    box.title = caption.c_str();
    box.message = wrapped.c_str();
    box.numbuttons = 1;
    box.buttons = &ok;
    int answer = -1;
    if (showBox(box, &answer) != 0) {
        std::fprintf(stderr, "tresk: the message box could not be shown: %s\n", SDL_GetError());
    }
}
