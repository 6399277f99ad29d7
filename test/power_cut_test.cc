#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "base/error.h"
#include "check/power_cut_check.h"
#include "check/scanner.h"
#include "check/startup_check.h"
#include "disk/mismatch_log.h"
#include "fake_disk_test.h"
#include "journal/journal_format.h"
#include "journal/journal_reader.h"
#include "journal/journal_writer.h"
#include "platform/error_codes.h"
#include "run/power_cut_run.h"
#include "test_support.h"

namespace vorbex {
namespace {

using journal::JournalContents;

// A journal file of the test's own: plain appends, and a sync that counts.
class FileSink final : public platform::AppendFile {
 public:
  explicit FileSink(const std::string& path)
      : file_(std::fopen(path.c_str(), "wb")) {}
  ~FileSink() override { std::fclose(file_); }
  FileSink(const FileSink&) = delete;
  FileSink& operator=(const FileSink&) = delete;
  uint32_t Append(const void* bytes, size_t n) override {
    return std::fwrite(bytes, 1, n, file_) == n ? 0 : 1;
  }
  uint32_t Sync() override { return std::fflush(file_) == 0 ? 0 : 1; }
  bool Keeps() const override { return true; }

 private:
  std::FILE* file_;
};

std::vector<uint8_t> Bytes(const std::string& path) {
  return testing::ReadFile(path);
}

TEST(JournalFormatTest, RecordsRoundTripAndATornTailIsIgnored) {
  testing::TempDir dir;
  const std::string path = dir.File("j");
  journal::Header h;
  h.disk_id = 0xABCD;
  h.blocks = 100;
  h.first_write_seq = 7;
  std::vector<uint8_t> bytes(journal::kHeaderBytes);
  journal::EncodeHeader(h, bytes.data());
  uint8_t r[journal::kLargestRecord];
  const auto add = [&](size_t n) { bytes.insert(bytes.end(), r, r + n); };
  add(journal::EncodeWrite({7, 10, 4, 1000}, r));
  add(journal::EncodeFlush({0, 1, 2000, 3000}, r));
  add(journal::EncodeWrite({8, 0, 1, 4000}, r));
  add(journal::EncodeFlush({5, 2, 5000, 6000}, r));  // failed
  add(journal::EncodeCut({7000}, r));
  testing::WriteFile(path, bytes);

  JournalContents c;
  ASSERT_EQ(journal::ReadJournal(path, &c), "");
  EXPECT_FALSE(c.cut_short);
  EXPECT_EQ(c.header.disk_id, 0xABCDu);
  ASSERT_EQ(c.writes.size(), 2u);
  EXPECT_EQ(c.writes[0].first, 10);
  EXPECT_EQ(c.writes[0].count, 4);
  ASSERT_EQ(c.flushes.size(), 2u);
  EXPECT_EQ(c.flushes[1].result, 5u);
  EXPECT_EQ(c.last_ns, 7000);
  // Only the flush that succeeded makes anything durable.
  EXPECT_EQ(journal::DurableFlushes(c), (std::vector<int32_t>{0, -1}));

  // Torn inside the last record, or damaged there: what comes before holds.
  for (const bool torn : {true, false}) {
    std::vector<uint8_t> cut = bytes;
    if (torn) {
      cut.resize(cut.size() - 5);
    } else {
      cut[cut.size() - 3] ^= 1;
    }
    testing::WriteFile(path, cut);
    ASSERT_EQ(journal::ReadJournal(path, &c), "");
    EXPECT_TRUE(c.cut_short);
    EXPECT_EQ(c.flushes.size(), 2u);
    EXPECT_TRUE(c.cuts.empty());
    EXPECT_EQ(c.last_ns, 6000);
  }

  // Not a journal, none at all, or one whose sound record makes no sense.
  testing::WriteFile(path, std::vector<uint8_t>(100, 0));
  EXPECT_NE(journal::ReadJournal(path, &c).find("not a journal"),
            std::string::npos);
  EXPECT_NE(journal::ReadJournal(dir.File("none"), &c).find("cannot read"),
            std::string::npos);
  bytes.resize(journal::kHeaderBytes);
  add(journal::EncodeWrite({7, 99, 2, 1000}, r));
  testing::WriteFile(path, bytes);
  EXPECT_NE(journal::ReadJournal(path, &c).find("outside"), std::string::npos);
}

// A target whose flushes are counted, for the journal's threads.
class CountingTarget final : public platform::Target {
 public:
  uint32_t QuerySize(int64_t* bytes) override {
    *bytes = 0;
    return 0;
  }
  uint32_t ReadAt(int64_t, void*, uint32_t, uint32_t* moved) override {
    *moved = 0;
    return 0;
  }
  uint32_t WriteAt(int64_t, const void*, uint32_t, uint32_t* moved) override {
    *moved = 0;
    return 0;
  }
  uint32_t Flush() override { return 0; }
};

TEST(JournalWriterTest, EveryFlushFollowsTheWritesItCovers) {
  testing::TempDir dir;
  const std::string path = dir.File("j");
  {
    journal::Journal j(std::make_unique<FileSink>(path), path,
                       std::make_unique<CountingTarget>(), 1);
    journal::Header h;
    h.blocks = 1 << 20;
    j.Start(h);
    std::vector<std::thread> writers;
    for (int t = 0; t < 4; ++t) {
      writers.emplace_back([&j, t] {
        for (int i = 0; i < 20000; ++i) {
          j.RecordWrite(int64_t{t} * 100000 + i, t * 1000 + i % 1000, 1, 0);
        }
      });
    }
    // On a loaded machine the flusher may not have run yet, and the final
    // flush would then be its first and only one.
    for (int ms = 0; ms < 10000 && j.Stats().flushes == 0; ++ms) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    for (std::thread& w : writers) w.join();
    j.Finish(true, 10000);
    const journal::JournalStats s = j.Stats();
    EXPECT_EQ(s.writes + s.dropped, 80000);
    EXPECT_GE(s.flushes, 2);
    EXPECT_FALSE(s.broken);
  }
  JournalContents c;
  ASSERT_EQ(journal::ReadJournal(path, &c), "");
  // Walk the file: a flush never claims a write that comes after it.
  const std::vector<uint8_t> bytes = Bytes(path);
  size_t at = journal::kHeaderBytes;
  int64_t writes = 0;
  int64_t last_covers = 0;
  while (at < bytes.size()) {
    const journal::Decoded d =
        journal::DecodeRecord(bytes.data() + at, bytes.size() - at);
    ASSERT_EQ(d.outcome, journal::Decoded::kRecord);
    if (d.kind == journal::RecordKind::kWrite) ++writes;
    if (d.kind == journal::RecordKind::kFlush) {
      EXPECT_LE(d.flush.covers, writes);
      last_covers = d.flush.covers;
    }
    at += d.size;
  }
  // The final flush came after every write.
  EXPECT_EQ(last_covers, writes);
  EXPECT_EQ(static_cast<size_t>(writes), c.writes.size());
}

// A run on an in-memory target that keeps a journal, then a "cut" that puts
// back on the medium what it held at some earlier moment, and the check.
class PowerCutCheckTest : public testing::FakeDiskTest {
 protected:
  static constexpr int32_t kBlocks = 3000;
  static constexpr int32_t kChunk = 256;  // so the window slides

  void SetUp() override {
    FakeDiskTest::SetUp();
    g_flags.RunID = 0x77;
    journal_path_ = dir_.File("j");
    env_.AddTarget(path_, int64_t{kBlocks} * kBlockSize);
  }

  void TearDown() override {
    journal::g_journal = nullptr;
    FakeDiskTest::TearDown();
  }

  std::vector<uint8_t> Medium() {
    return env_.ReadMedium(path_, 0, size_t{kBlocks} * kBlockSize);
  }
  void PutBack(const std::vector<uint8_t>& from, int32_t b) {
    env_.WriteMedium(
        path_, int64_t{b} * kBlockSize,
        std::vector<uint8_t>(from.begin() + int64_t{b} * kBlockSize,
                             from.begin() + int64_t{b + 1} * kBlockSize));
  }

  // Writes `count` random ranges, recording the blocks each touched.
  void Writes(TestDisk* w, int count, std::set<int32_t>* touched,
              std::vector<std::pair<int32_t, int32_t>>* ranges = nullptr) {
    for (int k = 0; k < count; ++k) {
      const int32_t n = std::uniform_int_distribution<int32_t>(1, 300)(rng_);
      const int32_t first =
          std::uniform_int_distribution<int32_t>(1, kBlocks - n)(rng_);
      w->WriteRange(first, n);
      for (int32_t b = first; b < first + n; ++b) touched->insert(b);
      if (ranges != nullptr) ranges->push_back({first, n});
    }
  }

  // A formatted target, then a journalled run: writes, a flush, more
  // writes. The medium as it was before the run, at the flush and at the
  // end are kept.
  void JournalledRun() {
    TestDisk* w = Open(path_, 512, 7);
    for (int32_t b = 0; b < kBlocks; b += 500) {
      w->WriteRange(b, std::min(500, kBlocks - b));
    }
    before_ = Medium();
    std::unique_ptr<platform::Target> flush_target;
    ASSERT_EQ(env_.OpenTarget(path_, false, &flush_target), 0u);
    journal::Journal j(std::make_unique<FileSink>(journal_path_), journal_path_,
                       std::move(flush_target), 0);
    journal::Header h;
    h.disk_id = w->Table->DiskID;
    h.blocks = kBlocks;
    h.first_write_seq = w->Table->WriteSeq;
    j.Start(h);
    // The flusher's first flush, at once but on its own thread, must not
    // come among the writes after the test's own.
    for (int ms = 0; ms < 10000 && j.Stats().flushes == 0; ++ms) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    journal::g_journal = &j;
    Writes(w, 40, &durable_);
    j.FlushNow();
    at_flush_ = Medium();
    Writes(w, 40, &after_flush_, &late_ranges_);
    journal::g_journal = nullptr;
    j.Finish(false, 10000);
    Close(w);
  }

  // Whatever came after the flush is lost, except half of some writes.
  void CutAfterTheFlush() {
    const std::vector<uint8_t> end = Medium();
    for (const int32_t b : after_flush_) PutBack(at_flush_, b);
    for (size_t k = 0; k < late_ranges_.size(); k += 3) {
      const auto [first, n] = late_ranges_[k];
      for (int32_t b = first; b < first + n / 2; ++b) PutBack(end, b);
    }
  }

  // The whole-target check, held to the journal; its reports.
  std::string Check(PowerCutFacts* facts) {
    return Check(facts, journal_path_);
  }
  std::string Check(PowerCutFacts* facts, const std::string& journal_path) {
    JournalContents contents;
    EXPECT_EQ(journal::ReadJournal(journal_path, &contents), "");
    PowerCutCheck check(std::move(contents), journal_path);
    TestDisk* disk = Open(path_, kChunk);
    const size_t earlier = RecordedMismatches().Records.size();
    ::testing::internal::CaptureStdout();
    Scanner(*disk, 1, &check).Run();
    const std::string out = ::testing::internal::GetCapturedStdout();
    const std::vector<MismatchRecord> all = RecordedMismatches().Records;
    records_.assign(all.begin() + static_cast<int64_t>(earlier), all.end());
    Close(disk);
    *facts = check.Facts();
    return out;
  }

  testing::TempDir dir_;
  std::string path_ = "t.img";
  std::string journal_path_;
  std::mt19937 rng_{5};
  std::vector<uint8_t> before_, at_flush_;
  std::set<int32_t> durable_, after_flush_;
  std::vector<std::pair<int32_t, int32_t>> late_ranges_;
  std::vector<MismatchRecord> records_;
};

TEST_F(PowerCutCheckTest, ACrashLosesNothingAndIsNotReported) {
  JournalledRun();
  PowerCutFacts facts;
  EXPECT_EQ(Check(&facts), "");
  EXPECT_EQ(facts.allowed, 0);
  EXPECT_EQ(facts.blocks_lost_from_cache, 0);
  EXPECT_EQ(facts.writes_lost_after_flush, 0);
  EXPECT_GT(facts.durable_writes, 0);
  EXPECT_LT(facts.volatile_window_s, 0);
}

TEST_F(PowerCutCheckTest, WritesAfterTheLastFlushMayBeLostOrTorn) {
  JournalledRun();
  CutAfterTheFlush();
  PowerCutFacts facts;
  EXPECT_EQ(Check(&facts), "");
  EXPECT_GT(facts.blocks_lost_from_cache, 0);
  EXPECT_GT(facts.torn_writes, 0);
  EXPECT_GT(facts.allowed, 0);
  EXPECT_EQ(facts.writes_lost_after_flush, 0);
  EXPECT_GE(facts.volatile_window_s, 0);
}

TEST_F(PowerCutCheckTest, ADurableWriteLostIsReportedAndNothingElse) {
  JournalledRun();
  for (const int32_t b : after_flush_) PutBack(at_flush_, b);
  // One block that only the journal still knows was written, and one
  // damaged that the journalled run never wrote.
  int32_t lost = -1;
  for (const int32_t b : durable_) {
    if (after_flush_.count(b) == 0) {
      lost = b;
      break;
    }
  }
  ASSERT_GE(lost, 0);
  PutBack(before_, lost);
  int32_t untouched = 1;
  while (durable_.count(untouched) != 0 || after_flush_.count(untouched) != 0) {
    ++untouched;
  }
  std::vector<uint8_t> bytes =
      env_.ReadMedium(path_, int64_t{untouched} * kBlockSize, kBlockSize);
  bytes[400] ^= 4;
  env_.WriteMedium(path_, int64_t{untouched} * kBlockSize, bytes);

  PowerCutFacts facts;
  const std::string out = Check(&facts);
  EXPECT_NE(out.find("Block " + std::to_string(lost) + ":"), std::string::npos);
  EXPECT_NE(out.find("\tLost after a flush: WriteSeq"), std::string::npos);
  ASSERT_EQ(records_.size(), 2u) << out;
  EXPECT_EQ(records_[0].Block, std::min(lost, untouched));
  for (const MismatchRecord& r : records_) {
    EXPECT_EQ(r.What, r.Block == lost ? MismatchRecord::kDurableLost
                                      : MismatchRecord::kChecksum);
  }
  EXPECT_EQ(facts.writes_lost_after_flush, 1);
  EXPECT_EQ(facts.blocks_lost_after_flush, 1);
}

// The resume held to a journal rewrites what the cut left behind after its
// own journal has begun; when the power goes before the rewrites are done,
// the check held to the resume's journal must not report the blocks not
// yet rewritten, on a drive that lost only what it was allowed to.
TEST_F(PowerCutCheckTest, ACutDuringAResumesRewritesLeavesNoReport) {
  JournalledRun();
  CutAfterTheFlush();
  JournalContents contents;
  ASSERT_EQ(journal::ReadJournal(journal_path_, &contents), "");
  PowerCutCheck held(std::move(contents), journal_path_);
  const std::string second = dir_.File("j2");
  journal::Journal* resumed = nullptr;
  StartupExtras extras;
  extras.power_cut = &held;
  extras.before_writes = [&](TestDisk& anchor) {
    resumed = StartRunJournal(anchor, std::make_unique<FileSink>(second),
                              second, 0, false, &held);
    // Block 0's write, the first of the start-up.
    env_.CutDuringWrite(path_);
  };
  g_flags.resume = 1;
  ::testing::internal::CaptureStdout();
  EXPECT_THROW(StartupCheck(path_, extras), Error);
  ::testing::internal::GetCapturedStdout();
  g_flags.resume = 0;
  ASSERT_NE(resumed, nullptr);
  resumed->Finish(false, 10000);
  journal::g_journal = nullptr;
  delete resumed;
  ASSERT_FALSE(held.LeftBehind().empty());
  env_.PowerOn(path_);

  PowerCutFacts facts;
  const std::string out = Check(&facts, second);
  EXPECT_TRUE(records_.empty()) << records_.size() << " reports, the first:\n"
                                << out.substr(0, out.find("\n\n"));
}

// A format's new DiskID is nowhere else but in its writes, so a cut that
// took every write of the format before a flush made any of them durable,
// as an honest drive may, leaves a target without it; the journal promised
// nothing, and the check must still take it.
TEST_F(PowerCutCheckTest, AFormatCutBeforeAnyFlushCanBeChecked) {
  env_.EnableWriteCache(path_, {});
  TestDisk* w = Open(path_, 512, 51);
  {
    // No flushes at all.
    journal::Journal j(std::make_unique<FileSink>(journal_path_), journal_path_,
                       nullptr, 0);
    journal::Header h;
    h.disk_id = w->Table->DiskID;
    h.blocks = kBlocks;
    h.first_write_seq = w->Table->WriteSeq;
    j.Start(h);
    journal::g_journal = &j;
    for (int32_t b = 0; b < kBlocks; b += 500) {
      w->WriteRange(b, std::min(500, kBlocks - b));
    }
    journal::g_journal = nullptr;
    j.Finish(false, 10000);
  }
  Close(w);
  EXPECT_EQ(env_.Cut(path_).allowed_lost.size(), size_t{kBlocks});
  env_.PowerOn(path_);

  std::unique_ptr<PowerCutCheck> check;
  EXPECT_EQ(PrepareCheckJournal(journal_path_, path_, false, &check), "");
}

}  // namespace
}  // namespace vorbex
