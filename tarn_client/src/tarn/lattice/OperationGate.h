#pragma once

#include <condition_variable>
#include <mutex>
#include <string>

namespace tarn::lattice {

// Admits one operation at a time across the C++ facade and the C interface: discovery, a
// connectivity pass, a configuration change through the C interface. A second caller is refused
// at once instead of waiting, so a game loop never stalls on the library. Closed for good by
// tarn_shutdown.
class OperationGate {
public:
    enum class Answer { ADMITTED, BUSY, CLOSED };

    // Held admission: leaves the gate when it goes away, on whichever thread that is (an async
    // operation is admitted on the caller's thread and left on the library thread).
    class Pass {
    public:
        // Asks the process's gate for operation, a static name that refusals quote.
        explicit Pass(const char* operation);
        ~Pass();
        Pass(const Pass&) = delete;
        Pass& operator=(const Pass&) = delete;

        Answer answer() const { return result; }
        bool admitted() const { return result == Answer::ADMITTED; }
        // The text of a refusal: which operation runs, or that the library was shut down.
        std::string refusal() const;
        // Logs the refusal at WARN under tag; never throws.
        void logRefusal(const char* tag) const noexcept;
        // Leaves the gate now rather than at destruction; the next operation may start.
        void release();

    private:
        const char* operation;
        // The operation that was running when this one was refused as BUSY.
        const char* running = nullptr;
        Answer result;
        bool held;
    };

    static OperationGate& instance();

    // Refuses every later admission and waits until the running operation has left. Does not
    // wait when the calling thread is marked Running (a report handler calling tarn_shutdown, or
    // the library thread, where an admitted operation waits for the caller to return): false
    // then, true when it waited.
    bool close();
    // Marks the calling thread, for its lifetime, as one that runs admitted operations' work, so
    // that close() called from inside that work does not wait for itself. Marks nest.
    class Running {
    public:
        Running();
        ~Running();
        Running(const Running&) = delete;
        Running& operator=(const Running&) = delete;
    };

private:
    OperationGate() = default;
    Answer enter(const char* operation, const char*& running);
    void leave();

    std::mutex mutex;              // guards current and closed
    std::condition_variable idle;  // signalled when current becomes null
    // The running operation's name; null when none runs.
    const char* current = nullptr;
    bool closed = false;
};

}  // namespace tarn::lattice
