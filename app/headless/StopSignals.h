// Ctrl+C, SIGTERM and a closed terminal end a program that writes a picture
// as they would anyway, but not before the temporary file of a write in
// progress is removed (render/TgaWriter.h).
#pragma once

// Installs the handlers; a signal that was ignored when the program started
// stays ignored.
void removeTemporaryFilesOnSignals();
