// The port sources' descriptors watched on the window's event loop: a QSocketNotifier for each,
// so that arrivals and removals reach port discovery on the GUI thread.
#pragma once

#include <functional>
#include <memory>

#include "ports/port_source.h"

// A READ_WATCH_FN for the port sources (ports/port_source.h).
std::unique_ptr<IReadWatch> SOCKET_WATCH_Make(int fd, std::function<void()> fnReadable);
