/* SDK-named entry to the PAL declarations. */
#pragma once
#include "pal/win32.h"
