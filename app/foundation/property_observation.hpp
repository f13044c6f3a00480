#pragma once
// The model's observation by key lives in the desktop layer's Qt-free part; the model
// keeps using it under its own namespace.
#include "platform/appkit/property_observable.hpp"

namespace gw {
using platform::appkit::PropertyChange;
using platform::appkit::PropertyObservable;
}  // namespace gw
