// The driver's message table: a text for each general failure, and the names of the product
// family, its maker and its media.
#include <tesk/spd.h>
#include <tesk/win32/winres.h>

TESK_STRING_TABLE(1033,  // English (United States)
                  {SPD_MSG_NOINTERFACE, "Requested Interface Object was not found."},
                  {SPD_MSG_NOTIMPL, "Requested Operation is not implemented."},
                  {SPD_MSG_FAIL, "General Failure"},
                  {SPD_MSG_INVALIDARG, "Invalid parameters were passed to method."},
                  {SPD_MSG_OUTOFMEMORY, "Not enough memory to perform operation."},
                  {SPD_MSG_ACCESSDENIED, "Access to operation has been denied."},
                  {SPD_MSG_BUSY, "Cant perform operation because currently busy."},
                  {SPD_MSG_DEAD, "The interface object is dead."},
                  {SPD_MSG_SPAWN, "Failed to execute or spwan a process."},
                  {SPD_MSG_PENDING, "Suspended until pending data or operation is ready."},
                  {SPD_MSG_UNKNOWN, "Unknown Error"}, {SPD_MSG_FAMILY, "Gannet"}, {SPD_MSG_MAKER, "Holvenn"},
                  {SPD_MSG_INTERNAL_MEDIUM, "Internal Flash Memory"},
                  {SPD_MSG_EXTERNAL_MEDIUM, "External Flash Memory"});
