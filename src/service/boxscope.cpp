#include "boxscope.h"
