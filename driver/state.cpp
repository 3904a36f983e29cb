// Definitions of the driver-wide state, tables and locks (declared in
// config/config.h, input/port.h, diag/log.h and driver/driver.h).
#include "driver/driver.h"

HANDLE DriverHeap;
CRITICAL_SECTION LogLock;
CRITICAL_SECTION mmDrvCritSec;
CRITICAL_SECTION threadCritSec;
DWORD opencount;
Unit pUnits[UnitTableSize];
BYTE SafeForNetworking;

DWORD TCPClientServer;
WCHAR WTCPAddress[TcpAddressSize];
char TCPAddress[TcpAddressSize];

volatile BYTE connected;
volatile BYTE connectenabled;
volatile BYTE recued;
volatile BYTE teardown;
volatile LONG connthreads;
HANDLE connthread;
MidiPort *connport;
RecvBuffer *connbuffer;
LONG wsacount;
