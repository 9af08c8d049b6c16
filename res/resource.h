// Resource and control ids of the updater.
#pragma once
#define IDR_MAINFRAME           128
#define IDB_PROGRESS_FILL       129
#define IDB_PROGRESS_TRACK      130
#define IDB_BACKGROUND          131
#define IDB_CLOSEBOX            132
#define IDD_UPDATER_DIALOG      102
#define IDC_PROGRESS_FILE       1000
#define IDC_TEXT_FILE           1001
#define IDC_PROGRESS_TOTAL      1003
#define IDC_TEXT_DONE           1004
