// Resource identifiers shared by velloran.rc and frm_update_win.cpp.
#pragma once

#define IDI_VELLORAN 101
#define IDB_BACKGROUND 102
