#pragma once
// Key lookups that yield an audio-unit parameter.
#include "platform/audio/AUParameter.h"
#include "platform/audio/AUParameterTree.h"

#include <any>
#include <map>
#include <memory>
#include <string>

namespace sonabel {

// The value stored under the key when it is a parameter; null for no value or a value of another kind.
std::shared_ptr<platform::AUParameter> parameter(const std::map<std::string, std::any>& object,
                                                 const std::string& key);
// A tree's parameter whose identifier is the key.
std::shared_ptr<platform::AUParameter> parameter(const platform::AUParameterTree& tree,
                                                 const std::string& key);

} // namespace sonabel
