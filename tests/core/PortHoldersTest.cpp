// Another program on the port: a real pty whose near end a second process
// holds open, or whose lock file one holds, is refused with the holder's
// name and process id; the lock file terminal programs honour is taken,
// taken over when stale, and given back on every way out.
#include <gtest/gtest.h>

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "PortClaim.h"
#include "OtherProgram.h"
#include "PortList.h"
#include "PtyPair.h"
#include "SerialDrv.h"
#include "StatusText.h"

extern char** environ;

namespace fs = std::filesystem;

namespace {

int OpenDescriptors() {
  int n = 0;
  if (DIR* d = opendir("/proc/self/fd")) {
    while (readdir(d) != nullptr) ++n;
    closedir(d);
  }
  return n;
}

std::string ReadAll(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

std::string LockText(pid_t pid) {
  char text[16];
  std::snprintf(text, sizeof text, "%10ld\n", long(pid));
  return text;
}

// A pty for the port, and a lock folder of the test's own.
class HeldPort : public ::testing::Test {
protected:
  void SetUp() override {
    char folder[] = "/tmp/stb-locks-XXXXXX";
    ASSERT_NE(mkdtemp(folder), nullptr);
    FLocks = folder;
    setenv("STB_LOCK_DIR", folder, 1);
    FDescriptorsBefore = OpenDescriptors();
    FPort.SetComPortDevice(FPty.NearPath());
    FPort.SetPortGuard(&FClaim);
  }
  void TearDown() override {
    FPort.Disconnect();
    unsetenv("STB_LOCK_DIR");
    fs::remove_all(FLocks);
  }
  // The pty's near end, for another process to hold.
  int NearEnd() {
    const int fd = open(FPty.NearPath().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    EXPECT_GE(fd, 0);
    FNear.push_back(fd);
    return fd;
  }
  void CloseNearEnds() {
    for (int fd : FNear) close(fd);
    FNear.clear();
  }
  fs::path LockFile() const { return FLocks / ("LCK..pts_" + FPty.NearPath().substr(9)); }
  std::vector<std::string> LockFolderFiles() const {
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(FLocks)) names.push_back(e.path().filename().string());
    return names;
  }
  void ExpectRefusedBy(TPortHolder::TKind kind, pid_t pid, const std::string& words) {
    CloseNearEnds();
    EXPECT_FALSE(FPort.Connect());
    EXPECT_FALSE(FPort.Connected());
    EXPECT_EQ(FPort.Holder(), (TPortHolder{kind, std::uint32_t(pid), "sleep"}));
    EXPECT_EQ(FPort.LastError(), FPty.NearPath() + ": " + words);
    EXPECT_EQ(OpenDescriptors(), FDescriptorsBefore) << "a refused open leaves nothing open";
  }

  PtyPair FPty;
  TPortClaim FClaim;
  TSerialPortDriver FPort;
  fs::path FLocks;
  std::vector<int> FNear;
  int FDescriptorsBefore = 0;
};

TEST_F(HeldPort, OpenInAnotherProcessIsRefusedNamingIt) {
  OtherProgram other(FPty.NearPath());
  ExpectRefusedBy(TPortHolder::TKind::Open, other.Pid(),
                  "the port is open in sleep (process " + std::to_string(other.Pid()) + "); close it first");
  EXPECT_TRUE(LockFolderFiles().empty()) << "no lock file is left behind";
}

TEST_F(HeldPort, TheFarEndsProcessIsTheLineNotAHolder) {
  OtherProgram line({{NearEnd(), 0}, {FPty.FarFd(), 3}});
  CloseNearEnds();
  EXPECT_TRUE(FPort.Connect()) << FPort.LastError();
  EXPECT_FALSE(FPort.Holder());
}

struct LockRow {
  const char* name;
  std::string (*file)(const std::string& nearPath);  // the lock file's name in the folder
};

void PrintTo(const LockRow& r, std::ostream* os) { *os << r.name; }

class LockedPort : public HeldPort, public ::testing::WithParamInterface<LockRow> {};

TEST_P(LockedPort, ByALiveProcessIsRefusedAndTheLockKept) {
  OtherProgram other;
  const fs::path file = FLocks / GetParam().file(FPty.NearPath());
  std::ofstream(file) << LockText(other.Pid());
  ExpectRefusedBy(TPortHolder::TKind::LockFile, other.Pid(),
                  "the port is locked by sleep (process " + std::to_string(other.Pid()) + "); close it first");
  EXPECT_EQ(ReadAll(file), LockText(other.Pid()));
}

TEST_P(LockedPort, ByAGoneProcessIsTakenOverAndRemovedOnClose) {
  const fs::path file = FLocks / GetParam().file(FPty.NearPath());
  std::ofstream(file) << LockText(OtherProgram::GonePid());
  ASSERT_TRUE(FPort.Connect()) << FPort.LastError();
  EXPECT_EQ(LockFolderFiles(), std::vector<std::string>{LockFile().filename().string()});
  EXPECT_EQ(ReadAll(LockFile()), LockText(getpid()));
  FPort.Disconnect();
  EXPECT_TRUE(LockFolderFiles().empty());
}

INSTANTIATE_TEST_SUITE_P(
    LockFile, LockedPort,
    ::testing::Values(
        // minicom: the name below /dev, '/' as '_'
        LockRow{"MinicomsName", [](const std::string& p) { return "LCK..pts_" + p.substr(9); }},
        // picocom: the last part of the name alone
        LockRow{"PicocomsName", [](const std::string& p) { return "LCK.." + p.substr(9); }}),
    [](const auto& row) { return std::string(row.param.name); });

// Older programs write the process id as the four bytes of an int.
TEST_F(HeldPort, ALockInTheBinaryFormIsReadToo) {
  OtherProgram other;
  const int pid = other.Pid();
  std::ofstream(LockFile(), std::ios::binary).write(reinterpret_cast<const char*>(&pid), sizeof pid);
  ExpectRefusedBy(TPortHolder::TKind::LockFile, other.Pid(),
                  "the port is locked by sleep (process " + std::to_string(other.Pid()) + "); close it first");
}

// A binary lock whose first byte is a digit is no text: process 65585 is
// the bytes "1", 0, 1, 0, which read as text would name process 1.
TEST_F(HeldPort, ABinaryLockThatBeginsWithADigitIsNoText) {
  const int gone = 0x00010031;
  if (::kill(gone, 0) == 0) GTEST_SKIP() << "process " << gone << " is alive here";
  std::ofstream(LockFile(), std::ios::binary).write(reinterpret_cast<const char*>(&gone), sizeof gone);
  ASSERT_TRUE(FPort.Connect()) << "the lock of a process that is gone is stale: " << FPort.LastError();
}

TEST_F(HeldPort, OurLockHoldsOurProcessIdWhileOpenAndGoesOnClose) {
  ASSERT_TRUE(FPort.Connect()) << FPort.LastError();
  EXPECT_EQ(ReadAll(LockFile()), LockText(getpid()));
  FPort.Disconnect();
  EXPECT_FALSE(fs::exists(LockFile()));
  EXPECT_EQ(OpenDescriptors(), FDescriptorsBefore);
}

// A plain file is locked like a device, then refused as no terminal.
TEST_F(HeldPort, OurLockGoesWhenTheOpenFails) {
  const fs::path file = FLocks / "not-a-port";
  std::ofstream(file) << "text";
  TSerialPortDriver notATerminal;
  notATerminal.SetPortGuard(&FClaim);
  notATerminal.SetComPortDevice(file.string());
  EXPECT_FALSE(notATerminal.Connect());
  EXPECT_FALSE(notATerminal.Holder());
  fs::remove(file);
  EXPECT_TRUE(LockFolderFiles().empty());
  EXPECT_EQ(OpenDescriptors(), FDescriptorsBefore);
}

// A second open here is refused by the port's own lock, and must not take
// the first one's lock file with it.
TEST_F(HeldPort, ASecondOpenInThisProcessLeavesTheFirstsLock) {
  ASSERT_TRUE(FPort.Connect()) << FPort.LastError();
  TPortClaim secondClaim;
  TSerialPortDriver second;
  second.SetPortGuard(&secondClaim);
  second.SetComPortDevice(FPty.NearPath());
  EXPECT_FALSE(second.Connect());
  EXPECT_EQ(ReadAll(LockFile()), LockText(getpid()));
}

TEST_F(HeldPort, ALockFolderThatCannotBeWrittenIsNoReasonToRefuse) {
  setenv("STB_LOCK_DIR", (FLocks / "missing").c_str(), 1);
  EXPECT_TRUE(FPort.Connect()) << FPort.LastError();
  EXPECT_TRUE(LockFolderFiles().empty());
}

// A program that opens the device while we do: found after the open, the
// port closed again and the lock given back.
class ClaimRacedByAnotherProgram : public TPortClaim {
public:
  explicit ClaimRacedByAnotherProgram(const std::string& path) : FPath(path) {}
  TPortHolder Claim(const std::string& device) override {
    TPortHolder holder = TPortClaim::Claim(device);
    FNear = open(FPath.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    FOther = std::make_unique<OtherProgram>(std::vector<std::pair<int, int>>{{FNear, 0}});
    close(FNear);
    return holder;
  }
  pid_t OtherPid() const { return FOther ? FOther->Pid() : -1; }

private:
  std::string FPath;
  int FNear = -1;
  std::unique_ptr<OtherProgram> FOther;
};

TEST_F(HeldPort, AProgramThatOpensItMeanwhileIsFoundAfterTheOpen) {
  ClaimRacedByAnotherProgram raced(FPty.NearPath());
  FPort.SetPortGuard(&raced);
  EXPECT_FALSE(FPort.Connect());
  EXPECT_EQ(FPort.Holder(), (TPortHolder{TPortHolder::TKind::Open, std::uint32_t(raced.OtherPid()), "sleep"}));
  EXPECT_FALSE(FPort.Connected());
  EXPECT_TRUE(LockFolderFiles().empty());
  EXPECT_EQ(OpenDescriptors(), FDescriptorsBefore);
  FPort.SetPortGuard(&FClaim);
}

// What a list of ports says of a port another program holds: --list-ports
// and the window's list.
TEST_F(HeldPort, AListOfPortsNotesWhoHoldsIt) {
  OtherProgram other(FPty.NearPath());
  CloseNearEnds();
  const TSerialDevice device{FPty.NearPath(), {}, "FTDI FT232R USB UART"};
  const std::string note = "[in use: open in sleep (process " + std::to_string(other.Pid()) + ")]";
  EXPECT_EQ(PortListLine(device, PortHolderOf(device.Path)), device.Path + "  FTDI FT232R USB UART  " + note);
  EXPECT_EQ(PortOfferText(device, PortHolderOf(device.Path)), device.Path + "   FTDI FT232R USB UART   " + note);
  other.End();
  EXPECT_EQ(PortListLine(device, PortHolderOf(device.Path)), device.Path + "  FTDI FT232R USB UART");
}

TEST_F(HeldPort, AListOfPortsNotesTheLockFilesHolder) {
  OtherProgram other;
  std::ofstream(LockFile()) << LockText(other.Pid());
  EXPECT_EQ(HolderNote(PortHolderOf(FPty.NearPath())), "locked by sleep (process " + std::to_string(other.Pid()) + ")");
}

}  // namespace
