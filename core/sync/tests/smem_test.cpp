// The shared pool inside one process: its layout, adding and reading entries, the limits,
// and the checks that keep a bad index or a damaged section from reaching outside the view.
#include <algorithm>
#include <climits>
#include <functional>

#include "sync_fixture.h"

namespace tesk::sync::testing {
namespace {

using tesk::testing::RunChild;

constexpr DWORD kNameTable = 64;
constexpr DWORD kEntryTable = 64 + 4 * kPoolCapacity;
constexpr DWORD kDataStart = 64 + 12 * kPoolCapacity;

class SmemTest : public SyncTest {};

std::vector<BYTE> Snapshot(const BYTE* view) {
  return std::vector<BYTE>(view, view + kPoolSize);
}

bool Unchanged(const BYTE* view, const std::vector<BYTE>& before) {
  return std::memcmp(view, before.data(), before.size()) == 0;
}

TEST_F(SmemTest, NewPoolHasItsHeaderAndEntriesLandInTheTables) {
  BYTE* view = OpenPool();
  ASSERT_NE(view, nullptr);
  EXPECT_EQ(kPoolSize, 530496u);
  EXPECT_EQ(std::memcmp(view, "SMEM\0TeskSyncPool", 18), 0);
  for (std::size_t i = 18; i < 40; ++i) EXPECT_EQ(view[i], 0) << i;
  EXPECT_EQ(Field(view, 40), kPoolSize);
  EXPECT_EQ(Field(view, 44), 512u);
  EXPECT_EQ(Field(view, 48), 0u);
  EXPECT_EQ(Field(view, 52), kNameTable);
  EXPECT_EQ(Field(view, 56), kEntryTable);
  EXPECT_EQ(Field(view, 60), kDataStart);
  EXPECT_EQ(std::count(view + 64, view + kPoolSize, 0), kPoolSize - 64);

  EXPECT_EQ(Add(view, "alpha", 0x11223344), 0);
  const BYTE three[] = {1, 2, 3};
  LONG index = -1;
  EXPECT_EQ(SmemAddEntry(view, "be", three, sizeof(three), &index), S_OK);
  EXPECT_EQ(index, 1);

  EXPECT_EQ(Field(view, 48), 2u);
  EXPECT_EQ(Field(view, kNameTable), kDataStart);
  EXPECT_STREQ(reinterpret_cast<const char*>(view + kDataStart), "alpha");
  EXPECT_EQ(Field(view, kEntryTable), kDataStart + 6);
  EXPECT_EQ(Field(view, kEntryTable + 4), 4u);
  EXPECT_EQ(Field(view, kDataStart + 6), 0x11223344u);
  EXPECT_EQ(Field(view, kNameTable + 4), kDataStart + 10);
  EXPECT_STREQ(reinterpret_cast<const char*>(view + kDataStart + 10), "be");
  EXPECT_EQ(Field(view, kEntryTable + 8), kDataStart + 13);
  EXPECT_EQ(Field(view, kEntryTable + 12), 3u);
  EXPECT_EQ(std::memcmp(view + kDataStart + 13, three, 3), 0);
  EXPECT_EQ(Field(view, 60), kDataStart + 16);

  // Another process's plain view of the section reads the same bytes.
  const DWORD used = kDataStart + 16;
  const auto child = RunChild("sync_child", {"dump", std::to_string(used)});
  ASSERT_EQ(child.exit_code, 0) << child.output;
  std::string mine;
  for (DWORD i = 0; i < used; ++i) {
    char pair[3];
    std::snprintf(pair, sizeof(pair), "%02x", view[i]);
    mine += pair;
  }
  EXPECT_TRUE(Answer(child.output, "dump") == mine) << "the child's view differs";
}

TEST_F(SmemTest, LongPoolNameIsCutInTheHeaderButNotInTheTable) {
  const std::string name = "AVeryLongPoolNameThatRunsPastThirtyTwoCharacters";
  BYTE* view = nullptr;
  ASSERT_EQ(SmemOpenPool(name.c_str(), 256, 4, &view), S_OK);
  EXPECT_EQ(std::memcmp(view + 5, name.data(), 32), 0);
  EXPECT_EQ(view[37], 0);
  EXPECT_EQ(Field(view, 40), PoolSectionSize(256, 4));
  EXPECT_EQ(SmemFindPool(name.c_str()), view);
  EXPECT_EQ(SmemFindPool(name.substr(0, 32).c_str()), nullptr);
  EXPECT_EQ(Add(view, "entry", 7), 0);
}

TEST_F(SmemTest, AddingAnExistingNameKeepsItsEntryAndData) {
  BYTE* view = OpenPool();
  const LONG word = Add(view, "word", 0);
  DWORD busy = 0x00100001;
  ASSERT_EQ(SmemApply(
                view, word, true,
                [](const char*, void* data, void* argument) {
                  std::memcpy(data, argument, 4);
                  return S_OK;
                },
                &busy),
            S_OK);
  const auto before = Snapshot(view);
  EXPECT_EQ(Add(view, "word", 0, S_FALSE), word);
  EXPECT_EQ(Word(view, word), busy);
  EXPECT_TRUE(Unchanged(view, before));
  // Names compare exactly.
  EXPECT_EQ(Add(view, "Word", 5), 1);
  EXPECT_EQ(Add(view, "word ", 6), 2);
  EXPECT_EQ(Word(view, 1), 5u);
}

TEST_F(SmemTest, ReadEntryCopiesTheShorterOfTheTwoLengths) {
  BYTE* view = OpenPool();
  const LONG index = Add(view, "word", 0x44332211);
  struct Case {
    DWORD room;
    DWORD copied;
  };
  for (const Case c : {Case{0, 0}, Case{2, 2}, Case{4, 4}, Case{10, 4}}) {
    BYTE buffer[10];
    std::memset(buffer, 0xee, sizeof(buffer));
    DWORD length = c.room;
    EXPECT_EQ(SmemReadEntry(view, index, buffer, &length), S_OK);
    EXPECT_EQ(length, c.copied) << c.room;
    const BYTE expected[] = {0x11, 0x22, 0x33, 0x44};
    EXPECT_EQ(std::memcmp(buffer, expected, c.copied), 0);
    EXPECT_EQ(std::count(buffer + c.copied, buffer + 10, 0xee), 10 - static_cast<int>(c.copied)) << c.room;
  }
}

TEST_F(SmemTest, ApplyAndLockEntryHoldTheEntryMutexOnlyWhileAsked) {
  BYTE* view = OpenPool();
  const LONG index = Add(view, "guarded", 3);
  const std::string mutex_name = "SMEM.TeskSyncPool.guarded";

  struct Seen {
    std::string name;
    void* data = nullptr;
    MutexState entry_mutex = MutexState::kFree;
  };
  for (const bool lock : {true, false}) {
    Seen seen;
    const HRESULT answer = SmemApply(
        view, index, lock,
        [](const char* entry_name, void* data, void* argument) -> HRESULT {
          auto* s = static_cast<Seen*>(argument);
          s->name = entry_name;
          s->data = data;
          s->entry_mutex = StateOf("SMEM.TeskSyncPool.guarded");
          return 0x1234;
        },
        &seen);
    EXPECT_EQ(answer, 0x1234) << lock;
    EXPECT_EQ(seen.name, "guarded");
    EXPECT_EQ(seen.data, view + Field(view, kEntryTable + 8 * index));
    EXPECT_EQ(seen.entry_mutex, lock ? MutexState::kHeld : MutexState::kAbsent);
    EXPECT_EQ(StateOf(mutex_name), MutexState::kAbsent) << "the entry mutex was left open, lock " << lock;
  }

  HANDLE held = nullptr;
  ASSERT_EQ(SmemLockEntry(view, index, &held), S_OK);
  ASSERT_NE(held, nullptr);
  EXPECT_EQ(StateOf(mutex_name), MutexState::kHeld);
  SmemUnlockEntry(held);
  EXPECT_EQ(StateOf(mutex_name), MutexState::kAbsent);
}

TEST_F(SmemTest, FullPoolRefusesTheNextEntryAndWritesNothing) {
  BYTE* view = OpenPool();
  for (DWORD i = 0; i < kPoolCapacity; ++i) {
    ASSERT_EQ(Add(view, ("e" + std::to_string(i)).c_str(), i), static_cast<LONG>(i));
  }
  const auto before = Snapshot(view);
  LONG index = 0x7eadbeef;
  const DWORD word = 1;
  EXPECT_EQ(SmemAddEntry(view, "e512", &word, sizeof(word), &index), E_OUTOFMEMORY);
  EXPECT_EQ(index, 0x7eadbeef);
  EXPECT_TRUE(Unchanged(view, before)) << "the refused entry wrote into the pool";
  // The entry table starts right after the last name; the last entry still reads as before.
  EXPECT_EQ(Word(view, 511), 511u);
  EXPECT_EQ(Add(view, "e7", 0, S_FALSE), 7);
}

TEST_F(SmemTest, DataAreaRefusesWhatNoLongerFitsAndAcceptsAnExactFit) {
  BYTE* view = OpenPool();
  // Leave exactly eight free bytes at the end of the data area.
  std::vector<BYTE> big(kPoolSize - kDataStart - 4 - 8, 0x5a);
  LONG index = -1;
  ASSERT_EQ(SmemAddEntry(view, "big", big.data(), static_cast<DWORD>(big.size()), &index), S_OK);
  ASSERT_EQ(Field(view, 60), kPoolSize - 8);

  struct Case {
    const char* name;
    DWORD length;
    HRESULT expected;
  };
  const BYTE data[8] = {1, 2, 3, 4, 5, 6, 7, 8};
  for (const Case c :
       {Case{"too-long-name", 0, E_OUTOFMEMORY}, Case{"n", 7, E_OUTOFMEMORY},
        Case{"n", 0xFFFFFFFF, E_OUTOFMEMORY}, Case{"n", 6, S_OK}, Case{"", 0, E_OUTOFMEMORY}}) {
    const auto before = Snapshot(view);
    if (c.length == 0xFFFFFFFF) {
      // A length that would wrap the cursor; the data pointer is never read.
      EXPECT_EQ(SmemAddEntry(view, c.name, view, c.length, &index), c.expected);
    } else {
      EXPECT_EQ(SmemAddEntry(view, c.name, data, c.length, &index), c.expected) << c.name << " " << c.length;
    }
    if (c.expected != S_OK) {
      EXPECT_TRUE(Unchanged(view, before)) << c.name << " " << c.length;
    }
  }
  EXPECT_EQ(Field(view, 60), kPoolSize);
  EXPECT_EQ(std::memcmp(view + kPoolSize - 8, "n\0\1\2\3\4\5\6", 8), 0);
  EXPECT_EQ(view[kPoolSize - 9], 0x5a);
  EXPECT_EQ(Field(view, 48), 2u);
}

TEST_F(SmemTest, BadIndexesViewsAndSignaturesAnswerFail) {
  BYTE* view = OpenPool();
  Add(view, "only", 1);
  auto all_fail = [](BYTE* v, LONG index) {
    DWORD word = 0;
    DWORD length = sizeof(word);
    HANDLE held = INVALID_HANDLE_VALUE;
    auto fn = [](const char*, void*, void*) { return S_OK; };
    std::string failed;
    if (SmemReadEntry(v, index, &word, &length) != E_FAIL) failed += " read";
    if (SmemLockEntry(v, index, &held) != E_FAIL || held != nullptr) failed += " lock";
    if (SmemApply(v, index, true, fn, nullptr) != E_FAIL) failed += " apply";
    if (SmemApply(v, index, false, fn, nullptr) != E_FAIL) failed += " apply-unlocked";
    return failed;
  };
  for (const LONG index : {-1, 1, 511, 512, INT_MIN, INT_MAX}) EXPECT_EQ(all_fail(view, index), "") << index;

  // A copy of the pool is not a pool this process opened: its size cannot be trusted.
  auto copy = Snapshot(view);
  EXPECT_EQ(all_fail(copy.data(), 0), "");
  EXPECT_EQ(all_fail(nullptr, 0), "");
  LONG index = -1;
  EXPECT_EQ(Add(copy.data(), "new", 0, E_FAIL), -1);
  EXPECT_EQ(Add(nullptr, "new", 0, E_FAIL), -1);

  for (const std::size_t byte : {0, 3, 4}) {
    const BYTE saved = view[byte];
    view[byte] = '!';
    EXPECT_EQ(all_fail(view, 0), "") << byte;
    EXPECT_EQ(Add(view, "new", 0, E_FAIL), -1) << byte;
    EXPECT_EQ(Add(view, "only", 0, E_FAIL), -1) << byte;
    view[byte] = saved;
  }
  EXPECT_EQ(Field(view, 48), 1u);

  // Bad arguments.
  const DWORD word = 0;
  DWORD length = 4;
  BYTE* out = view;
  EXPECT_EQ(SmemAddEntry(view, nullptr, &word, 4, &index), E_INVALIDARG);
  EXPECT_EQ(SmemAddEntry(view, "x", nullptr, 4, &index), E_INVALIDARG);
  EXPECT_EQ(SmemAddEntry(view, "x", &word, 4, nullptr), E_INVALIDARG);
  EXPECT_EQ(SmemReadEntry(view, 0, nullptr, &length), E_INVALIDARG);
  EXPECT_EQ(SmemReadEntry(view, 0, &length, nullptr), E_INVALIDARG);
  EXPECT_EQ(SmemLockEntry(view, 0, nullptr), E_INVALIDARG);
  EXPECT_EQ(SmemApply(view, 0, true, nullptr, nullptr), E_INVALIDARG);
  EXPECT_EQ(SmemOpenPool(nullptr, 16, 1, &out), E_INVALIDARG);
  EXPECT_EQ(out, nullptr);
  EXPECT_EQ(SmemOpenPool("Huge", 0xFFFFFFFF, 1, &out), E_INVALIDARG);
  EXPECT_EQ(SmemOpenPool("Huge", 16, 1, nullptr), E_INVALIDARG);
  EXPECT_EQ(Field(view, 48), 1u);
  SmemUnlockEntry(nullptr);
}

TEST_F(SmemTest, DamagedHeadersAndTablesAreRefusedWithoutReachingOutside) {
  BYTE* view = OpenPool();
  Add(view, "a", 0x01020304);
  const auto good = Snapshot(view);
  struct Case {
    const char* what;
    std::function<void(BYTE*)> damage;
    bool entry_readable;
  };
  const Case cases[] = {
      {"count above capacity", [](BYTE* v) { SetField(v, 48, 513); }, false},
      {"capacity past the section", [](BYTE* v) { SetField(v, 44, 0x40000000); }, false},
      {"name table past the end", [](BYTE* v) { SetField(v, 52, 0xFFFFFFF0); }, false},
      {"name table in the header", [](BYTE* v) { SetField(v, 52, 8); }, false},
      {"entry table over the name table", [](BYTE* v) { SetField(v, 56, 64); }, false},
      {"total size shrunk below the tables", [](BYTE* v) { SetField(v, 40, 100); }, false},
      {"name past the end", [](BYTE* v) { SetField(v, kNameTable, kPoolSize); }, false},
      {"name inside the tables", [](BYTE* v) { SetField(v, kNameTable, 64); }, false},
      {"name without terminator",
       [](BYTE* v) {
         SetField(v, kNameTable, kPoolSize - 3);
         std::memset(v + kPoolSize - 3, 'x', 3);
       },
       false},
      {"data running past the end", [](BYTE* v) { SetField(v, kEntryTable, kPoolSize - 2); }, false},
      {"data length wrapping", [](BYTE* v) { SetField(v, kEntryTable + 4, 0xFFFFFFFF); }, false},
      {"data inside the tables", [](BYTE* v) { SetField(v, kEntryTable, 64); }, false},
      {"cursor past the end", [](BYTE* v) { SetField(v, 60, kPoolSize + 1); }, true},
      {"cursor inside the tables", [](BYTE* v) { SetField(v, 60, 64); }, true},
  };
  for (const auto& c : cases) {
    std::memcpy(view, good.data(), good.size());
    c.damage(view);
    const auto damaged = Snapshot(view);
    DWORD word = 0;
    DWORD length = sizeof(word);
    bool called = false;
    const HRESULT read = SmemReadEntry(view, 0, &word, &length);
    const HRESULT apply = SmemApply(
        view, 0, true,
        [](const char*, void*, void* argument) {
          *static_cast<bool*>(argument) = true;
          return S_OK;
        },
        &called);
    EXPECT_EQ(read, c.entry_readable ? S_OK : E_FAIL) << c.what;
    EXPECT_EQ(apply == S_OK, c.entry_readable) << c.what;
    EXPECT_EQ(called, c.entry_readable) << c.what;
    LONG index = -1;
    const DWORD data = 9;
    EXPECT_EQ(SmemAddEntry(view, "fresh", &data, sizeof(data), &index), E_FAIL) << c.what;
    EXPECT_TRUE(Unchanged(view, damaged)) << c.what;
  }
  std::memcpy(view, good.data(), good.size());
}

TEST_F(SmemTest, ClosePoolsUnmapsEveryPoolAndTheirSectionsGo) {
  // More pools than the table's first room.
  constexpr int kPools = 40;
  std::vector<BYTE*> views;
  for (int i = 0; i < kPools; ++i) {
    BYTE* view = nullptr;
    const std::string name = "Pool" + std::to_string(i);
    ASSERT_EQ(SmemOpenPool(name.c_str(), 64, 2, &view), S_OK) << name;
    views.push_back(view);
    Add(view, "entry", static_cast<DWORD>(i));
  }
  for (int i = 0; i < kPools; ++i) {
    EXPECT_EQ(SmemFindPool(("Pool" + std::to_string(i)).c_str()), views[i]) << i;
    EXPECT_EQ(Word(views[i], 0), static_cast<DWORD>(i));
  }
  EXPECT_EQ(SmemFindPool("Pool40"), nullptr);

  SmemClosePools();
  for (int i = 0; i < kPools; ++i) EXPECT_EQ(SmemFindPool(("Pool" + std::to_string(i)).c_str()), nullptr);
  EXPECT_EQ(OpenFileMappingA(FILE_MAP_READ, FALSE, "Pool0"), nullptr);
  BYTE* again = nullptr;
  ASSERT_EQ(SmemOpenPool("Pool0", 64, 2, &again), S_OK);
  EXPECT_EQ(Field(again, 48), 0u);
}

TEST_F(SmemTest, SectionWithoutTheSignatureIsRefused) {
  for (const char* contents : {"JUNK", "", "SMEX", "SMEM!"}) {
    const HANDLE section =
        CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, kPoolSize, kPoolName);
    ASSERT_NE(section, nullptr);
    void* raw = MapViewOfFile(section, FILE_MAP_WRITE, 0, 0, 0);
    ASSERT_NE(raw, nullptr);
    std::memcpy(raw, contents, std::strlen(contents));
    BYTE* view = reinterpret_cast<BYTE*>(1);
    EXPECT_EQ(SmemOpenPool(kPoolName, kPoolDataSize, kPoolCapacity, &view), E_FAIL) << contents;
    EXPECT_EQ(view, nullptr);
    EXPECT_EQ(SmemFindPool(kPoolName), nullptr);
    UnmapViewOfFile(raw);
    CloseHandle(section);
  }
  // Once the plain section is gone the pool is made afresh.
  EXPECT_NE(OpenPool(), nullptr);
}

}  // namespace
}  // namespace tesk::sync::testing
