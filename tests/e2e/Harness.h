// The harness the end-to-end tests work on: a working folder with ./inc/*.inc
// and image files, the simulated receiver on a pty with COM1 pointing at it,
// and the real window, run until it closes, its dialogs answered as told.
#pragma once

#include <QPointer>
#include <QTimer>

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "Format.h"
#include "MainFrm.h"
#include "PtyPair.h"
#include "Receiver.h"
#include "SerialDrv.h"

// The typed keyword of each mode, 1..8.
extern const char* const kKeywords[9];

// The twelve lines of a description file, written with CR LF.
struct JobFile {
  std::string Oui = "001234";
  std::string Model = "0A.01";
  std::string Hardware = "01.05";
  std::string Bootloader = "02.00";
  std::string Native = "03.01";
  std::string App1 = "04.02";
  std::string App2 = "05.03";
  std::string Date = "26120";
  std::string Spare = "spare";
  std::string Image = "image.bin";
  std::string Selector = "2";
  std::string Address = "0x80010000";
  std::string Text() const;
};

class Workbench {
public:
  Workbench();
  ~Workbench();
  void WriteJob(std::uint8_t mode, const JobFile& job);
  // An image of pseudo-random bytes; returns its contents.
  std::vector<std::uint8_t> WriteImage(const std::string& name, std::size_t size, unsigned seed = 1);
  std::filesystem::path Dir() const { return FDir; }
  // Where this bench's download records go ($XDG_STATE_HOME/stb-downloader).
  std::filesystem::path RecordDir() const { return FDir / "state" / "stb-downloader"; }

private:
  std::filesystem::path FDir;
  std::filesystem::path FOldCwd;
};

// The user's settings folder ($XDG_CONFIG_HOME) pointed into `dir` for as
// long as it lives: what a test's program remembers never reaches the
// tester's own settings.
class ConfigInBench {
public:
  explicit ConfigInBench(const std::filesystem::path& dir);
  ~ConfigInBench();
  ConfigInBench(const ConfigInBench&) = delete;
  ConfigInBench& operator=(const ConfigInBench&) = delete;

private:
  std::optional<std::string> FOld;
};

// The device the program gives a window started without --port: $COM1,
// which each session points at its line.
std::string WindowPort();

class Session {
public:
  // The window against the simulated receiver.
  explicit Session(const stbsim::Config& cfg);
  // The window against a line that nobody answers; the test reads its far end.
  Session();
  ~Session();

  stbsim::Receiver& Rx() { return *FRx; }
  int FarFd() const { return FPty->FarFd(); }
  TForm1& Form() { return *FForm; }
  void Open();                          // creates and shows the window
  void Type(const std::string& text);   // typed into the log, key by key
  // Runs the message loop until the window has closed or timeoutMs passed.
  bool RunUntilClosed(int timeoutMs);
  // Runs it until `done` holds or timeoutMs passed.
  template <class F>
  bool RunUntil(F done, int timeoutMs);
  void RunFor(int ms);
  std::vector<std::string> Log() const;
  bool Closed() const { return FForm && !FForm->isVisible(); }
  bool HasForm() const { return FForm != nullptr; }
  // Destroys the window while the line's far end stays up, so that what the
  // window leaves behind on the port shows.
  void DestroyForm() { FForm.reset(); }
  std::string PortPath() const { return FRx ? FRx->ConsolePath() : FPty->NearPath(); }
  // True when a new component can open the port now.
  bool PortFree() const;

  bool AnswerYes = false;                 // for the address mismatch question, and whether to stop a transfer
  bool CloseAtQuestion = false;           // the operator closes the window while it is asked
  std::vector<std::string> Dialogs;       // texts of every dialog, in order
  std::vector<std::string> DialogDetails; // the text shown under each, in the same order
  std::uint32_t SilenceLimitMs = 3000;    // shortened for the tests
  // The window's list of ports, each time it opens: its lines as shown
  // ("[x] " before the port in use, "(-) " before a line that cannot be
  // chosen) and whether the probe went on meanwhile. The line that starts
  // with PickPortLine is chosen, clicked when ClickPortLine; none: the list
  // is closed with Escape.
  struct ShownPortList {
    std::vector<std::string> Lines;
    bool Probing = false;
    int Width = 0;       // of the list, in pixels
    int TitleWidth = 0;  // of its title's text in the list's font
  };
  std::vector<ShownPortList> PortLists;
  std::string PickPortLine;
  bool ClickPortLine = false;
  // How often dialogs are looked for: a benchmark slows it, so that the
  // window's figures do not carry the harness's own timer.
  void LookForDialogsEvery(int ms) { FDialogTimer.setInterval(ms); }

private:
  void AnswerDialogs();
  bool AnswerPortList();

  void Init();

  std::unique_ptr<stbsim::Receiver> FRx;
  std::unique_ptr<PtyPair> FPty;
  std::unique_ptr<TForm1> FForm;
  QTimer FDialogTimer;
  QPointer<QWidget> FLastDialog;
};

// What a whole download is set up with.
struct RunSetUp {
  std::uint8_t Mode = 2;
  std::size_t ImageBytes = 4096;
  JobFile Job;                  // its Image names the image file written
  bool WriteDescription = true; // false: the mode's description file is missing
  stbsim::Config Receiver;
  unsigned Seed = 1;            // of the image's pseudo-random bytes

  // Mode `mode` with an image of imageBytes, everything else as above.
  static RunSetUp Of(std::size_t imageBytes, std::uint8_t mode = 2) {
    RunSetUp s;
    s.ImageBytes = imageBytes;
    s.Mode = mode;
    return s;
  }
};

// The set-up whole-download tests share: the working folder with the mode's
// description and image, the simulated receiver on the window's port. Start
// opens the window and types the keyword; the session's settings (dialog
// answers, silence limit) are made before it.
class DownloadRun {
public:
  explicit DownloadRun(const RunSetUp& setUp);
  void Start();

  Workbench Bench;
  const std::uint8_t Mode;
  const std::vector<std::uint8_t> Image;  // as written to the image file
  Session S;
};

template <class F>
bool Session::RunUntil(F done, int timeoutMs) {
  for (int waited = 0; !done(); waited += 10) {
    if (waited >= timeoutMs) return false;
    RunFor(10);
  }
  return true;
}

// How many of this process's descriptors are open on the device at path.
int DescriptorsOn(const std::string& path);

// The image as the receiver must hold it: the file padded with zeros to whole blocks.
std::vector<std::uint8_t> Padded(std::vector<std::uint8_t> image);
// A text file's lines, without their ends; none when it cannot be read.
std::vector<std::string> FileLines(const std::filesystem::path& path);
// The record's final lines: each download's "running" line, written when the
// receiver answered, left out.
std::vector<std::string> FinalRecords(const std::filesystem::path& path);
bool Contains(const std::vector<std::string>& lines, const std::string& line);
