// Kernel-streaming records and the stream class interface of the hosted platform.
#pragma once
#include "pf/io.h"
