// The owner rule and the modal guard behind both dialogs, open to tests.
#pragma once

#include <windows.h>

// The foreground window when it belongs to this process, else none.
HWND DialogOwner();

// Disables this thread's visible top-level windows (all but the foreground
// one) and takes them out of the topmost layer; Off restores exactly what
// On changed, for the calling thread only. Always called in pairs.
void ModalGuardOn();
void ModalGuardOff();
