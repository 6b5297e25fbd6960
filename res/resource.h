// Resource ids shared by the program's code and its Windows resource script.
#ifndef CORVANA_RES_RESOURCE_H
#define CORVANA_RES_RESOURCE_H

// String table entries.
#define IDS_CHECKING_VERSION 2
#define IDS_ANALYSING_CLIENT 5
#define IDS_INTERNET_FAILED 6
#define IDS_NO_INTERNET_MESSAGE 7
#define IDS_SEARCHING_TARGETS 8
#define IDS_PATCH_FILE 9
#define IDS_INSTALL_WORD 10
#define IDS_DOWNLOADING 11
#define IDS_INSTALLING 12
#define IDS_COMPARING 13
#define IDS_UNPACKING 14
#define IDS_INSTALLED 15
#define IDS_NOTHING_TO_PATCH 16
#define IDS_PATCH_DONE 17
#define IDS_RUN_FAILED_TRY_CLIENT 18
#define IDS_RUN_FAILED 19
#define IDS_CANNOT_RUN_MAIN 20
#define IDS_ERROR_CODE 21
#define IDS_ERROR_CAPTION 22
#define IDS_BROWSE 23
#define IDS_INSTALL_NOW 24
#define IDS_EXIT 25
#define IDS_CHOOSE_PATH 26
#define IDS_CONFIRM_EXIT 27
#define IDS_BROWSE_TITLE 28
#define IDS_FOLDER_FAILED 29
#define IDS_INSTALL_WORD_LATIN 30
#define IDS_INSTALL_DONE 31
#define IDS_UNKNOWN_CLIENT 32
#define IDS_SERVER_UNREACHABLE 33
#define IDS_UNKNOWN_ERROR 34
#define IDS_INSTALL_INCOMPLETE 35

// Fixed texts of the window and of start-up.
#define IDS_WINDOW_TITLE 200
#define IDS_ABORT_CAPTION 201
#define IDS_CLIENT_RUNNING 202
#define IDS_WARNING_CAPTION 203
// What a repair found, in the size line: files checked, files put back.
#define IDS_FILES_REPAIRED 210

// Texts of the Linux program's own (its terminal and its desktop window).
#define IDS_USAGE 300
#define IDS_UNKNOWN_OPTION 301
#define IDS_INSTALL_PROMPT 302
#define IDS_INSTALLING_INTO 303
#define IDS_CANNOT_INSTALL_THERE 304
#define IDS_EXIT_NOW_HINT 305
#define IDS_CONFIRM_TITLE 306
#define IDS_PRESS_ENTER 307

// Window resources.
#define IDD_UPDATER_DIALOG 102
#define IDR_MAINFRAME 128
#define IDB_BANNER 129
#define IDC_PROGRESS 1000
#define IDC_STATUS 1001
// winuser.h has an obsolete cursor id of this name; the window's size line takes
// it over (include <windows.h> before this header).
#ifdef IDC_SIZE
#undef IDC_SIZE
#endif
#define IDC_SIZE 1002
#define IDC_BANNER 1003
#define IDC_BROWSE 1005
#define IDC_INSTALL 1006
#define IDC_EXIT 1007
#define IDC_INSTALL_PATH 1008

#endif
