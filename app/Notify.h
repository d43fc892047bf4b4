// User-facing notices that do not stop the work in hand (for instance a
// mesh file that is missing). They belong to the programs: the layers below
// hand their problems back as values (scene/Diagnostic.h), which
// reportDiagnostics turns into notices. The viewer shows them in a message
// box; tresk-render leaves the default, which prints them to stderr.
#pragma once

#include <functional>
#include <string>

using NoticeHandler = std::function<void(const std::string& text, const std::string& caption)>;

// The caption of a notice that only informs: nothing that could show was
// lost (degenerate triangles left out). The viewer writes such notices to
// stderr and the log instead of stopping the user with a box.
constexpr const char kNoteCaption[] = "Note";

// The caption of a notice made for the picture on screen, which sums up
// warnings already on stderr and in the log (textures or a sky that cannot
// be used): the viewer shows it over the picture for a while, and without a
// handler it is dropped.
constexpr const char kOverlayCaption[] = "Overlay";

void setNoticeHandler(NoticeHandler handler);
void showNotice(const std::string& text, const std::string& caption);
