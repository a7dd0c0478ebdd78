#pragma once

#include <map>
#include <string>

#include "tarn/client/Export.h"
#include "tarn/client/Initializable.h"

namespace tarn::client {

// Flat store of "tarn."-prefixed keys and string values, loaded from tarn.cfg. The slot order
// of the operations is part of the host interface.
class TARN_API Configurator : public virtual Initializable {
public:
    ~Configurator() override;
    // Takes effect at the next init() after a shutdown().
    virtual void setConfigFile(const std::string& path) = 0;
    // Numeric getters: the default when absent (stored back if storeDefault); 0 when the value
    // does not start with a number or leaves the 32-bit range.
    virtual long getLong(const std::string& key, long defaultValue, bool storeDefault) = 0;
    virtual int getInt(const std::string& key, int defaultValue, bool storeDefault) = 0;
    virtual std::string getString(const std::string& key, const std::string& defaultValue,
                                  bool storeDefault) = 0;
    // The stored value or the empty string.
    virtual std::string getString(const std::string& key) = 0;
    // The live map: changes through it are seen by every later reader.
    virtual std::map<std::string, std::string>& getValues() = 0;
    virtual void setValues(const std::map<std::string, std::string>& values) = 0;
    virtual void setValue(const std::string& key, const std::string& value) = 0;
    // Presence only: an empty value counts.
    virtual bool hasValue(const std::string& key) = 0;
};

}  // namespace tarn::client
