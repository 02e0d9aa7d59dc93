#include "base32.h"
