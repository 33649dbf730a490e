#include "result_text.h"

#include <fmt/format.h>

#include <tesk/win32/winerror.h>

namespace tesk::tool {
namespace {

struct Win32Text {
  LONG code;
  const char* text;
};

constexpr Win32Text kWin32Texts[] = {
    {ERROR_SUCCESS, "no error"},
    {ERROR_INVALID_FUNCTION, "the operation is not valid here"},
    {ERROR_FILE_NOT_FOUND, "not found"},
    {ERROR_PATH_NOT_FOUND, "the path does not exist"},
    {ERROR_TOO_MANY_OPEN_FILES, "too many files are open"},
    {ERROR_ACCESS_DENIED, "access is denied"},
    {ERROR_INVALID_HANDLE, "the handle is not valid"},
    {ERROR_NOT_ENOUGH_MEMORY, "out of memory"},
    {ERROR_BAD_FORMAT, "not a loadable module"},
    {ERROR_INVALID_DATA, "the data is not valid"},
    {ERROR_OUTOFMEMORY, "out of memory"},
    {ERROR_INVALID_DRIVE, "no such drive"},
    {ERROR_NO_MORE_FILES, "no more files"},
    {ERROR_WRITE_PROTECT, "the medium is write-protected"},
    {ERROR_NOT_READY, "the device is not ready"},
    {ERROR_BAD_LENGTH, "the length is wrong"},
    {ERROR_WRITE_FAULT, "the device could not write"},
    {ERROR_READ_FAULT, "the device could not read"},
    {ERROR_GEN_FAILURE, "the device does not work"},
    {ERROR_SHARING_VIOLATION, "the file is in use by someone else"},
    {ERROR_LOCK_VIOLATION, "part of the file is locked"},
    {ERROR_HANDLE_EOF, "reached the end of the file"},
    {ERROR_HANDLE_DISK_FULL, "the disk is full"},
    {ERROR_NOT_SUPPORTED, "not supported"},
    {ERROR_FILE_EXISTS, "it already exists"},
    {ERROR_INVALID_PARAMETER, "a parameter is not valid"},
    {ERROR_BROKEN_PIPE, "the other end went away"},
    {ERROR_DISK_FULL, "the disk is full"},
    {ERROR_CALL_NOT_IMPLEMENTED, "not implemented"},
    {ERROR_SEM_TIMEOUT, "timed out"},
    {ERROR_INSUFFICIENT_BUFFER, "the buffer is too small"},
    {ERROR_INVALID_NAME, "the name is not valid"},
    {ERROR_MOD_NOT_FOUND, "the module was not found"},
    {ERROR_PROC_NOT_FOUND, "the module lacks that entry point"},
    {ERROR_DIR_NOT_EMPTY, "the folder is not empty"},
    {ERROR_BAD_PATHNAME, "the path is not valid"},
    {ERROR_BUSY, "busy"},
    {ERROR_ALREADY_EXISTS, "it already exists"},
    {ERROR_ENVVAR_NOT_FOUND, "no such environment variable"},
    {ERROR_MORE_DATA, "more data is available"},
    {ERROR_NO_MORE_ITEMS, "no more items"},
    {ERROR_DIRECTORY, "not a folder"},
    {ERROR_NOT_OWNER, "not the owner"},
    {ERROR_PARTIAL_COPY, "only part of it was copied"},
    {ERROR_INVALID_ADDRESS, "the address is not valid"},
    {ERROR_OPERATION_ABORTED, "the operation was cancelled"},
    {ERROR_IO_INCOMPLETE, "the transfer is not finished"},
    {ERROR_IO_PENDING, "the transfer is under way"},
    {ERROR_NOACCESS, "the memory is not accessible"},
    {ERROR_CANTOPEN, "the registry key could not be opened"},
    {ERROR_CANTREAD, "the registry key could not be read"},
    {ERROR_CANTWRITE, "the registry key could not be written"},
    {ERROR_REGISTRY_CORRUPT, "the registry is damaged"},
    {ERROR_REGISTRY_IO_FAILED, "the registry could not be read or written"},
    {ERROR_KEY_DELETED, "the key has been deleted"},
    {ERROR_CHILD_MUST_BE_VOLATILE, "a key under a volatile key must be volatile too"},
    {ERROR_INVALID_FLAGS, "the flags are not valid"},
    {ERROR_NO_UNICODE_TRANSLATION, "the text cannot be converted"},
    {ERROR_DLL_INIT_FAILED, "the module refused to start"},
    {ERROR_DEVICE_NOT_CONNECTED, "the device is not connected"},
    {ERROR_NOT_FOUND, "not found"},
    {ERROR_INVALID_WINDOW_HANDLE, "the window handle is not valid"},
    {ERROR_CLASS_ALREADY_EXISTS, "the window class already exists"},
    {ERROR_CLASS_DOES_NOT_EXIST, "no such window class"},
    {ERROR_TIMEOUT, "timed out"},
    {RPC_S_INVALID_STRING_UUID, "the text is not a GUID"},
    {RPC_S_UUID_NO_ADDRESS, "no network address to make a GUID from"},
    {RPC_S_UUID_LOCAL_ONLY, "the GUID is unique on this machine only"},
};

struct ResultTextEntry {
  HRESULT result;
  const char* text;
};

constexpr ResultTextEntry kResultTexts[] = {
    {S_OK, "success"},
    {S_FALSE, "success, with nothing done"},
    {E_UNEXPECTED, "something unexpected went wrong"},
    {E_NOTIMPL, "not implemented"},
    {E_NOINTERFACE, "the object does not offer that interface"},
    {E_POINTER, "a required pointer was missing"},
    {E_ABORT, "the operation was cancelled"},
    {E_FAIL, "the operation failed"},
    {E_PENDING, "the data is not there yet"},
    {static_cast<HRESULT>(0x80000010L), "the player is busy with another operation"},
    {CO_E_NOTINITIALIZED, "COM was not initialised on this thread"},
    {CO_E_ALREADYINITIALIZED, "COM is already initialised"},
    {CO_E_CLASSSTRING, "the text is not a class identifier"},
    {CO_E_APPNOTFOUND, "the application was not found"},
    {CO_E_DLLNOTFOUND, "the server module was not found"},
    {CO_E_ERRORINDLL, "the server module is not a valid COM server"},
    {RPC_E_CHANGED_MODE, "COM was already initialised on this thread in the other threading model"},
    {REGDB_E_READREGDB, "the class's registry entries could not be read"},
    {REGDB_E_WRITEREGDB, "the class's registry entries could not be written"},
    {REGDB_E_KEYMISSING, "a registry key of the class is missing"},
    {REGDB_E_INVALIDVALUE, "a registry value of the class is not valid"},
    {REGDB_E_CLASSNOTREG, "class not registered"},
    {REGDB_E_IIDNOTREG, "interface not registered"},
    {CLASS_E_NOAGGREGATION, "the class cannot be aggregated"},
    {CLASS_E_CLASSNOTAVAILABLE, "the module does not serve that class"},
    {SELFREG_E_TYPELIB, "type library registration failed"},
    {SELFREG_E_CLASS, "class registration failed"},
    {DISP_E_MEMBERNOTFOUND, "no such member"},
    {DISP_E_UNKNOWNNAME, "unknown name"},
    {DISP_E_BADPARAMCOUNT, "wrong number of parameters"},
    {TYPE_E_ELEMENTNOTFOUND, "no such element in the type library"},
};

}  // namespace

std::string DescribeWin32Error(LONG code) {
  for (const auto& entry : kWin32Texts)
    if (entry.code == code) return entry.text;
  return "unknown error";
}

std::string DescribeResult(HRESULT result) {
  for (const auto& entry : kResultTexts)
    if (entry.result == result) return entry.text;
  if (HRESULT_FACILITY(result) == FACILITY_WIN32 && FAILED(result))
    return DescribeWin32Error(static_cast<LONG>(HRESULT_CODE(result)));
  return SUCCEEDED(result) ? "success" : "unknown error";
}

std::string Win32ErrorText(LONG code) {
  return fmt::format("{} (error {})", DescribeWin32Error(code), code);
}

std::string ResultText(HRESULT result) {
  return fmt::format("{} (0x{:08X})", DescribeResult(result), static_cast<std::uint32_t>(result));
}

}  // namespace tesk::tool
