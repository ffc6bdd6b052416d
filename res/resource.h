// Resource identifiers, shared by the resource script and the code.
#pragma once

#define IDD_CONNECT 101
#define IDI_APP 106
#define IDD_ABOUT 107
#define IDC_LINKCURSOR 111
#define IDR_TRAYMENU 112

#define IDC_HOST 1002
#define IDC_LINK 1005

#define IDM_EXIT 40001
#define IDM_ABOUT 40002
#define IDM_TELNET 40003
#define IDM_SERVER_EXIT 40004

#define ID_DBLCLK_TIMER 100
