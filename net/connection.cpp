// The TCP connection thread (connect for an output port, accept for an
// input port) is not written yet: the TCP transport comes as a whole later.
// Until then the thread ends at once, so a TCP output port opens after its
// 20-second wait and every write reports MMSYSERR_ERROR; UDP is unaffected.
#include "net/net.h"

DWORD WINAPI connectionThread(LPVOID) { return 1; }

// The one way the port open, the writer and the receive loop start the
// thread: marks a connection attempt under way and keeps the handle.
HANDLE StartConnectionThread(MidiPort *port)
{
    recued = 1;
    HANDLE thread = CreateThread(nullptr, 0, connectionThread, port, 0, nullptr);
    if (thread) connthread = thread;
    return thread;
}
