// Where serial ports come and go: udev, the virtual phones' directory, or a test's own source.
// A source reports what it sees as it is; whether a port is a phone's, its number and its
// channel are decided by port discovery, the same for every source.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

struct PORT_EVENT {
    bool bArrival = true;
    std::string strDevNode;  // the device node a worker opens: /dev/ttyUSB0, /dev/pts/7
    // The serial-port map's name for it: the tty's USB interface driver ("" for none).
    std::string strName;
    // Its USB device sits on a fixed (internal) port: a laptop's built-in modem, not a phone.
    bool bFixedPort = false;
    // A virtual phone's link COM<n> gives its number; 0 for a port that takes the lowest free.
    uint32_t nVirtualPort = 0;
};

// How a source hears that its descriptor has something to read: the station's event loop watches
// it (console/ does it with Qt), so that no source waits or polls on a thread of its own. The
// watch calls fnReadable on the loop's thread until it is destroyed.
class IReadWatch {
public:
    // Stops the watch; never from inside its own call of fnReadable.
    virtual ~IReadWatch() = default;
    // Stops the watch from inside its own call of fnReadable and frees it once that call is over;
    // the caller gives up the watch with it.
    virtual void EndWithin() = 0;
};
using READ_WATCH_FN = std::function<std::unique_ptr<IReadWatch>(int fd, std::function<void()> fnReadable)>;

class IPortSource {
public:
    using EVENT_FN = std::function<void(const PORT_EVENT&)>;
    virtual ~IPortSource() = default;
    // Starts watching; from then on every arrival and removal goes to fnEvent on the watch's thread.
    // aPresent receives the ports there already (as arrivals). false, with strProblem for the
    // log, when the source cannot watch here; the station then works without it.
    virtual bool Start(EVENT_FN fnEvent, std::vector<PORT_EVENT>& aPresent, std::string& strProblem) = 0;
};
