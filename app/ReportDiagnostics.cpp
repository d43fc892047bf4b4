#include "app/ReportDiagnostics.h"

#include <cstdio>

#include "app/Notify.h"
#include "core/Logger.h"

namespace {

// A warning about a line of the scene's text, which the user mends there.
bool aboutSceneText(const Diagnostic& d) { return d.severity == Severity::Warning && d.line > 0; }

void show(const Diagnostic& d) {
    switch (d.severity) {
        case Severity::Note:
            showNotice(d.text, kNoteCaption);
            break;
        case Severity::Warning:
            // An image that cannot be used leaves the background black: said
            // on stderr, never in a box.
            std::fprintf(stderr, "tresk: %s\n", d.text.c_str());
            break;
        case Severity::Error:
            showNotice(d.text, "ERROR");
            break;
        case Severity::Fatal:
            break;
    }
}

}  // namespace

void reportDiagnostics(const Diagnostics& diagnostics) {
    for (size_t i = 0; i < diagnostics.size();) {
        if (!aboutSceneText(diagnostics[i])) {
            Logger::instance()->write(diagnostics[i].logged());
            show(diagnostics[i++]);
            continue;
        }
        std::string all;
        for (; i < diagnostics.size() && aboutSceneText(diagnostics[i]); ++i) {
            Logger::instance()->write(diagnostics[i].logged());
            all += (all.empty() ? "" : "\n") + diagnostics[i].text;
        }
        showNotice(all, "Warning");
    }
}
