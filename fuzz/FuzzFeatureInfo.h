// The feature-information targets reach the request object's private answer
// readers the way the unit tests do.
#pragma once

#include "FeatureInfoAccess.h"
#include "FuzzSupport.h"
