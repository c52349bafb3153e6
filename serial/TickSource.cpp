#include "TickSource.h"

#include "platform.h"

TickSource MonotonicTickSource() { return &serial_platform::MonotonicMs; }
