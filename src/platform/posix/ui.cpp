// Linux has no windows: the operating system's ui host offers nothing, and the Linux program
// talks to its operator on the console (service/console.cpp) through the command queue.
#include "platform/ui_host.h"

const UiHost ui_os_host{};
