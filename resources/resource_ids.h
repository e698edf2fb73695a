/* Numbers of the Win32 resources and dialog controls, shared by the resource script and the
   program. Plain #defines only: the resource compiler reads this file too. */
#pragma once

#define IDI_APPLICATION_ICON 101
#define IDB_SIDE_BITMAP 111

#define IDD_DECRYPT_FILE 481
#define IDD_SELECT_PAGE 482
#define IDD_PROGRESS_PAGE 483

/* Dialog "Decrypt File". */
#define IDC_ENCRYPTED_NAME 1010
#define IDC_PASSWORD_EDIT 1011
#define IDC_SKIP 3

/* First page. */
#define IDC_ARCHIVE_EDIT 1000
#define IDC_BROWSE 3
#define IDC_OUTPUT_FOLDER_EDIT 1005
#define IDC_BROWSE_FOLDER 1006

/* Both pages: the title line. */
#define IDC_PAGE_TITLE 1004

/* Second page. */
#define IDC_PROGRESS_BAR 1001
#define IDC_LOG_LIST 1002
#define IDC_COMPLETION_TEXT 1003
#define IDC_ENTRY_TEXT 1007
#define IDC_RATE_TEXT 1008
#define IDC_OPEN_FOLDER 1012
#define IDC_SALVAGE_ANOTHER 1013

/* The log list's context menu. */
#define IDM_COPY_LINES 2001
#define IDM_COPY_ALL 2002
#define IDM_SAVE_LOG 2003
