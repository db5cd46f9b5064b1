// norvex: the gateway as a Linux console program.
#include "app/console.h"

int main() { return console_run(); }
