// NORVEX.EXE's entry: the graphical entry point stores the program's instance, through which every
// resource is loaded, and hands over to the portable start-up sequence.
#include <windows.h>

#include "platform/win32/ui_win32.h"
#include "tray/program.h"

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int) {
    ui_win32_set_instance(instance);
    return program_main();
}
