// Resource identifiers of the dialog's resource script, shared by the script and the code.
#pragma once

#ifndef IDC_STATIC
#define IDC_STATIC (-1)
#endif

#define IDR_MAINFRAME 128
#define IDD_ABOUTBOX 100
#define IDS_ABOUTBOX 101
#define IDD_UPDATE_DIALOG 102
#define IDD_PORT_DIALOG 131

#define IDC_ABOUT 1000
#define IDC_START 1001
#define IDC_LOG 1002
#define IDC_COM1 1004
#define IDC_COM2 1005
#define IDC_COM3 1006
#define IDC_COM4 1007
#define IDC_PROGRESS 1010
#define IDC_VERSION 1012
#define IDC_STATUS 1013
#define IDC_OPEN_FILE 1015

// The system menu item that opens the about box.
#define IDM_ABOUTBOX 0x0010
// Beside it: "Save handset...", a backup of the connected handset.
#define IDM_SAVEHANDSET 0x0020
