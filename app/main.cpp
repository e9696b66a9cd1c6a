#include "app/app.h"

// The program takes no arguments; on Windows the C runtime of the GUI
// subsystem still enters through main().
int main() { return AppMain(); }
