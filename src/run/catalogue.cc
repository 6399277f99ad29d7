#include "run/catalogue.h"

namespace vorbex {

// Rows are found by searching from the top, so their order is kept as it is
// although it is not the order of the codes. A row's buffer is its transfer
// length plus the guard blocks its verify or rewrite reads back.
const TestEntry TestCatalogue[kCatalogueRows] = {
    {1, "Seq Read", &TestThread::SeqRead, 0, 50},
    {2, "Seq Write", &TestThread::SeqWrite, 0, 50},
    {3, "Rand Read", &TestThread::RandRead, 0, 16},
    {4, "Rand Write", &TestThread::RandWrite, 0, 16},
    {5, "Seq 512 Read", &TestThread::SeqRead, 1, 1},
    {6, "Seq 512 Write", &TestThread::SeqWrite, 1, 1},
    {7, "Rand 512 Read", &TestThread::RandRead, 1, 1},
    {8, "Rand 512 Write", &TestThread::RandWrite, 1, 1},
    {9, "Seq 4k Read", &TestThread::SeqRead, 8, 8},
    {10, "Seq 4k Write", &TestThread::SeqWrite, 8, 8},
    {11, "Rand 4k Read", &TestThread::RandRead, 8, 8},
    {12, "Rand 4k Write", &TestThread::RandWrite, 8, 8},
    {38, "Seq 1m Read", &TestThread::SeqRead, 2048, 2048},
    {39, "Seq 1m Write", &TestThread::SeqWrite, 2048, 2048},
    {40, "Rand 1m Read", &TestThread::RandRead, 2048, 2048},
    {41, "Rand 1m Write", &TestThread::RandWrite, 2048, 2048},
    {13, "Cache Read", &TestThread::CacheRead, 0, 32},
    {14, "Cache 512 Read", &TestThread::CacheRead, 1, 1},
    {15, "Cache 4k Read", &TestThread::CacheRead, 8, 8},
    {42, "Cache 1m Read", &TestThread::CacheRead, 2048, 2048},
    {16, "Seq Update", &TestThread::SeqUpdate, 0, 50},
    {17, "Seq 512 Update", &TestThread::SeqUpdate, 1, 1},
    {18, "Seq 4k Update", &TestThread::SeqUpdate, 8, 8},
    {43, "Seq 1m Update", &TestThread::SeqUpdate, 2048, 2048},
    {19, "Rand Update", &TestThread::RandUpdate, 0, 16},
    {20, "Rand 512 Update", &TestThread::RandUpdate, 1, 1},
    {21, "Rand 4k Update", &TestThread::RandUpdate, 8, 8},
    {44, "Rand 1m Update", &TestThread::RandUpdate, 2048, 2048},
    {22, "Seq Partial", &TestThread::SeqPartial, 0, 50},
    {23, "Rand Partial", &TestThread::RandPartial, 0, 16},
    {24, "Seq 4k Partial", &TestThread::SeqPartial, 8, 8},
    {25, "Rand 4k Partial", &TestThread::RandPartial, 8, 8},
    {45, "Seq 1m Partial", &TestThread::SeqPartial, 2048, 2048},
    {46, "Rand 1m Partial", &TestThread::RandPartial, 2048, 2048},
    {26, "Seq Verify", &TestThread::SeqVerify, 0, 54},
    {27, "Seq 512 Verify", &TestThread::SeqVerify, 1, 5},
    {28, "Seq 4k Verify", &TestThread::SeqVerify, 8, 24},
    {47, "Seq 1m Verify", &TestThread::SeqVerify, 2048, 2080},
    {29, "Rand Verify", &TestThread::RandVerify, 0, 20},
    {30, "Rand 512 Verify", &TestThread::RandVerify, 1, 5},
    {31, "Rand 4k Verify", &TestThread::RandVerify, 8, 24},
    {48, "Rand 1m Verify", &TestThread::RandVerify, 2048, 2080},
    {32, "Seq Rewrite", &TestThread::SeqRewrite, 0, 58},
    {33, "Seq 512 Rewrite", &TestThread::SeqRewrite, 1, 9},
    {34, "Seq 4k Rewrite", &TestThread::SeqRewrite, 8, 40},
    {49, "Seq 1m Rewrite", &TestThread::SeqRewrite, 2048, 2112},
    {35, "Rand Rewrite", &TestThread::RandRewrite, 0, 24},
    {36, "Rand 512 Rewrite", &TestThread::RandRewrite, 1, 9},
    {37, "Rand 4k Rewrite", &TestThread::RandRewrite, 8, 40},
    {50, "Rand 1m Rewrite", &TestThread::RandRewrite, 2048, 2112},
    {51, "Format Write", &TestThread::FormatWrite, 2048, 2048},
    {0, nullptr, nullptr, 0, 0},
};

const TestEntry& FindTest(int32_t code) {
  int i = 0;
  while (TestCatalogue[i].TestCode != 0 && TestCatalogue[i].TestCode != code) {
    ++i;
  }
  return TestCatalogue[i];
}

}  // namespace vorbex
