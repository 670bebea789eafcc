// The relay's bounds as the environment sets them.
#ifndef WZNETWORK_RELAY_LIMITS_H
#define WZNETWORK_RELAY_LIMITS_H

#include "KyFwControl.h"

namespace kyfw {

// A day: a longer time-out is more likely a slip.
constexpr long kLongestTimeoutMs = 24L * 60 * 60 * 1000;

// The defaults, with each variable that is set replacing its own; a value that is not a whole number in
// range is reported on standard error and the default kept.
RelayLimits limitsFromEnvironment();

}  // namespace kyfw

#endif
