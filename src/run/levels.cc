#include "run/levels.h"

#include <new>

#include "base/error.h"
#include "platform/error_codes.h"

namespace vorbex {
namespace {

// Each value adds its own tests and then those of the next lower value of
// its group: units select the 4k tests, tens the 512 ones, hundreds those
// that draw their lengths, thousands the 1m ones. 300 alone reaches outside
// its group, for test 50.
struct LevelRow {
  int32_t value;
  std::array<int32_t, 8> adds;  // ends at the first 0
  int32_t then;                 // 0: nothing more
};

constexpr LevelRow kLevelTable[] = {
    {1, {10, 9}, 0},
    {2, {11, 12, 15, 18, 21}, 1},
    {3, {28, 31, 34, 37}, 2},
    {4, {24, 25}, 3},
    {10, {6, 5}, 0},
    {20, {7, 8, 14, 17, 20}, 10},
    {30, {27, 30, 33, 36}, 20},
    {100, {2, 1}, 0},
    {200, {3, 4, 13, 16, 19}, 100},
    {300, {22, 23, 26, 29, 32, 35, 50}, 200},
    {1000, {39, 38}, 0},
    {2000, {40, 41, 42, 43, 44}, 1000},
    {3000, {45, 46, 47, 48, 49, 50}, 2000},
    {10000, {51}, 0},
};

const LevelRow* FindLevel(int32_t value) {
  for (const LevelRow& row : kLevelTable) {
    if (row.value == value) return &row;
  }
  return nullptr;
}

}  // namespace

LevelParts SplitLevel(int32_t level) {
  LevelParts parts;
  const int32_t units = level % 10;
  if (units != 0) {
    parts.values[parts.count++] = units;
    level -= units;
  }
  const int32_t tens = level % 100;
  if (tens != 0) {
    parts.values[parts.count++] = tens;
    level -= tens;
  }
  if (level != 0) parts.values[parts.count++] = level;
  return parts;
}

LevelTestList LevelTests(int32_t value) {
  LevelTestList list;
  for (const LevelRow* row = FindLevel(value); row != nullptr;
       row = row->then != 0 ? FindLevel(row->then) : nullptr) {
    for (const int32_t code : row->adds) {
      if (code == 0) break;
      list.codes[list.count++] = code;
    }
  }
  return list;
}

void CreateLevelTests(ThreadTable& table, const std::string& path,
                      int32_t value) {
  const LevelTestList list = LevelTests(value);
  for (int i = 0; i < list.count; ++i) {
    if (table.NextSlot >= ThreadTable::kSlots) {
      throw Error(platform::kErrorNotEnoughMemory);
    }
    // A test that memory cannot be had for is skipped, its slot left
    // empty; a test whose disk or thread fails stops the creation.
    table.Slots[table.NextSlot].reset(new (std::nothrow)
                                          TestThread(list.codes[i], path));
    ++table.NextSlot;
  }
}

void StopAllTests(ThreadTable& table) {
  for (std::unique_ptr<TestThread>& slot : table.Slots) {
    if (slot == nullptr) continue;
    if (slot->Stop()) {
      slot.reset();
    } else {
      static_cast<void>(slot.release());  // still in use; see Stop
    }
  }
}

}  // namespace vorbex
