// stb-receiver-sim as a process: the device path on the first line, the
// link made and removed, the files written, the exit code.
#include <gtest/gtest.h>

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "ScriptedConsole.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;

struct Program {
  explicit Program(std::vector<std::string> args) {
    args.insert(args.begin(), STB_RECEIVER_SIM);
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    int fds[2];
    if (pipe(fds) != 0) throw std::runtime_error("pipe");
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fds[1], STDOUT_FILENO);
    posix_spawn_file_actions_addclose(&actions, fds[0]);
    if (posix_spawn(&Pid, argv[0], &actions, nullptr, argv.data(), environ) != 0) throw std::runtime_error("spawn");
    posix_spawn_file_actions_destroy(&actions);
    close(fds[1]);
    Out = fdopen(fds[0], "r");
  }
  ~Program() {
    if (Pid > 0) {
      kill(Pid, SIGKILL);
      waitpid(Pid, nullptr, 0);
    }
    if (Out) fclose(Out);
  }
  std::string Line() {
    char buf[512] = {};
    if (!fgets(buf, sizeof buf, Out)) return {};
    std::string s = buf;
    if (!s.empty() && s.back() == '\n') s.pop_back();
    return s;
  }
  std::string Rest() {
    std::string s;
    for (int c; (c = fgetc(Out)) != EOF;) s += char(c);
    return s;
  }
  int Wait() {
    int status = 0;
    waitpid(Pid, &status, 0);
    Pid = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }
  pid_t Pid = -1;
  FILE* Out = nullptr;
};

fs::path TempDir() {
  fs::path d = fs::temp_directory_path() / ("stbsim-" + std::to_string(getpid()) + "-" +
                                              ::testing::UnitTest::GetInstance()->current_test_info()->name());
  fs::remove_all(d);
  fs::create_directories(d);
  return d;
}

std::string Slurp(const fs::path& p) {
  std::ifstream f(p, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(f), {});
}

TEST(Program, LinksTheConsoleEndAndCleansUpOnSigterm) {
  fs::path dir = TempDir();
  Program p({"--link", (dir / "ttyS0").string(), "--summary-json", (dir / "sum.json").string()});
  std::string path = p.Line();
  ASSERT_FALSE(path.empty());
  EXPECT_EQ(fs::read_symlink(dir / "ttyS0").string(), path);
  {
    ScriptedConsole console((dir / "ttyS0").string());
    EXPECT_EQ(console.Probe("LASTP").size(), 54u);
  }
  kill(p.Pid, SIGTERM);
  std::string text = p.Rest();
  EXPECT_EQ(p.Wait(), 1) << "no download, no success";
  EXPECT_FALSE(fs::exists(fs::symlink_status(dir / "ttyS0")));
  EXPECT_NE(text.find("reached:        Identified"), std::string::npos) << text;
  EXPECT_NE(Slurp(dir / "sum.json").find("\"modeWord\": \"LASTP\""), std::string::npos);
  fs::remove_all(dir);
}

TEST(Program, ExitsZeroAfterASuccessfulDownloadAndSavesTheFlash) {
  fs::path dir = TempDir();
  Program p({"--exit-when-done", "--save-flash", (dir / "flash.bin").string(), "--mode", "2"});
  std::string path = p.Line();
  ASSERT_FALSE(path.empty());
  const Bytes image = TestImage(2, 7);
  {
    ScriptedConsole console(path);
    ASSERT_EQ(console.Probe("NATIV").size(), 54u);
    ASSERT_EQ(console.Size(0x80010000, 2).size(), 8u);
    for (std::size_t k = 0; k < 2; ++k) ASSERT_EQ(AsText(console.Block(BlockOf(image, k), Sum(BlockOf(image, k)))), "ok.");
    std::string why;
    ASSERT_TRUE(console.Stages(Sum(image), 2, Bytes{'1', '2'}, &why)) << why;
    p.Rest();
  }
  EXPECT_EQ(p.Wait(), 0);
  EXPECT_EQ(Slurp(dir / "flash.bin"), AsText(image));
  fs::remove_all(dir);
}

}  // namespace
