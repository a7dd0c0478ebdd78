#include "tarn/lattice/OperationGate.h"

#include "tarn/client/impl/Log.h"
#include "tarn/lattice/LatticeReport.h"

namespace tarn::lattice {

using client::impl::Log;

namespace {
// How many Running marks this thread holds: the library thread holds one for its whole life, and
// each operation's work one more.
thread_local int runningHere = 0;
}  // namespace

OperationGate::Pass::Pass(const char* operation)
    : operation(operation), result(instance().enter(operation, running)), held(result == Answer::ADMITTED) {}

OperationGate::Pass::~Pass() {
    release();
}

std::string OperationGate::Pass::refusal() const {
    if (result == Answer::BUSY) {
        return std::string(operation) + " refused: " + running +
               " is still running (one operation at a time)";
    }
    return result == Answer::CLOSED ? std::string(operation) + " refused: the library has been shut down"
                                    : "";
}

void OperationGate::Pass::logRefusal(const char* tag) const noexcept {
    try {
        Log::warn(kLogger, tag, refusal());
    } catch (...) {
        // A refusal that cannot be logged is still a refusal: the caller's result says it.
    }
}

void OperationGate::Pass::release() {
    if (held) {
        held = false;
        instance().leave();
    }
}

// Never destroyed: a host's exit handler may still call tarn_shutdown after the library's
// static objects are gone.
OperationGate& OperationGate::instance() {
    static OperationGate* const gate = new OperationGate;
    return *gate;
}

bool OperationGate::close() {
    std::unique_lock<std::mutex> lock(mutex);
    closed = true;
    if (runningHere > 0) {
        return false;
    }
    idle.wait(lock, [this] { return current == nullptr; });
    return true;
}

OperationGate::Running::Running() {
    ++runningHere;
}

OperationGate::Running::~Running() {
    --runningHere;
}

OperationGate::Answer OperationGate::enter(const char* operation, const char*& running) {
    std::lock_guard<std::mutex> lock(mutex);
    if (closed) {
        return Answer::CLOSED;
    }
    if (current != nullptr) {
        running = current;
        return Answer::BUSY;
    }
    current = operation;
    return Answer::ADMITTED;
}

void OperationGate::leave() {
    {
        std::lock_guard<std::mutex> lock(mutex);
        current = nullptr;
    }
    idle.notify_all();
}

}  // namespace tarn::lattice
