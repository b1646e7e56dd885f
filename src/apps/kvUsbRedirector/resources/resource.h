// Resource ids shared by the resource script and the code.
#pragma once

#define IDS_APP_TITLE 103
#define IDC_KVUSBREDIRECTOR 109
#define IDM_EXIT 105
#define IDI_KVUSBREDIRECTOR 129

// Share dialog.
#define IDD_WARNING_POPUP 9
#define IDS_YES 105
#define IDS_NO 106
#define IDS_SHARE_QUESTION 134
#define IDC_WARNING_TEXT 1011
#define IDC_DEVICE_ID 1013
#define IDB_WARNING 137

// Tray menu: one block of 16 strings of their own.
#define IDS_TRAY_DEVICE 192
#define IDS_TRAY_NO_DEVICES 193
#define IDS_TRAY_CONNECTING 195
#define IDS_TRAY_WAITING 196
#define IDS_TRAY_SHARED 197
#define IDS_TRAY_DECLINED 198
#define IDS_TRAY_FAILED 199
#define IDS_TRAY_MORE 200
#define IDS_TRAY_NO_CHANNEL 201
#define IDS_TRAY_BLOCKED 202
