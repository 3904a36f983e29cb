// Resource identifiers of Tessmar.dll.
#pragma once

#define IDI_APPLET 1
#define IDS_APPLET_NAME 1
#define IDS_APPLET_INFO 101
#define IDD_ABOUT 100
#define IDD_CONFIG 101
#define IDB_ABOUT 160
