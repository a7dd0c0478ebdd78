#pragma once

#include <string>

#include "tarn/client/Export.h"

namespace tarn::client {

// Life cycle of every long-lived object: construct, setName, init, use, shutdown, destroy.
// The slot order of these operations is part of the host interface.
class TARN_API Initializable {
public:
    virtual ~Initializable();
    // Also the logger name of every line the object writes.
    virtual const std::string& getName() const = 0;
    virtual void setName(const std::string& name) = 0;
    // Returns whether the object is initialized after the call; retries after a failure.
    virtual bool init() = 0;
    virtual bool isInitialized() const = 0;
    // Releases sockets, files and threads; does nothing on an uninitialized object.
    virtual void shutdown() = 0;
};

}  // namespace tarn::client
