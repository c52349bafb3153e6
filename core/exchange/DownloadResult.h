// How a download ended, as the exchange tells it and every record, event and
// document spells it.
#pragma once

#include <optional>
#include <string>

// How a download ended. Spelt one way wherever it is written: the record,
// the JSON events, the documents (see ResultName).
enum class TDownloadResult { Success, Failure, Stopped };

// "success", "failure", "stopped"; and for a run that reached no receiver,
// "no-download".
const char* ResultName(TDownloadResult result);
const char* ResultName(const std::optional<TDownloadResult>& result);
// The result a name stands for; none for "no-download" or a name unknown.
std::optional<TDownloadResult> ResultFromName(const std::string& name);
