// The decoder: load, configure, start and stop. PASSIVE_LEVEL.
#pragma once

#include "mpegunit.h"

BOOLEAN DecNeedsLoad(DeviceContext* Device);
NTSTATUS DecLoad(DeviceContext* Device);
NTSTATUS DecLoadImage(DeviceContext* Device);
NTSTATUS DecConfigure(DeviceContext* Device);
NTSTATUS DecStart(DeviceContext* Device);
NTSTATUS DecStop(DeviceContext* Device);
