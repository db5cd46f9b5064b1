// norvex: the gateway as a Linux console program.
#include "service/console.h"

int main() { return console_run(); }
