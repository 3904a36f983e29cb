// Resource identifiers of Tessmar.dll.
#pragma once

#define IDI_APPLET 1
#define IDS_APPLET_NAME 1
#define IDS_APPLET_INFO 101
#define IDD_ABOUT 100
#define IDD_CONFIG 101
#define IDB_ABOUT 160

// Configurator dialog (IDD_CONFIG)
#define IDC_HELP_ABOUT 3
#define IDC_ADD 1001
#define IDC_CHANGE 1002
#define IDC_DELETE 1003
#define IDC_OUTPUT_LIST 1004
#define IDC_DESCRIPTION 1005
#define IDC_DIRECTION 1017
#define IDC_TRANSPORT 1018
#define IDC_GROUP_FIRST 1020  // group i + 1 is IDC_GROUP_FIRST + i
#define IDC_GROUP_LAST 1051
#define IDC_SHOW 1052
#define IDC_INPUT_LIST 1053
#define IDC_DESCRIPTION_LABEL 1054
#define IDC_TCP_ADDRESS 1058
#define IDC_DEBUG_LEVEL 8429

// About box (IDD_ABOUT)
#define IDC_HELP_TEXT 1016
#define IDC_WEB_ADDRESS 1026
#define IDC_VERSION 1298
