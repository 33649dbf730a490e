// The hidden-window subset of user32: window classes, windows, per-thread message queues, and
// device notifications.
#pragma once

#include <tesk/win32/types.h>
#include <tesk/win32/winerror.h>

using WNDPROC = LRESULT(CALLBACK*)(HWND, UINT, WPARAM, LPARAM);
struct HICON__;
using HICON = HICON__*;
struct HCURSOR__;
using HCURSOR = HCURSOR__*;
struct HBRUSH__;
using HBRUSH = HBRUSH__*;
struct HMENU__;
using HMENU = HMENU__*;
using HDEVNOTIFY = PVOID;

struct WNDCLASSA {
  UINT style;
  WNDPROC lpfnWndProc;
  int cbClsExtra;
  int cbWndExtra;
  HINSTANCE hInstance;
  HICON hIcon;
  HCURSOR hCursor;
  HBRUSH hbrBackground;
  LPCSTR lpszMenuName;
  LPCSTR lpszClassName;
};

struct POINT {
  LONG x;
  LONG y;
};

struct MSG {
  HWND hwnd;
  UINT message;
  WPARAM wParam;
  LPARAM lParam;
  DWORD time;
  POINT pt;
};
using LPMSG = MSG*;

// What WM_CREATE's lParam points at; lpCreateParams is CreateWindowExA's lpParam.
struct CREATESTRUCTA {
  LPVOID lpCreateParams;
  HINSTANCE hInstance;
  HMENU hMenu;
  HWND hwndParent;
  int cy;
  int cx;
  int y;
  int x;
  LONG style;
  LPCSTR lpszName;
  LPCSTR lpszClass;
  DWORD dwExStyle;
};
using LPCREATESTRUCTA = CREATESTRUCTA*;

// A class registered with CS_GLOBALCLASS is found whatever instance CreateWindowExA names.
#define CS_GLOBALCLASS 0x4000

// The parent of a message-only window.
#define HWND_MESSAGE (reinterpret_cast<HWND>(static_cast<LONG_PTR>(-3)))

#define WM_NULL 0x0000
#define WM_CREATE 0x0001
#define WM_DESTROY 0x0002
#define WM_CLOSE 0x0010
#define WM_QUIT 0x0012
#define WM_DEVICECHANGE 0x0219
#define WM_USER 0x0400

#define WS_OVERLAPPED 0x00000000L
#define WS_POPUP 0x80000000L

#define PM_NOREMOVE 0x0000
#define PM_REMOVE 0x0001

#define DEVICE_NOTIFY_WINDOW_HANDLE 0x00000000
#define DEVICE_NOTIFY_ALL_INTERFACE_CLASSES 0x00000004

#define QS_POSTMESSAGE 0x0008
#define QS_SENDMESSAGE 0x0040
#define QS_ALLINPUT 0x04FF
#define QS_ALLPOSTMESSAGE 0x0100

extern "C" {
TESK_WIN32_API ATOM WINAPI RegisterClassA(const WNDCLASSA* lpWndClass);
TESK_WIN32_API BOOL WINAPI UnregisterClassA(LPCSTR lpClassName, HINSTANCE hInstance);
// Only the classes registered here exist (no system classes). WM_CREATE and WM_DESTROY are
// the only messages a window's life sends; a window whose thread ends goes without them.
TESK_WIN32_API HWND WINAPI CreateWindowExA(DWORD dwExStyle, LPCSTR lpClassName, LPCSTR lpWindowName,
                                           DWORD dwStyle, int X, int Y, int nWidth, int nHeight,
                                           HWND hWndParent, HMENU hMenu, HINSTANCE hInstance, LPVOID lpParam);
// Only the window's own thread may destroy it (ERROR_ACCESS_DENIED otherwise).
TESK_WIN32_API BOOL WINAPI DestroyWindow(HWND hWnd);
TESK_WIN32_API BOOL WINAPI IsWindow(HWND hWnd);
TESK_WIN32_API LRESULT WINAPI DefWindowProcA(HWND hWnd, UINT Msg, WPARAM wParam, LPARAM lParam);
TESK_WIN32_API BOOL WINAPI GetMessageA(LPMSG lpMsg, HWND hWnd, UINT wMsgFilterMin, UINT wMsgFilterMax);
TESK_WIN32_API BOOL WINAPI PeekMessageA(LPMSG lpMsg, HWND hWnd, UINT wMsgFilterMin, UINT wMsgFilterMax,
                                        UINT wRemoveMsg);
TESK_WIN32_API BOOL WINAPI TranslateMessage(const MSG* lpMsg);
TESK_WIN32_API LRESULT WINAPI DispatchMessageA(const MSG* lpMsg);
TESK_WIN32_API BOOL WINAPI PostMessageA(HWND hWnd, UINT Msg, WPARAM wParam, LPARAM lParam);
// From another thread the call waits until the window's thread looks at its queue and runs
// it; meanwhile calls sent to the waiting thread are run. 0 when the window's thread ends first.
TESK_WIN32_API LRESULT WINAPI SendMessageA(HWND hWnd, UINT Msg, WPARAM wParam, LPARAM lParam);
TESK_WIN32_API BOOL WINAPI PostThreadMessageA(DWORD idThread, UINT Msg, WPARAM wParam, LPARAM lParam);
TESK_WIN32_API void WINAPI PostQuitMessage(int nExitCode);
// Waits for the handles or for a message in the calling thread's queue (WAIT_OBJECT_0 + nCount).
// The queue counts while it holds a posted message (QS_POSTMESSAGE, QS_ALLPOSTMESSAGE) or a
// sent one (QS_SENDMESSAGE), whether or not the thread has looked at it already.
TESK_WIN32_API DWORD WINAPI MsgWaitForMultipleObjects(DWORD nCount, const HANDLE* pHandles, BOOL fWaitAll,
                                                      DWORD dwMilliseconds, DWORD dwWakeMask);

// WM_DEVICECHANGE reaches the window, on its thread's queue, when an interface of the
// filter's class arrives or goes in any process of the prefix. It is posted: lParam points at
// a DEV_BROADCAST_DEVICEINTERFACE_A that stays valid until DispatchMessageA for it returns
// (or, if the message is not dispatched, until the thread takes its next message). Only
// window recipients with a DBT_DEVTYP_DEVICEINTERFACE filter are supported.
TESK_WIN32_API HDEVNOTIFY WINAPI RegisterDeviceNotificationA(HANDLE hRecipient, LPVOID NotificationFilter,
                                                             DWORD Flags);
TESK_WIN32_API BOOL WINAPI UnregisterDeviceNotification(HDEVNOTIFY Handle);
}
