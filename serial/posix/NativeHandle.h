// What an open port is to this system: a descriptor.
#pragma once

namespace serial_platform {
using NativeHandle = int;
}
