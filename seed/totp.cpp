#include "totp.h"
