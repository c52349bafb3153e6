// What the review of the console's reads turned up, kept as tests.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "Harness.h"

namespace {

// An image path that is a FIFO has size 0, so the description refuses it as
// empty; neither that reading nor anything after it may wait for a writer with
// the window frozen.
TEST(ImageRead, FifoAsTheImageDoesNotFreezeTheWindow) {
  Workbench bench;
  JobFile job;
  job.Image = "pipe.bin";
  bench.WriteJob(2, job);
  const std::string fifo = (bench.Dir() / "pipe.bin").string();
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);

  // Should the open block, a writer coming and going after a while lets it
  // go on, so that the test can fail instead of hanging.
  std::atomic<bool> stop{false}, rescued{false};
  std::thread rescuer([&] {
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(8);
    while (!stop && std::chrono::steady_clock::now() < until) std::this_thread::sleep_for(std::chrono::milliseconds(20));
    while (!stop) {
      const int fd = ::open(fifo.c_str(), O_WRONLY | O_NONBLOCK);
      if (fd >= 0) {
        rescued = true;
        ::close(fd);
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
  });

  Session rig{stbsim::Config{}};
  rig.SilenceLimitMs = 1500;
  rig.Open();
  rig.Type(kKeywords[2]);
  const bool answered = rig.RunUntil([&rig] { return !rig.Dialogs.empty(); }, 6000);
  stop = true;
  rescuer.join();
  EXPECT_FALSE(rescued) << "the window waited for a writer on the FIFO";
  EXPECT_TRUE(answered) << ::testing::PrintToString(rig.Log());
  EXPECT_EQ(rig.Dialogs, std::vector<std::string>{"Image file pipe.bin is empty: there is nothing to download"});
}

}  // namespace
