#include "DownloadResult.h"

const char* ResultName(TDownloadResult result) {
  switch (result) {
    case TDownloadResult::Success: return "success";
    case TDownloadResult::Stopped: return "stopped";
    case TDownloadResult::Failure: break;
  }
  return "failure";
}

const char* ResultName(const std::optional<TDownloadResult>& result) {
  return result ? ResultName(*result) : "no-download";
}

std::optional<TDownloadResult> ResultFromName(const std::string& name) {
  for (TDownloadResult r : {TDownloadResult::Success, TDownloadResult::Failure, TDownloadResult::Stopped})
    if (name == ResultName(r)) return r;
  return std::nullopt;
}
