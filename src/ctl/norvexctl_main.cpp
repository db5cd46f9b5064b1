// norvexctl: configure, watch and control a NORVEX gateway on Linux.
#include <cstdio>

#include "ctl/norvexctl.h"

int main(int argc, char **argv) { return norvexctl_run(argc, argv, stdout, stderr); }
