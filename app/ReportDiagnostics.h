// How the scene layer's diagnostics reach the user, the same in the viewer
// and in tresk-render: every one goes to the log; a note, a problem with a
// mesh or a model and the warnings about the scene's text go to the notice
// handler (app/Notify.h: a box in the viewer, stderr by default); an
// image that cannot be used goes to stderr, never to a box.
#pragma once

#include "scene/Diagnostic.h"

// In order; the warnings about images that cannot be used are also summed
// up in one notice for the picture (kOverlayCaption). The warnings about lines of the scene's text
// are shown together in one notice ("Warning"), since one mistake often causes several; a Fatal
// diagnostic is only logged (the caller shows its failure itself).
void reportDiagnostics(const Diagnostics& diagnostics);
