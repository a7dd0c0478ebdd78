#include "tarn/client/impl/AbstractInitializable.h"

#include "tarn/client/UninitializedException.h"

namespace tarn::client::impl {

namespace {
const char* const kDefaultName = "tarn.client.impl.AbstractInitializable";
}

AbstractInitializable::AbstractInitializable() : initialized(false), name(kDefaultName) {}

AbstractInitializable::~AbstractInitializable() = default;

const std::string& AbstractInitializable::getName() const {
    return name;
}

void AbstractInitializable::setName(const std::string& newName) {
    name = newName.empty() ? kDefaultName : newName;
}

bool AbstractInitializable::init() {
    if (!initialized) {
        initialized = doInit();
    }
    return initialized;
}

bool AbstractInitializable::isInitialized() const {
    return initialized;
}

void AbstractInitializable::shutdown() {
    if (initialized) {
        doShutdown();
        initialized = false;
    }
}

void AbstractInitializable::checkInitialized(const std::string& who, const std::string& where) const {
    if (!initialized) {
        throw UninitializedException(who, where, name + " has not been initialized!");
    }
}

}  // namespace tarn::client::impl
