// USB records and the USBD helpers of the hosted platform.
#pragma once
#include "pf/io.h"
