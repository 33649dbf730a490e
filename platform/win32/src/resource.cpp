// Module resources: the string table a module declares with TESK_STRING_TABLE.
#include <algorithm>
#include <cstring>
#include <set>
#include <mutex>
#include <new>
#include <string>
#include <utility>

#include <tesk/win32/winbase.h>
#include <tesk/win32/winres.h>

#include "internal.h"

using namespace tesk::win32;

namespace {

// A module's table, or null with the last error set.
const TeskStringTableData* TableOf(HINSTANCE module) {
  if (!module) module = GetModuleHandleA(nullptr);
  const auto table_fn = module ? GetProcAddressAs<TeskStringTableFn>(module, "TeskStringTable") : nullptr;
  const TeskStringTableData* table = table_fn ? table_fn() : nullptr;
  if (!table) SetLastError(ERROR_RESOURCE_DATA_NOT_FOUND);
  return table;
}

// The UTF-8 text of string `id`, or null with the last error set.
const char* FindString(HINSTANCE module, UINT id) {
  const TeskStringTableData* table = TableOf(module);
  if (!table) return nullptr;
  for (SIZE_T i = 0; i < table->count; ++i) {
    if (table->entries[i].id == id && table->entries[i].text) return table->entries[i].text;
  }
  SetLastError(ERROR_RESOURCE_NAME_NOT_FOUND);
  return nullptr;
}

// RT_STRING blocks and UTF-16 texts are interned by their content and kept for the process's
// life, so that what a caller holds never changes under it, even when a module is unloaded
// and another one loaded in its place.
std::mutex& InternMutex() {
  static auto* mutex = new std::mutex;
  return *mutex;
}
const std::u16string* Intern(std::u16string text) {
  static auto* texts = new std::set<std::u16string>;
  std::lock_guard hold(InternMutex());
  return &*texts->insert(std::move(text)).first;
}

}  // namespace

extern "C" {

int WINAPI LoadStringA(HINSTANCE hInstance, UINT uID, LPSTR lpBuffer, int cchBufferMax) {
  if (!lpBuffer || cchBufferMax <= 0) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  try {
    const char* text = FindString(hInstance, uID);
    if (!text) {
      lpBuffer[0] = '\0';
      return 0;
    }
    const std::string ansi = internal::Utf8ToAnsi(text);
    const size_t count = std::min(ansi.size(), static_cast<size_t>(cchBufferMax - 1));
    std::memcpy(lpBuffer, ansi.data(), count);
    lpBuffer[count] = '\0';
    return static_cast<int>(count);
  } catch (const std::bad_alloc&) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return 0;
  }
}

int WINAPI LoadStringW(HINSTANCE hInstance, UINT uID, LPWSTR lpBuffer, int cchBufferMax) {
  if (!lpBuffer || cchBufferMax < 0) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  try {
    const char* utf8 = FindString(hInstance, uID);
    const std::u16string* text = utf8 ? Intern(internal::Utf8ToUtf16(utf8)) : nullptr;
    if (!text) {
      if (cchBufferMax > 0) lpBuffer[0] = u'\0';
      return 0;
    }
    if (cchBufferMax == 0) {
      const WCHAR* start = text->c_str();
      std::memcpy(lpBuffer, &start, sizeof start);
      return static_cast<int>(text->size());
    }
    const size_t count = std::min(text->size(), static_cast<size_t>(cchBufferMax - 1));
    std::memcpy(lpBuffer, text->data(), count * sizeof(WCHAR));
    lpBuffer[count] = u'\0';
    return static_cast<int>(count);
  } catch (const std::bad_alloc&) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return 0;
  }
}

HRSRC WINAPI FindResourceA(HMODULE hModule, LPCSTR lpName, LPCSTR lpType) {
  if (!lpType || !IS_INTRESOURCE(lpType) || lpType != RT_STRING) {
    SetLastError(ERROR_RESOURCE_TYPE_NOT_FOUND);
    return nullptr;
  }
  const auto number = static_cast<UINT>(reinterpret_cast<ULONG_PTR>(lpName));
  if (!IS_INTRESOURCE(lpName) || number == 0) {
    SetLastError(ERROR_RESOURCE_NAME_NOT_FOUND);
    return nullptr;
  }
  try {
    const TeskStringTableData* table = TableOf(hModule);
    if (!table) return nullptr;
    const UINT first = (number - 1) * 16;
    bool any = false;
    std::u16string data;
    for (UINT id = first; id < first + 16; ++id) {
      std::u16string text;
      for (SIZE_T i = 0; i < table->count; ++i) {
        if (table->entries[i].id == id && table->entries[i].text) {
          text = internal::Utf8ToUtf16(table->entries[i].text);
          any = true;
          break;
        }
      }
      data.push_back(static_cast<char16_t>(text.size()));
      data += text;
    }
    if (!any) {
      SetLastError(ERROR_RESOURCE_NAME_NOT_FOUND);
      return nullptr;
    }
    return reinterpret_cast<HRSRC>(const_cast<std::u16string*>(Intern(std::move(data))));
  } catch (const std::bad_alloc&) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
}

HGLOBAL WINAPI LoadResource(HMODULE /*hModule*/, HRSRC hResInfo) {
  if (!hResInfo) {
    SetLastError(ERROR_INVALID_HANDLE);
    return nullptr;
  }
  return const_cast<char16_t*>(reinterpret_cast<const std::u16string*>(hResInfo)->data());
}

DWORD WINAPI SizeofResource(HMODULE /*hModule*/, HRSRC hResInfo) {
  if (!hResInfo) {
    SetLastError(ERROR_INVALID_HANDLE);
    return 0;
  }
  return static_cast<DWORD>(reinterpret_cast<const std::u16string*>(hResInfo)->size() * sizeof(char16_t));
}

LPVOID WINAPI LockResource(HGLOBAL hResData) {
  return hResData;
}

}  // extern "C"
