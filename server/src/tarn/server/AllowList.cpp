#include "tarn/server/AllowList.h"

namespace tarn {
namespace server {

AllowList::AllowList(std::size_t capacity, std::chrono::seconds window)
    : entryWindow(window), table(capacity) {}

bool AllowList::remember(const Endpoint& endpoint, Clock::time_point now, std::uint64_t storeEpoch) {
    return table.update(keyOf(endpoint), now, [&](StoreWrite& last, bool isNew) {
        if (!storeWriteDue(last, isNew, now, entryWindow, storeEpoch)) {
            return false;
        }
        last = {now, storeEpoch};
        return true;
    });
}

void AllowList::forgetStoreWrite(Key key) {
    table.find(key, [](StoreWrite& last, Clock::time_point) { last = {}; });
}

bool AllowList::contains(const Endpoint& endpoint, Clock::time_point now) {
    bool recent = false;
    table.find(keyOf(endpoint),
               [&](const StoreWrite&, Clock::time_point touched) { recent = now - touched <= entryWindow; });
    return recent;
}

AllowList::Key AllowList::keyOf(const Endpoint& endpoint) {
    return (static_cast<Key>(endpoint.address().to_v4().to_uint()) << 16) | endpoint.port();
}

AllowList::Endpoint AllowList::endpointOf(Key key) {
    return Endpoint(boost::asio::ip::address_v4(static_cast<std::uint32_t>(key >> 16)),
                    static_cast<unsigned short>(key & 0xFFFF));
}

bool AllowList::storeWriteDue(const StoreWrite& last, bool isNew, Clock::time_point now,
                              Clock::duration window, std::uint64_t storeEpoch) {
    return isNew || last.epoch != storeEpoch || now - last.at >= window / kStoreWriteFraction;
}

}  // namespace server
}  // namespace tarn
