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
