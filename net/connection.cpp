// The TCP connection thread (connect for an output port, accept for an
// input port) is not written yet: the TCP transport comes as a whole later.
// Until then the thread ends at once, so a TCP output port opens after its
// 20-second wait and every write reports MMSYSERR_ERROR; UDP is unaffected.
#include "net/net.h"

DWORD WINAPI connectionThread(LPVOID) { return 1; }
