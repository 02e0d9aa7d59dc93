#include "text_convert.h"
