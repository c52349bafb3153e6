// What the window does the same whatever toolkit draws it: the components
// and the state of one run, the keys and the description file, the probe
// tick handed to the exchange, and the download's moments turned into the
// record and the status strip's activity text. The Qt and the Win32 TForm1
// derive from it and add their controls, dialogs and message handling.
#pragma once

#include <chrono>
#include <cstdint>
#include <exception>
#include <memory>
#include <optional>
#include <string>

#include "Download.h"
#include "DownloadJob.h"
#include "DownloadObserver.h"
#include "DownloadRecord.h"
#include "DownloadView.h"
#include "ModeSelect.h"
#include "PollTimer.h"
#include "SerialDrv.h"

class TDownloadConsole : protected TDownloadView, protected TDownloadObserver {
public:
  TDownloadConsole(const TDownloadConsole&) = delete;
  TDownloadConsole& operator=(const TDownloadConsole&) = delete;

  // Components, named as the operator's manual names them.
  TSerialPortDriver* SerialPortDriver1 = nullptr;
  TPollTimer* Timer1 = nullptr;

  // The state of one run.
  std::uint8_t DownloadMode = 0;
  TDownloadJob DownloadJob;
  bool DownloadJobReady = false;  // the description was read to its end
  TKeywordSlots KeywordSlots{};
  // The receiver's identification, as the handshake read it.
  const TDeviceInfo& DeviceInfo() const { return FDownload->DeviceInfo(); }
  // The last download's result, none when no download reached a receiver.
  const std::optional<TDownloadResult>& DownloadResult() const { return FRecorder->Result(); }
  const TDownloadRecorder& Recorder() const { return *FRecorder; }
  TDownload& Download() { return *FDownload; }

  void RxMemoKeyPress(std::uint8_t& Key);
  void ReadDescriptionFile(const std::string& path);
  void Timer1Timer();

protected:
  TDownloadConsole() = default;
  ~TDownloadConsole() override = default;

  // SerialPortDriver1 on COM1 at 115200 bit/s with its receive poll on
  // pollTimer, Timer1 on probeTimer, the exchange and the record. Called
  // once, before the first line is logged: the record keeps the whole log.
  void CreateComponents(std::unique_ptr<TPollTimer> pollTimer, std::unique_ptr<TPollTimer> probeTimer);
  // The start of the run, once the controls exist: the mode matcher at its
  // start, the port opened (or the failure shown), the directions, the probe.
  void FormCreate();

  // The toolkit's part.
  virtual void ShowActivity(const std::string& text) = 0;  // the status strip's activity
  virtual void PaintNow() = 0;                             // paint, handling no other message
  virtual void ShowErrorText(const char* text) = 0;        // as the application's handler does
  virtual void ShowConnectError() = 0;                     // the port could not be opened
  virtual void ShowPort() = 0;                             // the status strip's port, open or not

  // A file error's detail goes into the log first, then the error's text is shown.
  void ShowError(const std::exception& e);
  bool Transferring() const { return FTransferring; }

  // TDownloadObserver
  void Reached(std::uint8_t mode, const TDownloadJob& job) override;
  void Identified(const TDeviceInfo& info, bool addressRead) override;
  void TransferStarting(std::int32_t blockCount) override;
  void BlockAccepted(std::int32_t done, std::int32_t blockCount) override;
  void BlockResent(std::int32_t block) override;
  void Waiting(const char* stage, std::uint32_t silentMs) override;
  void Ended(TDownloadResult result, const std::string& reason) override;

  std::unique_ptr<TSerialPortDriver> FSerialPortDriver;
  std::unique_ptr<TPollTimer> FTimer1;
  std::unique_ptr<TDownload> FDownload;
  std::unique_ptr<TDownloadRecorder> FRecorder;

private:
  bool FTransferring = false;
  std::chrono::steady_clock::time_point FTransferStart;
  bool FPortNotOpenLogged = false;
};
