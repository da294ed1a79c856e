// Resource ids, shared by quillfern.rc and the code.
#pragma once

#define IDI_QUILLFERN 101
#define IDB_BANNER 103

#define IDC_LITESTEP 1000
#define IDC_EXPLORER 1001
#define IDC_REBOOT_OTHER 1002
#define IDC_LOGOFF 1003
#define IDC_SHUTDOWN 1004
#define IDC_PROMPT 1005
#define IDC_TERMINATE 1006
#define IDC_THEMELIST 1007
#define IDC_LISTPROMPT 1008

#define IDT_COUNTDOWN 1
