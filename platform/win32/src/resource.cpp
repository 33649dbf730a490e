// Module resources: the string table a module declares with TESK_STRING_TABLE.
#include <algorithm>
#include <cstring>
#include <map>
#include <memory>
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

// RT_STRING blocks, built on first use and kept for the process's life: a block is keyed by
// its table, which stays valid while its module is loaded.
struct Block {
  std::u16string data;
};
std::mutex& BlocksMutex() {
  static auto* mutex = new std::mutex;
  return *mutex;
}
std::map<std::pair<const TeskStringTableData*, UINT>, std::unique_ptr<Block>>& Blocks() {
  static auto* blocks = new std::map<std::pair<const TeskStringTableData*, UINT>, std::unique_ptr<Block>>;
  return *blocks;
}

// UTF-16 texts of the loaded strings, for LoadStringW's pointer form.
const std::u16string* WideText(HINSTANCE module, UINT id) {
  static auto* texts = new std::map<std::pair<const char*, UINT>, std::u16string>;
  const char* text = FindString(module, id);
  if (!text) return nullptr;
  std::lock_guard hold(BlocksMutex());
  auto [it, added] = texts->try_emplace({text, id});
  if (added) it->second = internal::Utf8ToUtf16(text);
  return &it->second;
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
    const std::u16string* text = WideText(hInstance, uID);
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
    std::lock_guard hold(BlocksMutex());
    auto& block = Blocks()[{table, number}];
    if (!block) block = std::make_unique<Block>(Block{std::move(data)});
    return reinterpret_cast<HRSRC>(block.get());
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
  return const_cast<char16_t*>(reinterpret_cast<Block*>(hResInfo)->data.data());
}

DWORD WINAPI SizeofResource(HMODULE /*hModule*/, HRSRC hResInfo) {
  if (!hResInfo) {
    SetLastError(ERROR_INVALID_HANDLE);
    return 0;
  }
  return static_cast<DWORD>(reinterpret_cast<Block*>(hResInfo)->data.size() * sizeof(char16_t));
}

LPVOID WINAPI LockResource(HGLOBAL hResData) {
  return hResData;
}

}  // extern "C"
