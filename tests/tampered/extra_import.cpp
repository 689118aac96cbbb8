#include <windows.h>

// Linked into the image but never called: its only effect is an import of USER32.dll.
void beep_for_attention() {
    MessageBeep(MB_OK);
}
