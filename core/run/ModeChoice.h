// The mode as an operator chooses it, whatever window it is typed into: the
// keyword typed blind through the matcher, the mode it completes (once per
// run), and that mode's description file read into its job. The download
// window and the bench both choose through it.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "DownloadJob.h"
#include "ModeSelect.h"

class TModeChoice {
public:
  TModeChoice() { Restart(); }

  // A character typed; true when it completed a keyword and so chose the
  // mode. Nothing typed after that counts.
  bool Key(std::uint8_t key);
  // The matcher at its start: what was typed before is no half of the next word.
  void Restart() { ResetKeywordSlots(FSlots); }

  std::uint8_t Mode() const { return FMode; }  // 0 before a keyword was completed
  // The keyword that chose it, as typed.
  std::string Keyword() const;
  const TModeInfo& Info() const { return ModeInfo(FMode); }

  // Reads the chosen mode's description file into Job, each of its log
  // lines handed to `log`; throws TFileError (a message and the line that
  // says where) when the file cannot be read or a field is wrong.
  void ReadDescription(const std::function<void(const std::string&)>& log);
  const TDownloadJob& Job() const { return FJob; }
  bool JobReady() const { return FJobReady; }  // the description was read to its end

  // For a run handed its mode and job some other way.
  void Choose(std::uint8_t mode, const TDownloadJob& job);

private:
  TKeywordSlots FSlots{};
  std::uint8_t FMode = 0;
  TDownloadJob FJob;
  bool FJobReady = false;
};

// What a close asked of a window comes to, the same for the download window
// and the bench: nothing runs, so it closes; blocks are going out and nobody
// said not to ask, so the operator is asked first; else what runs is asked
// to stop and the window closes once it has.
enum class TCloseStep { CloseNow, AskThenStop, Stop };
TCloseStep DecideClose(bool running, bool sending, bool askWhileSending);
