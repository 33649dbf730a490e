// The RPC runtime's UUID text conversion.
#pragma once

#include <tesk/win32/types.h>
#include <tesk/win32/winerror.h>

using RPC_STATUS = LONG;
using RPC_CSTR = unsigned char*;

#define RPC_S_INVALID_ARG ERROR_INVALID_PARAMETER
#define RPC_S_OUT_OF_MEMORY ERROR_OUTOFMEMORY

extern "C" {
// "xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx" in lower case, no braces; free with RpcStringFreeA.
TESK_WIN32_API RPC_STATUS RPC_ENTRY UuidToStringA(const UUID* Uuid, RPC_CSTR* StringUuid);
// Takes exactly the 36-character form (either case); anything else, braces included, is
// RPC_S_INVALID_STRING_UUID. A null string gives the nil UUID.
TESK_WIN32_API RPC_STATUS RPC_ENTRY UuidFromStringA(RPC_CSTR StringUuid, UUID* Uuid);
TESK_WIN32_API RPC_STATUS RPC_ENTRY RpcStringFreeA(RPC_CSTR* String);
TESK_WIN32_API RPC_STATUS RPC_ENTRY UuidCreate(UUID* Uuid);
}
