// What an open port is to this system: a HANDLE.
#pragma once

namespace serial_platform {
using NativeHandle = void*;
}
