#include "TerminalMain.h"

#include <exception>
#include <iostream>

#include "DescriptionCheck.h"
#include "DownloadRecord.h"
#include "PortChoice.h"
#include "TerminalFace.h"

int RunTerminal(const TCommandLine& cl) {
  if (cl.Check) {
    std::string text;
    const int status = RunDescriptionChecks(cl.CheckMode, text);
    std::cout << text << std::flush;
    return status;
  }
  try {
    TTerminalOptions options;
    // The remembered port is the window's: a script or a bench station that
    // names its own port leaves it alone.
    options.Port =
        ChoosePort(cl.Port.empty() ? std::nullopt : std::optional(cl.Port), ProcessEnvironment, *UserPortMemory())
            .Device;
    options.Json = cl.Json;
    options.Trace = cl.Trace;
    options.ContinueOnAddressMismatch = cl.ContinueOnAddressMismatch;
    options.WaitForBoxSeconds = cl.WaitForBox;
    TTerminalFace face(options);
    return face.Run();
  } catch (const std::exception& e) {
    std::cerr << e.what() << '\n';
    return kExitNoDownload;
  }
}
