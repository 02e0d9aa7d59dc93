#include "otpauth.h"
