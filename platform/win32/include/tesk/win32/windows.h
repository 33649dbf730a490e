// Everything the user-mode components call, under one include.
#pragma once

#include <tesk/win32/types.h>
#include <tesk/win32/winerror.h>
#include <tesk/win32/winbase.h>
#include <tesk/win32/winnls.h>
#include <tesk/win32/winreg.h>
#include <tesk/win32/unknwn.h>
#include <tesk/win32/objbase.h>
#include <tesk/win32/rpc.h>
#include <tesk/win32/fileapi.h>
#include <tesk/win32/winres.h>
#include <tesk/win32/winuser.h>
#include <tesk/win32/dbt.h>
#include <tesk/win32/setupapi.h>
#include <tesk/win32/cfgmgr32.h>
