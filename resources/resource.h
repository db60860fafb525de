// Resource and control identifiers shared by the dialog template and the code.
#pragma once

#define IDI_VELMOT 100
#define IDD_DOWNLOAD 101
#define IDB_LOGO 103
#define IDB_PAUSE 110
#define IDB_PLAY 111

#define IDC_PROGRESS 1002
#define IDC_VALUES 1005
#define IDC_LABELS 1006
#define IDC_LOGO 1007
#define IDC_INFO 1008
#define IDC_PAUSE 1014
#define IDC_TIP 1015
