// How a terminal's console gathers standard output: in few writes, in
// order with standard error, within its bound, shown after a pause without
// being asked, and stopped by a failed write.
#include "platform/gathered_output.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <future>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

using platform::GatheredOutput;
using platform::OutputStream;
using namespace std::chrono_literals;

// Stands for the system's write: records each write, stderr marked. Its
// state is read and set through Locked, as the console's thread writes too.
class Recorder {
 public:
  struct State {
    std::string transcript;
    int output_writes = 0;
    std::size_t largest_output_write = 0;
    bool fail_output = false;
    bool held = false;  // a terminal that takes nothing for now (Ctrl+S)
  };

  GatheredOutput::WriteFunction Function() {
    return [this](OutputStream stream, std::string_view bytes, std::string* error) {
      std::unique_lock<std::mutex> lock(mutex_);
      const bool to_output = stream == OutputStream::kStandardOutput;
      if (to_output) ++state_.output_writes;
      changed_.notify_all();
      if (to_output) changed_.wait(lock, [this] { return !state_.held; });
      if (to_output && state_.fail_output) {
        *error = "No space left on device";
        return false;
      }
      if (to_output) state_.largest_output_write = std::max(state_.largest_output_write, bytes.size());
      state_.transcript += to_output ? "" : "<stderr>";
      state_.transcript.append(bytes);
      changed_.notify_all();
      return true;
    };
  }
  /// Calls `use` with the state, under the lock.
  template <typename Use>
  auto Locked(Use use) {
    std::lock_guard<std::mutex> lock(mutex_);
    changed_.notify_all();
    return use(state_);
  }
  /// Waits (a few seconds at most) until `done` holds for the state.
  template <typename Done>
  bool WaitUntil(Done done) {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, 5s, [&] { return done(state_); });
  }
  std::string transcript() {
    return Locked([](State& state) { return state.transcript; });
  }
  int output_writes() {
    return Locked([](State& state) { return state.output_writes; });
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  State state_;
};

using State = Recorder::State;

std::string Line(int i) { return "Delete : /p/folder" + std::to_string(i) + "/x.obj \n"; }

bool Put(GatheredOutput& out, OutputStream stream, const std::string& bytes) {
  std::string error;
  return out.Write(stream, bytes, &error);
}

TEST(GatheredOutputTest, LinesGoOutInFewWritesInOrderAndBeforeEachErrorLine) {
  Recorder recorder;
  std::string expected;
  {
    // An interval no test outlasts: only the error line, the bound and
    // Flush make it write.
    GatheredOutput out(recorder.Function(), 64 * 1024, 1h);
    for (int i = 0; i < 1000; ++i) {
      ASSERT_TRUE(Put(out, OutputStream::kStandardOutput, Line(i)));
      expected += Line(i);
    }
    EXPECT_EQ(out.gathered(), expected.size());
    EXPECT_EQ(recorder.output_writes(), 0);
    ASSERT_TRUE(Put(out, OutputStream::kStandardError, "Error: cannot delete 'x'\n"));
    expected += "<stderr>Error: cannot delete 'x'\n";
    EXPECT_EQ(recorder.transcript(), expected) << "the lines before an error line come first";
    EXPECT_EQ(out.gathered(), 0u);
    for (int i = 1000; i < 1010; ++i) {
      ASSERT_TRUE(Put(out, OutputStream::kStandardOutput, Line(i)));
      expected += Line(i);
    }
    std::string error;
    ASSERT_TRUE(out.Flush(&error));
    EXPECT_EQ(recorder.transcript(), expected);
    EXPECT_EQ(recorder.output_writes(), 2);
    ASSERT_TRUE(Put(out, OutputStream::kStandardOutput, "Total Remove File : 1010\n"));
    expected += "Total Remove File : 1010\n";
  }
  EXPECT_EQ(recorder.transcript(), expected) << "what is left goes out at the end";
}

TEST(GatheredOutputTest, NeverHoldsMoreThanItsBoundAndALongerWriteGoesOutAlone) {
  Recorder recorder;
  constexpr std::size_t kBound = 100;
  GatheredOutput out(recorder.Function(), kBound, 1h);
  std::string expected;
  for (int i = 0; i < 50; ++i) {
    // Now and then a piece longer than the bound.
    const std::string piece = i % 10 == 9 ? std::string(250, 'a' + i % 26) + "\n" : Line(i);
    ASSERT_TRUE(Put(out, OutputStream::kStandardOutput, piece));
    expected += piece;
    EXPECT_LE(out.gathered(), kBound);
  }
  std::string error;
  ASSERT_TRUE(out.Flush(&error));
  EXPECT_EQ(recorder.transcript(), expected);
  EXPECT_EQ(recorder.Locked([](State& state) { return state.largest_output_write; }), 251u);
  EXPECT_LT(recorder.output_writes(), 50);
}

// The run goes on while the terminal takes a batch, as long as there is room.
TEST(GatheredOutputTest, ABatchIsWrittenWhileTheRunGoesOnGatheringTheNext) {
  Recorder recorder;
  GatheredOutput out(recorder.Function(), 1000, 1h);
  recorder.Locked([](State& state) { state.held = true; });
  const std::string first(600, 'a');
  ASSERT_TRUE(Put(out, OutputStream::kStandardOutput, first));
  ASSERT_TRUE(recorder.WaitUntil([](State& state) { return state.output_writes == 1; }))
      << "half the bound is a batch";
  EXPECT_EQ(out.gathered(), 600u) << "written, not yet out";
  const std::string second(300, 'b');
  std::future<bool> put = std::async(std::launch::async, [&] {
    return Put(out, OutputStream::kStandardOutput, second);
  });
  const bool went_on = put.wait_for(5s) == std::future_status::ready;
  EXPECT_TRUE(went_on) << "there is room: no waiting for the terminal";
  if (went_on) {
    EXPECT_EQ(out.gathered(), 900u);
  }
  recorder.Locked([](State& state) { state.held = false; });
  EXPECT_TRUE(put.get());
  std::string error;
  ASSERT_TRUE(out.Flush(&error));
  EXPECT_EQ(recorder.transcript(), first + second);
}

TEST(GatheredOutputTest, ALineIsShownAfterAPauseWithoutBeingAsked) {
  Recorder recorder;
  GatheredOutput out(recorder.Function(), 64 * 1024, 20ms);
  ASSERT_TRUE(Put(out, OutputStream::kStandardOutput, Line(1)));
  EXPECT_TRUE(recorder.WaitUntil([](State& state) { return state.transcript == Line(1); }));
  // And again after the thread has had nothing to do for a while.
  std::this_thread::sleep_for(50ms);
  ASSERT_TRUE(Put(out, OutputStream::kStandardOutput, Line(2)));
  EXPECT_TRUE(
      recorder.WaitUntil([](State& state) { return state.transcript == Line(1) + Line(2); }));
}

TEST(GatheredOutputTest, AFailedBatchFailsTheNextWriteAndNothingMoreIsTried) {
  Recorder recorder;
  GatheredOutput out(recorder.Function(), 64 * 1024, 1h);
  ASSERT_TRUE(Put(out, OutputStream::kStandardOutput, Line(1)));
  recorder.Locked([](State& state) { state.fail_output = true; });
  std::string error;
  EXPECT_FALSE(out.Flush(&error));
  EXPECT_EQ(error, "No space left on device");
  error.clear();
  EXPECT_FALSE(out.Write(OutputStream::kStandardOutput, Line(2), &error));
  EXPECT_EQ(error, "No space left on device");
  EXPECT_FALSE(out.Flush(&error));
  // The line that says so still reaches standard error.
  ASSERT_TRUE(Put(out, OutputStream::kStandardError, "Error: cannot write standard output\n"));
  EXPECT_EQ(recorder.transcript(), "<stderr>Error: cannot write standard output\n");
  EXPECT_EQ(recorder.output_writes(), 1);
  EXPECT_EQ(out.gathered(), 0u);
}

// Several cleaning threads hand their lines in (one at a time, as the report
// lets them) while the console's own thread writes batches out.
TEST(GatheredOutputTest, LinesFromSeveralThreadsKeepTheirOrderWhileBatchesGoOut) {
  Recorder recorder;
  std::string expected;
  {
    GatheredOutput out(recorder.Function(), 4096, 1ms);
    std::mutex report;  // the report serialises its writers
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
      threads.emplace_back([&, t] {
        for (int i = 0; i < 300; ++i) {
          std::lock_guard<std::mutex> lock(report);
          const std::string line = Line(t * 1000 + i);
          expected += line;
          Put(out, i % 100 == 99 ? OutputStream::kStandardError : OutputStream::kStandardOutput,
              line);
          if (i % 100 == 99) expected.insert(expected.size() - line.size(), "<stderr>");
        }
      });
    }
    for (std::thread& thread : threads) thread.join();
  }
  EXPECT_EQ(recorder.transcript(), expected);
}

}  // namespace
