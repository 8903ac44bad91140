// The one definition of every platform GUID that pf/ks.h declares.
#define INITGUID
#include "pf/ks.h"
