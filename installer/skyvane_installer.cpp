// The installer program.
#include "installer/main.h"

int main(int argc, char** argv) { return installer_main(argc, argv); }
