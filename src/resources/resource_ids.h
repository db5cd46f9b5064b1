/* The numbers that tie the resource script to the code: control and menu-item ids of every
   window and dialog, the string table's ids, the tray icon's id. Included by norvex.rc (through
   windres's preprocessor, so only #define) and by the C++ code. */
#ifndef NORVEX_RESOURCE_IDS_H
#define NORVEX_RESOURCE_IDS_H

/* Template, menu and icon names. */
#define RES_MAIN_WINDOW "NORVEX"
#define RES_SETUP_DIALOG "SETUP"
#define RES_PORTSETUP_DIALOG "PORTSETUP"
#define RES_PERMISSION_DIALOG "PERMISSION"
#define RES_OPTION_DIALOG "OPTION"
#define RES_VERSION_DIALOG "VERSIONDLG"
#define RES_TRAY_MENU "TRAYMENU"
#define RES_LINE_MENU "LINEMENU"
#define RES_ICON "NORVEX"

/* Buttons every dialog shares with the system's own numbers (IDOK, IDCANCEL). */
#define ID_OK 1
#define ID_CANCEL 2
/* A label nobody addresses. */
#define ID_LABEL (-1)

/* Main window "NORVEX". Its buttons and the tray menu's items are the same commands. */
#define ID_MAIN_STATUS_LIST 100
#define ID_MAIN_LINE_SETUP 1
#define ID_MAIN_HIDE 2
#define ID_MAIN_EXIT 3
#define ID_MAIN_OPTIONS 101
#define ID_MAIN_ABOUT 102
#define ID_MAIN_SHOW 103            /* tray menu only */
#define ID_MAIN_FORCE_DISCONNECT 500 /* line menu */

/* The tray icon. */
#define ID_TRAY_ICON 100

/* Port list dialog "SETUP". */
#define ID_SETUP_PORT_LIST 100
#define ID_SETUP_UP 101
#define ID_SETUP_DOWN 102
#define ID_SETUP_EDIT 103
#define ID_SETUP_ADD 104
#define ID_SETUP_DELETE 105
#define ID_SETUP_CLOSE 1

/* Port settings dialog "PORTSETUP". */
#define ID_PORT_NAME 100
#define ID_PORT_BAUD_RATE 101
#define ID_PORT_DATA_BITS 102
#define ID_PORT_PARITY 103
#define ID_PORT_STOP_BITS 104
#define ID_PORT_FLOW_CONTROL 105
#define ID_PORT_RAISE_SIGNALS 106
#define ID_PORT_CONFIRM_SIGNALS 107
#define ID_PORT_WATCH_SIGNALS 108
#define ID_PORT_CONNECT_TIMEOUT 109
#define ID_PORT_DISCONNECT_TIMEOUT 110
#define ID_PORT_IDLE_TIMEOUT 111
#define ID_PORT_MODEM_EMULATION 112
#define ID_PORT_FALLING_EDGE 113
#define ID_PORT_CONNECT_MESSAGE 200
#define ID_PORT_DISCONNECT_MESSAGE 201
#define ID_PORT_AUTO_PILOT 202
#define ID_PORT_DISCONNECT_KEYWORD 203
#define ID_PORT_PERMISSIONS 300
#define ID_PORT_OK 1
#define ID_PORT_CANCEL 2

/* Permission list dialog "PERMISSION". */
#define ID_PERM_LIST 100
#define ID_PERM_UP 101
#define ID_PERM_DOWN 102
#define ID_PERM_ADD 103
#define ID_PERM_DELETE 104
#define ID_PERM_CHANGE 105
#define ID_PERM_ENTRY 200
#define ID_PERM_CHOICE 201
#define ID_PERM_CLOSE 1

/* Options dialog "OPTION". */
#define ID_OPT_TELNET_PORT 100
#define ID_OPT_RESOLVE_NAMES 101
#define ID_OPT_BUSY_MESSAGE 102
#define ID_OPT_PORT_ERROR_MESSAGE 103
#define ID_OPT_CONNECT_ERROR_MESSAGE 104
#define ID_OPT_GREETING_MESSAGE 105
#define ID_OPT_LOG_FILE_NAME 106
#define ID_OPT_LOG_ENABLED 107
#define ID_OPT_OK 1
#define ID_OPT_CANCEL 2

/* About box "VERSIONDLG". */
#define ID_ABOUT_VERSION 200
#define ID_ABOUT_CLOSE 2

/* The string table. */
#define STR_FORCE_DISCONNECT_QUESTION 1001
#define STR_SETTINGS_READ_FAILED 1002
#define STR_DATA_WRITE_FAILED 1003
#define STR_NO_FREE_RULE 1004
#define STR_NO_PORT_TO_ADD 1005
#define STR_PORT_REMOVE_FAILED 1006
#define STR_PORT_ADD_FAILED 1007
#define STR_PORT_UPDATE_FAILED 1008
#define STR_TELNET_PORT_NEXT_START 1009
#define STR_CLASS_REGISTER_FAILED 1011
#define STR_WINDOW_CREATE_FAILED 1012
#define STR_SERVER_START_FAILED 1013
#define STR_SERVER_FORCED_STOP 1014
#define STR_EXIT_QUESTION 1015
#define STR_LISTEN_FAILED 1016 /* takes the telnet port (%d) */
#define STR_PERM_COLUMN_ADDRESS 1101
#define STR_PERM_COLUMN_PERMIT 1102
#define STR_PERMIT 1103
#define STR_DENY 1104
#define STR_TITLE_ADD_PORT 1105
#define STR_TITLE_PORT_SETTINGS 1106
#define STR_STATUS_COLUMN_PORT 1107
#define STR_STATUS_COLUMN_ADDRESS 1108

#endif
