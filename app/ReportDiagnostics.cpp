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
            // An image that cannot be used (the sky, a texture, a material
            // library) leaves its surfaces plain: said on stderr, never in a
            // box, and summed up over the picture.
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
    std::string overlay;
    int unusable = 0;
    for (size_t i = 0; i < diagnostics.size();) {
        if (!aboutSceneText(diagnostics[i])) {
            if (diagnostics[i].severity == Severity::Warning && unusable++ == 0)
                overlay = diagnostics[i].text;
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
    if (unusable > 1)
        overlay += " (and " + std::to_string(unusable - 1) + " more: see stderr or Log.txt)";
    if (unusable > 0) showNotice(overlay, kOverlayCaption);
}
