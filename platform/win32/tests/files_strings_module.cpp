// A module with a string table, for the resource tests.
#include <tesk/win32/windows.h>

TESK_STRING_TABLE(1033, {100, "Player"}, {101, "Track %d of %d"}, {117, "caf\u00e9"}, {200, ""});
