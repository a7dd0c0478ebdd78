#pragma once

#include <atomic>
#include <cstddef>
#include <thread>
#include <vector>

#include "tarn/server/Counters.h"
#include "tarn/server/DatagramSocket.h"
#include "tarn/server/RequestHandler.h"
#include "tarn/server/StoreLink.h"
#include "tarn/server/Waker.h"

namespace tarn {
namespace server {

// One thread serving its own socket on each of the four endpoints: it waits until a socket has
// datagrams, reads a batch, handles it and sends the answers in one go. With a shared store it
// also waits for the store's answers, no longer than the earliest parked ping may wait.
class Worker {
public:
    // sockets are the worker's four sockets in endpoint index order; handler answers their datagrams.
    // store is the worker's link to the shared store (the one handler uses), or null.
    Worker(std::vector<DatagramSocket> sockets, std::size_t batch, RequestHandler handler, Counters& counters,
           StoreLink* store);
    // Stops and joins the thread if it still runs.
    ~Worker();
    Worker(const Worker&) = delete;
    Worker& operator=(const Worker&) = delete;

    // Starts the thread; a second call while it runs does nothing.
    void start();
    // Asks the thread to end; returns at once. A stopped worker does not start again.
    void stop();
    // Waits for the thread to end after stop().
    void join();

private:
    void run();

    std::vector<DatagramSocket> sockets;
    std::size_t batch;
    RequestHandler handler;
    Counters& counters;
    StoreLink* store;
    Waker waker;
    std::atomic<bool> stopping{false};
    std::thread thread;
};

}  // namespace server
}  // namespace tarn
