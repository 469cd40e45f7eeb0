// Start-up of the window framework (library ui_gl).
#pragma once

// Start-up of the framework: log, command line, the window and GL context,
// the interface images and palette, the first start-up screens. A window
// that cannot be made ends the program through a fatal alert.
void MACIBM_init(int argc, const char* const* argv);
