// NORVEX.EXE's entry: the graphical entry point hands over to the portable start-up sequence.
#include <windows.h>

#include "app/program.h"

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) { return program_main(); }
