#include "ModeChoice.h"

#include "DescriptionFile.h"

bool TModeChoice::Key(std::uint8_t key) {
  if (FMode != 0) return false;
  FMode = MatchKeywordCharacter(FSlots, key);
  return FMode != 0;
}

std::string TModeChoice::Keyword() const {
  if (FMode == 0) return {};
  const auto& word = FSlots[FMode - 1].Keyword;
  return std::string(word.begin(), word.end());
}

void TModeChoice::ReadDescription(const std::function<void(const std::string&)>& log) {
  FJobReady = false;
  ::ReadDescriptionFile(Info().DescriptionFile, FJob, log);
  FJobReady = true;
}

void TModeChoice::Choose(std::uint8_t mode, const TDownloadJob& job) {
  FMode = mode;
  FJob = job;
  FJobReady = true;
}

TCloseStep DecideClose(bool running, bool sending, bool askWhileSending) {
  if (!running) return TCloseStep::CloseNow;
  return sending && askWhileSending ? TCloseStep::AskThenStop : TCloseStep::Stop;
}
