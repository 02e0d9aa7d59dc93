#include "app_values.h"
