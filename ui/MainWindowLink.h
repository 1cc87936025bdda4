#pragma once
// The engine's view of the main window (production/WindowLink.h) read from Form1: its
// settings, copy-list figures and counters, and a fresh station's settings while no main
// window exists.

namespace ui {

// Makes the main window the engine's window whenever no other is set. Idempotent; the
// main window installs it when it is created.
void InstallMainWindowLink();

} // namespace ui
