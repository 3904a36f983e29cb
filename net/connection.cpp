// Placeholder: replaced by the real implementation.
#include "net/net.h"

DWORD WINAPI connectionThread(LPVOID) { return 1; }
