#pragma once

#include <string>

#include "tarn/client/Initializable.h"

namespace tarn::client::impl {

// The one implementation of the life cycle. Subclasses supply doInit and doShutdown; the
// destructor does not shut down, owners do that before destroying an initialized object.
class AbstractInitializable : public virtual Initializable {
public:
    AbstractInitializable();
    ~AbstractInitializable() override;

    const std::string& getName() const override;
    // An empty name restores the default.
    void setName(const std::string& name) override;
    bool init() override;
    bool isInitialized() const override;
    void shutdown() override;

protected:
    virtual bool doInit() = 0;
    virtual void doShutdown() = 0;

    // Throws UninitializedException(who, where, "<name> has not been initialized!") unless initialized.
    void checkInitialized(const std::string& who, const std::string& where) const;

private:
    bool initialized;
    std::string name;
};

}  // namespace tarn::client::impl
